#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 loadbang;
#P message 20 50 500 196617 list 1 2 \, prepend hi \, bang \, set x \, bang \, append y 3 \, bang \, color 17 \, set \, bang \, append 7 \, bang \, foo;
#P message 20 100 60 196617 \$1 \$2;
#P newex 20 150 60 196617 print m;
#P connect 3 0 2 0;
#P connect 2 0 1 0;
#P connect 1 0 0 0;
#P pop;
