#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 loadbang;
#N vpatcher 50 50 250 250;
#P newex 20 20 60 196617 loadbang;
#P message 20 50 60 196617 inside;
#P newex 20 80 60 196617 print sub;
#P connect 2 0 1 0;
#P connect 1 0 0 0;
#P pop;
#P newobj 20 50 60 196617 p sub;
#P message 20 80 60 196617 outside;
#P newex 20 110 60 196617 print top;
#P connect 3 0 1 0;
#P connect 1 0 0 0;
#P newex 20 140 60 196617 pri