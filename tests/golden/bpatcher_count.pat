#N vpatcher 20 74 620 474;
#P comment 20 4 560 196617 two bpatchers of one counting file: each counts with its own metro interval and label and its own local names \, and its outlet reaches the patch;
#P bpatcher 20 30 200 150 0 0 golden_bpcount 0 one 100;
#P bpatcher 250 30 200 150 0 0 golden_bpcount 0 two 150;
#P newex 20 200 60 196617 print out;
#P connect 2 0 0 0;
#P pop;
