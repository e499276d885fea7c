#!/bin/sh
# Makes sure the packages a build needs are installed. As root it installs the
# missing ones with apt-get; otherwise it names the one command to run.
#
#   tools/ensure-deps.sh [build] [format] [fuzz] [windows]
set -eu

missing=""
need() { # need PACKAGE TEST...
    package=$1
    shift
    if ! "$@" >/dev/null 2>&1; then
        missing="$missing $package"
    fi
}
have_file() { [ -e "$1" ]; }
have_i386() { dpkg --print-foreign-architectures | grep -qx i386; }

[ $# -gt 0 ] || set -- build
for group in "$@"; do
    case $group in
    build)
        need cmake command -v cmake
        need g++ command -v g++
        need make command -v make
        need libgtest-dev have_file /usr/include/gtest/gtest.h
        ;;
    format)
        need clang-format command -v clang-format
        ;;
    fuzz)
        need clang command -v clang++
        need libclang-rt-14-dev sh -c 'ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'
        ;;
    windows)
        need g++-mingw-w64-i686 command -v i686-w64-mingw32-g++
        need wine command -v wine
        need wine32:i386 sh -c 'dpkg -s wine32:i386 || dpkg -s wine32'
        need googletest have_file /usr/src/googletest/googletest/src/gtest-all.cc
        ;;
    *)
        echo "ensure-deps: unknown group '$group'" >&2
        exit 2
        ;;
    esac
done

[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing build packages:$missing" >&2
    case $missing in *:i386*) echo "Run: sudo dpkg --add-architecture i386 && sudo apt-get update && sudo apt-get install -y$missing" >&2 ;;
    *) echo "Run: sudo apt-get install -y$missing" >&2 ;;
    esac
    exit 1
fi

echo "Installing:$missing" >&2
case $missing in *:i386*) have_i386 || dpkg --add-architecture i386 ;; esac
export DEBIAN_FRONTEND=noninteractive
apt-get update -q >/dev/null
apt-get install -y -q $missing >/dev/null
