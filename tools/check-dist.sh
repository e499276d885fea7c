#!/bin/bash
# Checks what a user gets, after `make package` and `make windows-dist`:
#
#   - the Debian package: name, the project's version, dependencies found by
#     dpkg-shlibdeps, the postinst that reloads udev, and every file: the
#     three programs, the manual pages, the udev rule, the README;
#   - the programs taken out of the package: --help and -h (status 0, the
#     usage on standard output), --version (status 0, name and version), a
#     wrong option (status 2, the usage on standard error only);
#   - the manual pages in the package: the version filled in, and no warning
#     from groff -mandoc -ww;
#   - make install with PREFIX and DESTDIR: the files land under both;
#   - the Windows zip: the two programs, a README with CRLF line ends, and
#     FTD2XX.dll only in its stand-in folder, never beside rcdrive.exe.
#
# usage: tools/check-dist.sh [PACKAGE_BUILD [WINDOWS_BUILD]]
#        (defaults build-package and build-windows, as the make targets)
set -u
cd "$(dirname "$0")/.." || exit 1

package_build=${1:-build-package}
windows_build=${2:-build-windows}
version=$(sed -n 's/^project(rcdrive VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
. testkit/checks.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

[ -n "$version" ] || {
    echo "no version in CMakeLists.txt's project()" >&2
    exit 1
}
echo "version $version"

# --- The Debian package -----------------------------------------------------

deb=$(ls "$package_build"/rcdrive_"$version"_*.deb 2>/dev/null | head -n 1)
if [ -z "$deb" ]; then
    fail "Debian package rcdrive_${version}_*.deb in $package_build (make package)"
    deb=/nonexistent
fi

control_fields() {
    local field value
    for field in Package=rcdrive Version="$version"; do
        value=$(dpkg-deb -f "$deb" "${field%%=*}") || return 1
        [ "$value" = "${field#*=}" ] || {
            echo "${field%%=*}: '$value', not '${field#*=}'"
            return 1
        }
    done
    for field in Maintainer Section Description; do
        [ -n "$(dpkg-deb -f "$deb" "$field")" ] || {
            echo "no $field"
            return 1
        }
    done
    # The dependencies come from dpkg-shlibdeps: the C library at least.
    dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>=' || {
        echo "Depends: '$(dpkg-deb -f "$deb" Depends)'"
        return 1
    }
}
check "package control: name, version $version, maintainer, section, computed Depends" \
    control_fields

package_files() {
    local listing path ok=0
    listing=$(dpkg-deb -c "$deb") || return 1
    for path in -rwxr-xr-x:./usr/bin/rcdrive -rwxr-xr-x:./usr/bin/rcdrive-sim \
        -rwxr-xr-x:./usr/bin/rcdrive-monitor \
        -rw-r--r--:./usr/share/man/man1/rcdrive.1.gz \
        -rw-r--r--:./usr/share/man/man1/rcdrive-sim.1.gz \
        -rw-r--r--:./usr/share/man/man1/rcdrive-monitor.1.gz \
        -rw-r--r--:./usr/lib/udev/rules.d/70-rcdrive.rules \
        -rw-r--r--:./usr/share/doc/rcdrive/README.md; do
        echo "$listing" | awk -v mode="${path%%:*}" -v file="${path#*:}" \
            '$1 == mode && $NF == file { found = 1 } END { exit !found }' || {
            echo "missing: ${path#*:} (${path%%:*})"
            ok=1
        }
    done
    return $ok
}
check "package files: programs, manual pages, udev rule, README" package_files

check "package postinst reloads the udev rules, and only when udev runs" \
    eval 'dpkg-deb -I "$deb" postinst | grep -q "^ *udevadm control --reload-rules" &&
          dpkg-deb -I "$deb" postinst | grep -q "/run/udev/control"'

root=$work/package
mkdir -p "$root"
dpkg-deb -x "$deb" "$root" 2>/dev/null

# --- The programs' options --------------------------------------------------

# options PROGRAM: --help, -h, --version and a wrong option, each once.
options() {
    local program=$1 name ok=0 status
    name=$(basename "$program")
    for option in --help -h --version --no-such-option; do
        "$program" "$option" >"$work/out" 2>"$work/err" </dev/null
        status=$?
        case $option in
        --help | -h)
            [ $status -eq 0 ] && head -n 1 "$work/out" | grep -q "^usage: $name " &&
                grep -q -- '--version' "$work/out" && [ ! -s "$work/err" ]
            ;;
        --version)
            [ $status -eq 0 ] && [ "$(cat "$work/out")" = "$name $version" ] && [ ! -s "$work/err" ]
            ;;
        *)
            [ $status -eq 2 ] && [ ! -s "$work/out" ] && [ "$(wc -l <"$work/err")" -eq 1 ] &&
                grep -q "^usage: $name " "$work/err"
            ;;
        esac || {
            echo "$name $option: status $status, stdout '$(head -c 200 "$work/out")'," \
                "stderr '$(head -c 200 "$work/err")'"
            ok=1
        }
    done
    return $ok
}
for program in rcdrive-sim rcdrive-monitor; do
    check "$program: --help and -h 0, --version 0 '$program $version', a wrong option 2 with the usage on stderr" \
        options "$root/usr/bin/$program"
done
check "rcdrive-monitor --list from the package runs" "$root/usr/bin/rcdrive-monitor" --list

# --- Manual pages -----------------------------------------------------------

# man_page PAGE.gz: the version in its title line, and groff has nothing to
# say about it, on a terminal or on paper.
man_page() {
    local page device
    page=$work/$(basename "$1" .gz)
    gzip -dc "$1" >"$page" || return 1
    grep -q "^\.TH .* \"rcdrive $version\"" "$page" || {
        echo "no 'rcdrive $version' in the title line"
        return 1
    }
    ! grep -n '@[A-Z_]*@' "$page" || return 1
    for device in ps utf8; do
        groff -mandoc -T$device -ww -z "$page" 2>"$work/groff" && [ ! -s "$work/groff" ] || {
            cat "$work/groff"
            return 1
        }
    done
}
for page in rcdrive rcdrive-sim rcdrive-monitor; do
    check "manual page $page.1: version $version, no groff warning" \
        man_page "$root/usr/share/man/man1/$page.1.gz"
done

# --- make install -----------------------------------------------------------

installed() {
    local prefix=$work/stage/opt/rcdrive file
    make --no-print-directory install BUILD="$package_build" PREFIX=/opt/rcdrive \
        DESTDIR="$work/stage" >"$work/install" 2>&1 || {
        tail -n 20 "$work/install"
        return 1
    }
    for file in bin/rcdrive bin/rcdrive-sim bin/rcdrive-monitor share/man/man1/rcdrive.1.gz \
        lib/udev/rules.d/70-rcdrive.rules share/doc/rcdrive/README.md; do
        [ -s "$prefix/$file" ] || {
            echo "missing: DESTDIR/opt/rcdrive/$file"
            return 1
        }
    done
}
check "make install PREFIX=/opt/rcdrive DESTDIR=...: everything under DESTDIR/opt/rcdrive" installed

# --- The Windows zip --------------------------------------------------------

zip=$windows_build/rcdrive-$version-win32.zip

zip_files() {
    local names name ok=0
    names=$(unzip -Z1 "$zip") || return 1
    for name in rcdrive.exe rcdrive-sim.exe README.txt virtual-ftd2xx-stand-in/FTD2XX.dll; do
        echo "$names" | grep -qxF "$name" || {
            echo "missing: $name"
            ok=1
        }
    done
    # rcdrive.exe would load a DLL beside it in place of FTDI's driver.
    if echo "$names" | grep -i '^[^/]*\.dll$'; then
        echo "a DLL beside rcdrive.exe"
        ok=1
    fi
    return $ok
}
check "Windows zip: programs, README, the stand-in DLL only in its own folder" zip_files

readme_crlf() {
    unzip -p "$zip" README.txt >"$work/README.txt" || return 1
    [ -s "$work/README.txt" ] && [ "$(tail -c 2 "$work/README.txt" | od -An -c | tr -d ' ')" = '\r\n' ] &&
        ! grep -n -v $'\r$' "$work/README.txt" | head -n 3 | grep . &&
        grep -q "rcdrive $version" "$work/README.txt"
}
check "Windows README.txt: CRLF on every line, version $version" readme_crlf

finish_checks
