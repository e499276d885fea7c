#!/bin/bash
# make kernel-test: rcdrive's Linux layer under the kernel's own FTDI driver.
# Boots Debian's kernel in QEMU (software emulation) with an initramfs of
# busybox, the USB serial modules, the programs of build folder $1 and the
# scenarios; emulated FT232R chips are plugged in over USB/IP. The checks'
# verdicts come back on the serial console, which is kept in
# $1/kernel-test.console.
#
#   tests/kernel/run.sh BUILD
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
. "$here/../../testkit/checks.sh"

# The newest installed kernel that has the USB/IP modules.
version=""
for image in /boot/vmlinuz-*; do
    candidate=${image#/boot/vmlinuz-}
    [ -d "/lib/modules/$candidate/kernel/drivers/usb/usbip" ] && version=$candidate
done
[ -n "$version" ] || { echo "kernel-test: no kernel with USB/IP modules in /boot" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,lib/modules,scenarios}
cp /bin/busybox "$root/bin/"
for module in usb-common usbcore usbip-core vhci-hcd usbserial ftdi_sio evdev uinput; do
    file=$(find "/lib/modules/$version/kernel" -name "$module.ko*" | head -n 1)
    case $file in
    *.xz) xz -dc "$file" ;;
    *.zst) zstd -dc "$file" ;;
    *) cat "$file" ;;
    esac >"$root/lib/modules/$module.ko"
done
# The programs with the shared libraries they need; the emulator is static.
for program in rcdrive rcdrive-monitor tests/rcdrive-ft232r tests/kernel-operator tests/kernel-checks; do
    cp "$build/$program" "$root/bin/"
    for library in $(ldd "$build/$program" 2>/dev/null | grep -o '/[^ ]*' || true); do
        mkdir -p "$root$(dirname "$library")"
        cp -L "$library" "$root$library"
    done
done
install -m 755 "$here/guest_init.sh" "$root/init"
cp "$here"/scenarios/*.sh "$root/scenarios/"
cp "$here/../../testkit/checks.sh" "$root/"
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initrd"

# The pc machine: its HPET gives the guest a fine clock, which the checks of
# pace and latency need. One processor: two, each a thread of its own on the
# host, see each other stall and let the driver's queue grow.
console=$build/kernel-test.console
timeout 300 qemu-system-x86_64 -M pc -accel tcg -m 512 -smp 1 -no-reboot -nographic \
    -nodefaults -serial stdio -kernel "/boot/vmlinuz-$version" -initrd "$work/initrd" \
    -append "console=ttyS0 quiet panic=-1" </dev/null | tr -d '\r' >"$console" || true

while IFS= read -r line; do
    case $line in
    "PASS: "*) pass "${line#PASS: }" ;;
    "FAIL: "*) fail "${line#FAIL: }" ;;
    "scenario "* | "  "*) echo "$line" ;;
    esac
done <"$console"
check "every scenario ran to its end (kernel $version; console: $console)" \
    grep -qx "kernel test: end" "$console"
finish_checks
