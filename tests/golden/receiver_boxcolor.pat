#N vpatcher 20 74 720 280;
#P newex 20 20 60 196617 loadbang;
#P message 20 50 400 196617 \; kel boxcolor 3 300 -5 128 0 \; kel getboxcolor 3 color \; kel boxcolor 0 1 2 3 0 \; kel getboxcolor 0 color \; kel boxcolor 16 1 2 3 0 \; kel getboxcolor 16 color \; kel boxcolor 15 9 8 7 \; kel getboxcolor 15 color \; kel getboxcolor -1 color \; kel getboxcolor 1 color;
#P newex 20 160 100 196617 r color;
#P newex 20 185 100 196617 print color;
#P connect 1 0 0 0;
#P connect 3 0 2 0;
#P pop;
