#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 loadbang;
#P wibble 20 50 60 196617 what;
#P newex 20 50;
#P message 20 50 60 196617 fine;
#P newex 20 80 60 196617 print out;
#P connect 2 0 1 0;
#P connect 1 0 0 0;
#P pop;
