# rcdrive-monitor: --list on the real sysfs, and a second chip tapped onto
# the transmitter's line read back.
chips plug a5 && ports 1
chips plug m5 FT232R USB UART && ports 2
chips tap a5 m5
check "monitor --list names the transmitter" \
    sh -c 'rcdrive-monitor --list | tee /dev/stderr | grep -q "^\* /dev/ttyUSB0 *ftdi_sio *yes *\"dimsal\"$"'
kernel-operator $LOG r7 w:Stuj k:'\e[A' s:3000 k:q x:1500 -- /bin/rcdrive &
first=$!
sleep 1
kernel-operator $LOG m7 s:1500 t: x:1000 -- /bin/rcdrive-monitor --summary /dev/ttyUSB1
wait $first
check "monitor reads the line" grep -q "frames [1-9][0-9]*, invalid [0-2], last A1 40 E1" /tmp/m7.out
cat /tmp/m7.out
chips unplug a5 && chips unplug m5 && ports 0
