#!/bin/sh
# Makes sure the packages a build needs are installed. As root it installs the
# missing ones with apt-get, then checks again that they are there; otherwise
# it names the one command to run.
#
#   scripts/ensure-deps.sh [GROUP]...
#
#   build         cmake, g++, make: the programs (make sim, make install)
#   test          GoogleTest, for the tests (make test)
#   format        clang-format
#   fuzz          clang and its libFuzzer runtime (make fuzz)
#   windows       the MinGW-w64 cross compiler (make windows-dist)
#   windows-test  wine, the GoogleTest sources and tmux (make windows, make windows-test)
#   windows64     the 64-bit MinGW-w64 compiler and 64-bit wine, where the wine
#                 tests cannot run 32-bit code (make windows64)
#   package       dpkg-shlibdeps and file, for the Debian package (make package)
#   man           groff, to render the manual pages
#   dist          unzip, to read back the Windows zip; lintian, to check the package
#   kernel-test   QEMU, Debian's kernel and a static busybox (make kernel-test)
#   mutants       python3, for scripts/mutants.py (make mutants)
set -eu

have_file() { [ -e "$1" ]; }
have_i386() { dpkg --print-foreign-architectures | grep -qx i386; }

# The major version of the installed clang, e.g. 14; empty without clang.
clang_major() {
    command -v clang++ >/dev/null 2>&1 || return 0
    clang++ --version 2>/dev/null | sed -n 's/.*clang version \([0-9][0-9]*\).*/\1/p' | head -n 1
}

# True if the installed clang has its libFuzzer archive, wherever its release
# keeps it (lib/linux/libclang_rt.fuzzer-x86_64.a, or a per-target folder).
have_fuzzer_runtime() {
    resource_dir=$(clang++ -print-resource-dir 2>/dev/null) || return 1
    [ -n "$resource_dir" ] && [ -d "$resource_dir/lib" ] || return 1
    [ -n "$(find "$resource_dir/lib" -name 'libclang_rt.fuzzer*.a' 2>/dev/null | head -n 1)" ]
}

# The package that brings the fuzzer runtime for clang MAJOR: from clang 14 on
# Debian ships it in libclang-rt-MAJOR-dev, before that in
# libclang-common-MAJOR-dev (which clang itself pulls in).
fuzzer_runtime_package() {
    if [ "$1" -ge 14 ]; then
        echo "libclang-rt-$1-dev"
    else
        echo "libclang-common-$1-dev"
    fi
}

missing=""
need() { # need PACKAGE TEST...
    package=$1
    shift
    if ! "$@" >/dev/null 2>&1; then
        missing="$missing $package"
    fi
}

# Fills $missing with what the groups need and is not there.
check_groups() {
    missing=""
    for group in "$@"; do
        case $group in
        build)
            need cmake command -v cmake
            need g++ command -v g++
            need make command -v make
            ;;
        test)
            need libgtest-dev have_file /usr/include/gtest/gtest.h
            ;;
        format)
            need clang-format command -v clang-format
            ;;
        fuzz)
            need clang command -v clang++
            # The runtime is named after the clang that is installed; with no
            # clang yet, it is looked for once clang is in.
            major=$(clang_major)
            if [ -n "$major" ]; then
                need "$(fuzzer_runtime_package "$major")" have_fuzzer_runtime
            fi
            ;;
        windows)
            need g++-mingw-w64-i686 command -v i686-w64-mingw32-g++-posix
            ;;
        windows-test)
            need wine command -v wine
            need wine32:i386 sh -c 'dpkg -s wine32:i386 || dpkg -s wine32'
            need googletest have_file /usr/src/googletest/googletest/src/gtest-all.cc
            need tmux command -v tmux
            ;;
        windows64)
            need g++-mingw-w64-x86-64-posix command -v x86_64-w64-mingw32-g++-posix
            need wine64 have_file /usr/lib/wine/wine64
            ;;
        package)
            need dpkg-dev command -v dpkg-shlibdeps
            need file command -v file
            ;;
        man)
            need groff-base command -v groff
            ;;
        dist)
            need unzip command -v unzip
            need lintian command -v lintian
            ;;
        mutants)
            need python3 command -v python3
            ;;
        kernel-test)
            need qemu-system-x86 command -v qemu-system-x86_64
            need linux-image-amd64 sh -c 'ls /lib/modules/*/kernel/drivers/usb/usbip/vhci-hcd.ko*'
            need busybox-static dpkg -s busybox-static
            need cpio command -v cpio
            ;;
        *)
            echo "ensure-deps: unknown group '$group'" >&2
            exit 2
            ;;
        esac
    done
}

[ $# -gt 0 ] || set -- build
check_groups "$@"
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing build packages:$missing" >&2
    case $missing in *:i386*) echo "Run: sudo dpkg --add-architecture i386 && sudo apt-get update && sudo apt-get install -y$missing" >&2 ;;
    *) echo "Run: sudo apt-get install -y$missing" >&2 ;;
    esac
    exit 1
fi

# Two rounds at most: the first may bring in clang, whose fuzzer runtime is
# named only once clang is there.
export DEBIAN_FRONTEND=noninteractive
updated=no
for _ in 1 2; do
    echo "Installing:$missing" >&2
    case $missing in *:i386*)
        if ! have_i386; then
            dpkg --add-architecture i386
            updated=no
        fi
        ;;
    esac
    if [ $updated = no ]; then
        apt-get update -q >/dev/null
        updated=yes
    fi
    apt-get install -y -q $missing >/dev/null
    check_groups "$@"
    [ -z "$missing" ] && exit 0
done
echo "ensure-deps: still missing after installing:$missing" >&2
exit 1
