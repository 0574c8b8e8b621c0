#N vpatcher 20 74 720 280;
#P newex 20 20 60 196617 loadbang;
#P message 20 50 400 196617 \; kel openfile doc receiver_opened.pat \; kel openfile doc receiver_opened.pat \; kel openfile other missing.pat \; kel openfile taken receiver_opened.pat \; kel closefile doc \; kel closefile doc \; kel closefile taken \; kel closefile never \; kel openfile doc receiver_opened.pat \; kel closefile doc;
#P newex 20 160 100 196617 r taken;
#P newex 20 185 100 196617 print taken;
#P connect 1 0 0 0;
#P connect 3 0 2 0;
#P pop;
