# Unplugged while driving, back to the prompt; plugged in again behind
# another chip, so on a new ttyUSB node: opened, the line set again, rest first.
chips plug a4 && ports 1
kernel-operator $LOG r6 w:Stuj k:'\e[A' s:1000 c:'unplug a4' w:Pripojte s:300 \
    c:'plug o4 other' s:1000 c:'plug a4' w:Stuj k:'\e[A' s:1000 k:q x:1500 -- /bin/rcdrive
kernel-checks $LOG frames:a4 rest:a4:2 untouched:o4 quit:r6
chips unplug o4 && chips unplug a4 && ports 0
# Two transmitters: the one driven is pulled, and the other is not taken
# while it is away, but named under the prompt; back, the one driven is.
chips plug a7 && ports 1
chips plug b7 && ports 2
kernel-operator $LOG r10 w:Stuj k:'\e[A' s:1000 c:'unplug a7' w:restarting s:500 c:'plug a7' \
    w:Stuj k:'\e[A' s:1000 k:q x:1500 -- /bin/rcdrive
kernel-checks $LOG frames:a7 rest:a7:2 untouched:b7 quit:r10
chips unplug a7 && chips unplug b7 && ports 0
