# Unplugged while driving, back to the prompt; plugged in again behind
# another chip, so on a new ttyUSB node: opened, the line set again, rest first.
chips plug a4 && ports 1
kernel-operator $LOG r6 w:Stuj k:'\e[A' s:1000 c:'unplug a4' w:Pripojte s:300 \
    c:'plug o4 other' s:1000 c:'plug a4' w:Stuj k:'\e[A' s:1000 k:q x:1500 -- /bin/rcdrive
kernel-checks $LOG frames:a4 rest:a4:2 untouched:o4 quit:r6
chips unplug o4 && chips unplug a4 && ports 0
