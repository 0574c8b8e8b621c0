#N vpatcher 20 74 820 674;
#P pop;
