#!/bin/busybox sh
# /init of the kernel test's virtual machine: loads the USB serial modules,
# starts the emulated chips and runs every scenario in /scenarios, each with
# its own log. Checks print PASS: or FAIL: lines on the console.
/bin/busybox --install -s /bin
export PATH=/bin FT232R_CONTROL=/tmp/chips
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t tmpfs tmp /tmp
. /checks.sh
for module in usb-common usbcore usbip-core vhci-hcd usbserial ftdi_sio evdev uinput; do
    insmod /lib/modules/$module.ko || fail "load $module"
done
mkfifo $FT232R_CONTROL
rcdrive-ft232r $FT232R_CONTROL &

chips() { echo "$*" >$FT232R_CONTROL; }

# Waits up to 10 s until there are $1 USB serial ports.
ports() {
    for _ in $(seq 100); do
        [ "$(ls /sys/class/tty | grep -c '^ttyUSB')" = "$1" ] && return
        sleep 0.1
    done
    fail "$1 USB serial ports after 10 s"
}

for scenario in /scenarios/*.sh; do
    LOG=/tmp/$(basename $scenario .sh).log
    chips log $LOG
    echo "scenario $(basename $scenario .sh)"
    . $scenario
done
echo "kernel test: end"
poweroff -f
