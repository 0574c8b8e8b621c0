kel v2;
#N vpatcher 20 74 320 214;
#P newex 20 20 60 0 print zero;
#P newex 20 50 60 65536 print sizezero;
#P newex 20 80 60 -5 print negative;
#P comment 20 110 60 2147483647 huge;
#P newex 20 140 0 196617 print nowidth;
#P newex 100 140 -50 196617 print negwidth;
#P pop;
