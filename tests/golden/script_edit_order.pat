#N vpatcher 20 74 620 474;
#P newex 20 20 60 196617 loadbang;
#P message 20 50 400 196617 script new src message 20 100 40 196617 go \, script new a newex 100 200 60 196617 print a \, script new b newex 300 200 60 196617 print b \, script connect src 0 a 0 \, script connect src 0 b 0 \, script sendbox src bang \, script move a 500 200 \, script sendbox src bang \, script delete b \, script sendbox src bang \, script new b newex 20 300 60 196617 print b2 \, script connect src 0 b 0 \, script sendbox src bang;
#P newex 20 300 70 196617 thispatcher;
#P connect 2 0 1 0;
#P connect 1 0 0 0;
#P pop;
