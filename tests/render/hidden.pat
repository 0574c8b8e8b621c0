kel v2;
#N vpatcher 20 74 220 174;
#P newex 20 10 50 196617 t b b;
#P hidden newex 20 50 50 196617 print a;
#P newex 100 50 50 196617 print b;
#P connect 2 0 1 0;
#P hidden connect 2 1 0 0;
#P pop;
