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
