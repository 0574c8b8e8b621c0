#N vpatcher 20 74 820 674;
#P newex 20 20 120 196617 loadbang;
#P message 80 60 120 196617 load pcontrol_loaded.txt shown 1 \, shroud pcontrol_loaded.txt hidden 2.5 \, load nowhere.txt \, help pcontrol;
#P newex 140 100 120 196617 pcontrol;
#P connect 2 0 1 0;
#P connect 1 0 0 0;
#P pop;
