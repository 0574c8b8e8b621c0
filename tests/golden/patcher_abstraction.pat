#N vpatcher 20 74 620 474;
#P newex 20 20 100 196617 golden_args 5;
#P newex 150 20 100 196617 golden_args 6;
#P newex 20 60 60 196617 loadbang;
#P message 20 90 80 196617 $1 $0-x;
#P newex 20 120 60 196617 print top;
#P connect 2 0 1 0;
#P connect 1 0 0 0;
#P pop;
