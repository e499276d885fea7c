# Shut down while the chip takes nothing: for 300 ms the rest frame still
# goes out last; for 5 s rcdrive gives up on it rather than wait out the
# driver's closing_wait (30 s).
chips plug a3 && ports 1
kernel-operator $LOG r4 w:Stuj k:'\e[A' s:1000 c:'stall a3 300' k:q x:2000 -- /bin/rcdrive
chips unplug a3 && ports 0
chips plug b3 && ports 1
kernel-operator $LOG r5 w:Stuj k:'\e[A' s:1000 c:'stall b3 5000' k:q x:3000 -- /bin/rcdrive
kernel-checks $LOG frames:a3 rest:a3:1 quit:r4 quit:r5
chips unplug b3 && ports 0
# Stalls of 0.3 s and 2 s while driving are pauses: no backlog after them. An
# Esc typed during one is the first new frame once the chip takes data again,
# a key after it is as quick as ever, every frame whole. q late in a 2 s
# stall still gets the rest frame out last within the second.
chips plug a6 && ports 1
kernel-operator $LOG r8 w:Stuj k:'\e[A' s:1000 c:'stall a6 300' s:150 k:'\e' s:650 k:'\e[A' \
    s:500 c:'stall a6 2000' s:1000 k:'\e' s:1500 k:'\e[A' s:500 k:q x:1500 -- /bin/rcdrive
kernel-checks $LOG frames:a6 rest:a6:1 stall:a6:r8 quit:r8
chips unplug a6 && ports 0
chips plug b6 && ports 1
kernel-operator $LOG r9 w:Stuj k:'\e[A' s:1000 c:'stall b6 2000' s:1700 k:q x:2000 -- /bin/rcdrive
kernel-checks $LOG frames:b6 rest:b6:1 quit:r9
chips unplug b6 && ports 0
