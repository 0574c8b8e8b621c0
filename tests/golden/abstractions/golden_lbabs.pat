#N vpatcher 10 59 410 359;
#P newex 20 20 60 196617 loadbang;
#P newex 20 50 60 196617 print c;
#P connect 1 0 0 0;
#P pop;
