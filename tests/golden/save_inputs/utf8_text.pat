kel v2;
#N vpatcher 20 74 620 474;
#P window setfont Geneva 9.;
#P newex 20 20 60 196617 loadbang;
#P message 20 50 120 196617 héllo wörld 日本 привет;
#P newex 20 80 60 196617 print café;
#P connect 2 0 1 0;
#P connect 1 0 0 0;
#P pop;
