# A gamepad made through uinput, plugged in after rcdrive started: found
# through evdev, it drives only while a shoulder button is held. Full up is
# forward 9, full right right 9, centred rest; a key acts while it is held,
# and the stick's next move sets only the axis that moved. Letting go rests,
# the other shoulder takes over at once, and a pad pulled out while held
# rests. Keys act after it; q ends with the rest frame last. rcdrive's CPU
# time, idle while driving, is the same without a pad and with one.
chips plug a8 && ports 1
kernel-operator $LOG r11 w:Stuj u:3000 g:+ s:1000 u:3000 g:Y-32768=same s:300 g:L1=A940 s:300 \
    g:X32767=A959 s:300 k:'\e[B' s:300 g:X0,Y0=8040 s:300 g:Y-32768=A940 s:300 \
    g:L0=8040 s:300 g:R1=A940 s:300 g:-=8040 s:500 k:'\e[A' s:300 k:q x:1500 -- /bin/rcdrive
kernel-checks $LOG frames:a8:a8:59 frames:a8:a1:40 rest:a8:1 pad:a8:r11 padcpu:r11 quit:r11
chips unplug a8 && ports 0
