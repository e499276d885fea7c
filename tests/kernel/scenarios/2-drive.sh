# Driving: the line as set, whole frames, the pace and latency through the
# real driver with the driver's queue watched, and the shut-down.
chips plug a2 && ports 1
kernel-operator $LOG r3 w:Stuj o:/dev/ttyUSB0 s:500 p:80 o: s:300 k:q x:1500 -- /bin/rcdrive
kernel-checks $LOG frames:a2 rest:a2:1 pace:a2:r3 quit:r3
chips unplug a2 && ports 0
