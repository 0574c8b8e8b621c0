#N vpatcher 20 74 720 220;
#P newex 20 20 60 196617 loadbang;
#P message 20 50 400 196617 \; kel debug 1 \; kel debug 0 \; kel debug \; kel test2floats 1 2.5 \; kel test3floats 1 2 -3 \; kel test4floats 0.25 1 2 3 \; kel test5floats 1 2 3 4 5.5 \; kel test2floats 1 \; kel test2floats one two \; kel printsymvalue receiver_posts_unbound \; kel portenforce 0 \; kel goto 2000 1 1 \; kel v2 \; kel int 3 \; kel start \; kel stop \; kel stop 1 \; kel write 1 \; kel granularity 4 \; kel flange \; kel enabledspstatus \; kel setfinderwindowsize 1 2 3 4 \; kel setcollwindowsize 1 2 3 4 \; kel timerstats \; kel buildcollective \; kel buildplugin a \; kel buildplugin a b \; kel setcollwindowsize 1 2 \; kel nosuchcommand;
#P connect 1 0 0 0;
#P pop;
