#N vpatcher 20 74 320 274;
#P newex 20 20 60 196617 loadbang;
#P message 20 50 60 196617 opened;
#P newex 20 80 60 196617 print doc;
#P connect 2 0 1 0;
#P connect 1 0 0 0;
#P pop;
