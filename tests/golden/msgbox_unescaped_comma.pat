kel v2;
#N vpatcher 10 20 300 400;
#P window setfont Geneva 9.;
#P newex 20 20 60 196617 loadbang;
#P message 20 40 60 196617 first , second 2;
#P newex 20 60 60 196617 print box;
#P connect 2 0 1 0;
#P connect 1 0 0 0;
#P pop;
