#N vpatcher 10 59 410 359;
#P inlet 20 20 15;
#P newex 20 50 40 196617 * $1;
#P newex 80 80 60 196617 print $2;
#P outlet 20 110 15;
#P connect 3 0 2 0;
#P connect 2 0 0 0;
#P connect 2 0 1 0;
#P pop;
