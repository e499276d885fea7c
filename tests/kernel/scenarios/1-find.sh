# Found by its product string among others: "other" is never opened, and a
# "dimsal" that one rcdrive holds is passed over by a second for a free one.
chips plug o1 other && ports 1
chips plug a1 && ports 2
chips plug b1 && ports 3
kernel-operator $LOG r1 w:Stuj k:'\e[A' s:2500 k:q x:1500 -- /bin/rcdrive &
first=$!
sleep 1
kernel-operator $LOG r2 w:Stuj k:'\e[D' s:1000 k:q x:1500 -- /bin/rcdrive
wait $first
kernel-checks $LOG untouched:o1 frames:a1:a1:40 frames:b1:80:61 quit:r1 quit:r2
chips unplug o1 && chips unplug a1 && chips unplug b1 && ports 0
