#N vpatcher 20 74 620 474;
#P message 20 50 60 196617 one \; two;
#P newex 20 80 60 196617
  print out;

#P connect 1 0 0 0; #P connect 0 3 1 0;
#P connect 0 0 1 7;
#P pop;
