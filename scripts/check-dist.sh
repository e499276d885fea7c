#!/bin/bash
# Checks what a user gets, after `make package` and `make windows-dist`:
#
#   - the Debian package: name, version (the project's, with the Debian
#     revision of the changelog's latest entry), the maintainer, dependencies
#     found by dpkg-shlibdeps, and every file: the three programs, the manual
#     pages, the udev rule, the README, the copyright file and the changelog;
#     lintian finds nothing, or only what README.md's packaging notes explain;
#   - LICENSE (MIT), and the package's copyright file in Debian's
#     machine-readable form with the same copyright line and terms;
#   - the changelog: gzip -9n, its latest entry the package's version;
#   - the postinst: reloads udev, and only when udev runs; a one-line hint
#     about the dialout group for a user not in it, and none for one in it;
#   - the udev rule: its syntax (udevadm verify where there is one, else
#     read here), access for every channel of the transmitter, the name
#     /dev/rcdrive only for a chip of one channel, the one rcdrive opens;
#   - the programs taken out of the package: --help and -h (status 0, the
#     usage on standard output), --version (status 0, name and version), a
#     wrong option (status 2, what was wrong, then the usage, on standard
#     error only; rcdrive ignores it, and is not run with one); rcdrive-sim's
#     ranges, as its manual page gives them; rcdrive-monitor on input that is
#     not what it was given as (status 2);
#   - the manual pages in the package: the version filled in, and no warning
#     from groff -mandoc -ww;
#   - make install with PREFIX and DESTDIR: the files land under both, the
#     Debian-only changelog not among them; make uninstall with the same
#     DESTDIR removes every one of them and rcdrive's own folder;
#   - the Windows zip: everything in one folder rcdrive-<version>-win32, the
#     two programs, a README and LICENSE with CRLF line ends, and FTD2XX.dll
#     only in its stand-in folder, never beside rcdrive.exe.
#
# usage: scripts/check-dist.sh [PACKAGE_BUILD [WINDOWS_BUILD]]
#        (defaults build-package and build-windows, as the make targets)
set -u
cd "$(dirname "$0")/.." || exit 1

package_build=${1:-build-package}
windows_build=${2:-build-windows}
version=$(sed -n 's/^project(rcdrive VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# The package's version: the latest entry of the Debian changelog, 1.0.0-1.
deb_version=$(sed -n '1s/^rcdrive (\([^)]*\)).*/\1/p' packaging/debian/changelog)
. testkit/checks.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

[ -n "$version" ] || { echo "no version in CMakeLists.txt's project()" >&2; exit 1; }
echo "version $version, package $deb_version"

# --- The Debian package -----------------------------------------------------

deb=$(ls "$package_build"/rcdrive_"$deb_version"_*.deb 2>/dev/null | head -n 1)
if [ -z "$deb" ]; then
    fail "Debian package rcdrive_${deb_version}_*.deb in $package_build (make package)"
    deb=/nonexistent
fi

control_fields() {
    local field value
    [ "${deb_version%-*}" = "$version" ] || {
        echo "the changelog's latest entry is for $deb_version, the project is $version"
        return 1
    }
    for field in Package=rcdrive Version="$deb_version"; do
        value=$(dpkg-deb -f "$deb" "${field%%=*}") || return 1
        [ "$value" = "${field#*=}" ] || {
            echo "${field%%=*}: '$value', not '${field#*=}'"
            return 1
        }
    done
    # A name and an address, not a placeholder.
    value=$(dpkg-deb -f "$deb" Maintainer)
    echo "$value" | grep -Eqx 'rcdrive authors <[^ @<>]+@[^ @<>]+\.[a-z]+>' &&
        ! echo "$value" | grep -Eq '\.(invalid|localhost)>' || {
        echo "Maintainer: '$value'"
        return 1
    }
    for field in Section Description; do
        [ -n "$(dpkg-deb -f "$deb" "$field")" ] || { echo "no $field"; return 1; }
    done
    # The dependencies come from dpkg-shlibdeps: the C library at least.
    dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>=' || {
        echo "Depends: '$(dpkg-deb -f "$deb" Depends)'"
        return 1
    }
}
check "package control: name, version $deb_version, maintainer, section, computed Depends" \
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
        -rw-r--r--:./usr/share/doc/rcdrive/README.md \
        -rw-r--r--:./usr/share/doc/rcdrive/copyright \
        -rw-r--r--:./usr/share/doc/rcdrive/changelog.Debian.gz; do
        echo "$listing" | awk -v mode="${path%%:*}" -v file="${path#*:}" \
            '$1 == mode && $NF == file { found = 1 } END { exit !found }' || {
            echo "missing: ${path#*:} (${path%%:*})"
            ok=1
        }
    done
    return $ok
}
check "package files: programs, manual pages, udev rule, README, copyright, changelog" \
    package_files

# Every error or warning lintian has must be one that README.md's packaging
# notes explain, by its tag.
lintian_clean() {
    local tag ok=0 notes
    command -v lintian >/dev/null || { echo "no lintian (scripts/ensure-deps.sh dist)"; return 1; }
    notes=$(sed -n '/^## Packaging notes/,/^## /p' README.md)
    lintian --tag-display-limit 0 "$deb" 2>/dev/null >"$work/lintian"
    for tag in $(sed -n 's/^[EW]: rcdrive[^:]*: \([^ ]*\).*/\1/p' "$work/lintian" | sort -u); do
        if echo "$notes" | grep -qF "$tag"; then
            echo "explained in README.md: $tag"
        else
            grep "^[EW]: .* $tag" "$work/lintian"
            ok=1
        fi
    done
    return $ok
}
check "lintian: no error or warning that the README's packaging notes do not explain" \
    lintian_clean

root=$work/package
mkdir -p "$root"
dpkg-deb -x "$deb" "$root" 2>/dev/null
doc=$root/usr/share/doc/rcdrive

# --- License, copyright, changelog ------------------------------------------

# The MIT terms of LICENSE, from "Permission" to the end.
license_terms() {
    sed -n '/^Permission is hereby granted/,$p' LICENSE
}

license_file() {
    head -n 1 LICENSE | grep -qx 'MIT License' &&
        grep -Eqx 'Copyright \(c\) [0-9]{4}(-[0-9]{4})? the rcdrive authors' LICENSE &&
        [ "$(license_terms | wc -l)" -ge 15 ] || {
        echo "LICENSE: no MIT License of the rcdrive authors"
        return 1
    }
}
check "LICENSE: the MIT license, copyright the rcdrive authors" license_file

# The Expat paragraph's text, its lines unindented and " ." made empty again,
# is LICENSE's terms; the copyright line is LICENSE's.
copyright_file() {
    local file=$doc/copyright holder
    holder=$(sed -n 's/^Copyright (c) //p' LICENSE)
    head -n 1 "$file" |
        grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' &&
        grep -qx 'Upstream-Name: rcdrive' "$file" && grep -qx 'Files: \*' "$file" &&
        grep -qxF "Copyright: $holder" "$file" && grep -qx 'License: Expat' "$file" || {
        echo "$file: no machine-readable header, Files: *, 'Copyright: $holder' or License: Expat"
        return 1
    }
    # The text after the second "License: Expat", the standalone paragraph.
    diff <(awk 'seen == 2 { print } /^License: Expat$/ { seen++ }' "$file" |
        sed 's/^ //; s/^\.$//') \
        <(license_terms) || {
        echo "the Expat text differs from LICENSE"
        return 1
    }
}
check "copyright: machine-readable, LICENSE's copyright line and terms as Expat" copyright_file

# gzip's header: no file name (flag 0x08), no time stamp, the best
# compression (XFL 2); the latest entry is the package's version.
changelog_file() {
    local file=$doc/changelog.Debian.gz header
    header=$(od -An -tx1 -N10 "$file" | tr -d ' \n')
    [ "${header:0:6}" = 1f8b08 ] && [ $((0x${header:6:2} & 0x08)) -eq 0 ] &&
        [ "${header:8:8}" = 00000000 ] && [ "${header:16:2}" = 02 ] || {
        echo "not made with gzip -9n: header $header"
        return 1
    }
    gzip -dc "$file" | head -n 1 | grep -qF "rcdrive ($deb_version) " || {
        echo "latest entry: $(gzip -dc "$file" | head -n 1)"
        return 1
    }
}
check "changelog.Debian.gz: gzip -9n, latest entry $deb_version" changelog_file

# --- The postinst -----------------------------------------------------------

# Run as dpkg runs it, with stand-ins for udevadm (which would touch this
# machine's udev) and for id, which puts "member" in dialout.
postinst_hint() {
    local bin=$work/bin script=$work/postinst hint
    mkdir -p "$bin"
    printf '#!/bin/sh\nexit 0\n' >"$bin/udevadm"
    printf '#!/bin/sh\n[ "$2" = member ] && echo member dialout || echo "$2"\n' >"$bin/id"
    chmod +x "$bin/udevadm" "$bin/id"
    dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst >"$script" || return 1
    dpkg-deb -I "$deb" postinst | grep -q "^ *udevadm control --reload-rules" &&
        grep -q "/run/udev/control" "$script" || {
        echo "no guarded udevadm control --reload-rules"
        return 1
    }
    hint=$(SUDO_USER=nobody PATH="$bin:$PATH" sh "$script" configure) &&
        [ "$(echo "$hint" | wc -l)" -eq 1 ] &&
        echo "$hint" | grep -q 'nobody is not in group dialout.*usermod -aG dialout nobody' || {
        echo "for nobody: '$hint'"
        return 1
    }
    hint=$(SUDO_USER=member PATH="$bin:$PATH" sh "$script" configure) && [ -z "$hint" ] || {
        echo "for a member of dialout: '$hint'"
        return 1
    }
}
getent group dialout >/dev/null || echo "(no group dialout on this machine: the hint is not given)"
check "postinst: reloads udev when it runs; one line about dialout for a user not in it, none for one in it" \
    postinst_hint

# --- The udev rule ----------------------------------------------------------

# Prints each rule of a rules file as its KEY{attr}OP"value" pairs, one
# line each, joined by ", "; fails on what udev could not read: a pair that
# does not parse, an unknown key, or an operator the key does not take.
udev_rules() {
    awk '
    BEGIN {
        split("ACTION DEVPATH KERNEL KERNELS NAME SYMLINK SUBSYSTEM SUBSYSTEMS DRIVER DRIVERS " \
              "ATTR ATTRS ENV CONST TAG TAGS TEST PROGRAM RESULT SYSCTL", keys, " ")
        for (i in keys) matches[keys[i]] = 1
        split("NAME SYMLINK OWNER GROUP MODE ENV TAG RUN LABEL GOTO IMPORT OPTIONS ATTR " \
              "SYSCTL SECLABEL", keys, " ")
        for (i in keys) assigns[keys[i]] = 1
    }
    /\\$/ { pending = pending substr($0, 1, length($0) - 1); next }
    {
        rest = pending $0; pending = ""; rule = ""
        if (rest ~ /^[ \t]*(#.*)?$/) next
        while (1) {
            sub(/^[ \t]+/, "", rest)
            if (!match(rest, /^[A-Z_]+(\{[^}]+\})?[ \t]*(==|!=|\+=|-=|:=|=)[ \t]*"[^"]*"/)) {
                print "line " NR ": cannot read: " rest; bad = 1; next
            }
            pair = substr(rest, 1, RLENGTH); rest = substr(rest, RLENGTH + 1)
            match(pair, /^[A-Z_]+(\{[^}]+\})?/); left = substr(pair, 1, RLENGTH)
            key = left; sub(/\{.*/, "", key)
            match(pair, /"[^"]*"$/); value = substr(pair, RSTART)
            op = substr(pair, length(left) + 1, RSTART - length(left) - 1); gsub(/[ \t]/, "", op)
            if (!((op == "==" || op == "!=") ? key in matches : key in assigns)) {
                print "line " NR ": " key " does not take " op; bad = 1
            }
            rule = rule (rule == "" ? "" : ", ") left op value
            sub(/^[ \t]+/, "", rest)
            if (rest == "") break
            if (sub(/^,/, "", rest) == 0) {
                print "line " NR ": no comma before: " rest; bad = 1; next
            }
        }
        print rule
    }
    END { exit bad }' "$1"
}

udev_rule() {
    local rule=$root/usr/lib/udev/rules.d/70-rcdrive.rules rules broken=$work/broken.rules
    if udevadm verify --help >/dev/null 2>&1; then
        udevadm verify --resolve-names=never "$rule" || return 1
    fi
    rules=$(udev_rules "$rule") || { echo "$rules"; return 1; }
    # The reader catches what udev would not take.
    printf 'GROUP=="dialout"\nKERNEL=="ttyUSB*", MODE="0660\nSUBSYSTEM=="tty" KERNEL=="x"\n' >"$broken"
    [ "$(udev_rules "$broken" | grep -c '^line ')" -eq 3 ] || {
        echo "the rule reader let a broken rule pass: $(udev_rules "$broken")"
        return 1
    }
    [ "$(echo "$rules" | grep -c .)" -eq 2 ] &&
        ! echo "$rules" | grep -v 'SUBSYSTEM=="tty", KERNEL=="ttyUSB\[0-9\]\*", ATTRS{product}=="dimsal", ' &&
        echo "$rules" | grep -q 'GROUP="dialout", MODE="0660", ENV{ID_MM_DEVICE_IGNORE}="1"$' &&
        echo "$rules" | grep -q 'ATTRS{bNumInterfaces}==" 1", SYMLINK+="rcdrive"$' &&
        ! echo "$rules" | grep 'SYMLINK' | grep -v 'ATTRS{bNumInterfaces}==" 1"' || {
        echo "$rules"
        return 1
    }
}
check "udev rule: readable by udev; dialout 0660 and no ModemManager for the transmitter, /dev/rcdrive for a one-channel chip only" \
    udev_rule

# --- The programs' options --------------------------------------------------

# options PROGRAM OPTION...: each of --help, -h, --version and a wrong option
# given, once.
options() {
    local program=$1 name ok=0 status
    name=$(basename "$program")
    shift
    for option in "$@"; do
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
            [ $status -eq 2 ] && [ ! -s "$work/out" ] && [ "$(wc -l <"$work/err")" -eq 2 ] &&
                head -n 1 "$work/err" | grep -qx "$name: $option: unknown option" &&
                tail -n 1 "$work/err" | grep -q "^usage: $name "
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
    check "$program: --help and -h 0, --version 0 '$program $version', a wrong option 2: what was wrong, then the usage, on stderr" \
        options "$root/usr/bin/$program" --help -h --version --no-such-option
done
check "rcdrive: --help and -h 0, --version 0 'rcdrive $version'" \
    options "$root/usr/bin/rcdrive" --help -h --version
check "rcdrive-monitor --list from the package runs" "$root/usr/bin/rcdrive-monitor" --list

# Each number rcdrive-sim takes: a value that is no number is refused with
# the option's range, and the manual page's paragraph on the option gives
# the same range.
sim_ranges() {
    local option range page=$work/rcdrive-sim.1 ok=0
    gzip -dc "$root/usr/share/man/man1/rcdrive-sim.1.gz" | sed 's/\\-/-/g' >"$page" || return 1
    for option in --attach-after --unplug-after --replug-after --fifo --rate-error; do
        "$root/usr/bin/rcdrive-sim" "$option" 1x 2>"$work/err" </dev/null
        range=$(sed -n "1s/^rcdrive-sim: $option 1x: must be a whole number \(from .*\)/\1/p" \
            "$work/err")
        [ -n "$range" ] &&
            awk -v head=".BI $option " 'index($0, head) == 1 { on = 1; next } /^\.(TP|SH)/ { on = 0 }
                on' "$page" | grep -qF "whole number $range" || {
            echo "$option: program '$(head -n 1 "$work/err")', not the same in the manual page"
            ok=1
        }
    done
    "$root/usr/bin/rcdrive-sim" --unplug-after 200 --replug-after 100 2>"$work/err" </dev/null
    head -n 1 "$work/err" |
        grep -qx 'rcdrive-sim: --replug-after 100: must not be before --unplug-after 200' || {
        echo "a replug before the unplug: '$(head -n 1 "$work/err")'"
        ok=1
    }
    return $ok
}
check "rcdrive-sim: each number's range named on error, as its manual page gives it" sim_ranges

# The monitor on input that is not what it was given as: status 2 and why.
monitor_wrong_input() {
    local monitor=$root/usr/bin/rcdrive-monitor trace=$work/trace.txt status
    printf '1 open "dimsal" 2 0\n2 write 80 0\n3 write 40 0\n4 write C0 0\n' >"$trace"
    "$monitor" --summary "$trace" >/dev/null 2>"$work/err"
    status=$?
    [ $status -eq 2 ] && grep -qx "rcdrive-monitor: $trace is an rcdrive-sim trace: read it with --trace $trace" "$work/err" || {
        echo "a trace as DEVICE: status $status, '$(cat "$work/err")'"
        return 1
    }
    "$monitor" --summary --trace LICENSE >/dev/null 2>"$work/err"
    status=$?
    [ $status -eq 2 ] && grep -q "^rcdrive-monitor: LICENSE is not a trace" "$work/err" || {
        echo "a text as --trace: status $status, '$(cat "$work/err")'"
        return 1
    }
}
check "rcdrive-monitor: a trace as DEVICE and a text as --trace are refused with status 2" \
    monitor_wrong_input

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
    local prefix=$work/stage/opt/rcdrive file left
    make --no-print-directory install BUILD="$package_build" PREFIX=/opt/rcdrive \
        DESTDIR="$work/stage" >"$work/install" 2>&1 || {
        tail -n 20 "$work/install"
        return 1
    }
    for file in bin/rcdrive bin/rcdrive-sim bin/rcdrive-monitor share/man/man1/rcdrive.1.gz \
        lib/udev/rules.d/70-rcdrive.rules share/doc/rcdrive/README.md \
        share/doc/rcdrive/copyright; do
        [ -s "$prefix/$file" ] || { echo "missing: DESTDIR/opt/rcdrive/$file"; return 1; }
    done
    ! ls "$prefix"/share/doc/rcdrive/changelog* 2>/dev/null || {
        echo "the Debian changelog in a plain install"
        return 1
    }
    make --no-print-directory uninstall BUILD="$package_build" DESTDIR="$work/stage" \
        >"$work/uninstall" 2>&1 || {
        tail -n 20 "$work/uninstall"
        return 1
    }
    left=$(find "$work/stage" -type f -o -path "*/doc/rcdrive")
    [ -z "$left" ] || { echo "left after make uninstall: $left"; return 1; }
}
check "make install PREFIX=/opt/rcdrive DESTDIR=...: everything under DESTDIR/opt/rcdrive, no Debian changelog; make uninstall removes it all" \
    installed

# --- The Windows zip --------------------------------------------------------

top=rcdrive-$version-win32
zip=$windows_build/$top.zip

zip_files() {
    local names name ok=0
    names=$(unzip -Z1 "$zip") || return 1
    # Unpacked, it makes one folder, and puts nothing loose beside it.
    if echo "$names" | grep -v "^$top/"; then
        echo "outside the folder $top/"
        ok=1
    fi
    for name in rcdrive.exe rcdrive-sim.exe README.txt LICENSE.txt \
        virtual-ftd2xx-stand-in/FTD2XX.dll; do
        echo "$names" | grep -qxF "$top/$name" || { echo "missing: $top/$name"; ok=1; }
    done
    # rcdrive.exe would load a DLL beside it in place of FTDI's driver.
    if echo "$names" | grep -i "^$top/[^/]*\.dll$"; then
        echo "a DLL beside rcdrive.exe"
        ok=1
    fi
    return $ok
}
check "Windows zip: one folder $top with the programs, README, LICENSE, the stand-in DLL only in its own folder" \
    zip_files

# crlf_text NAME TEXT: the zip's file NAME has CRLF on every line and holds TEXT.
crlf_text() {
    unzip -p "$zip" "$top/$1" >"$work/$1" || return 1
    [ -s "$work/$1" ] && [ "$(tail -c 2 "$work/$1" | od -An -c | tr -d ' ')" = '\r\n' ] &&
        ! grep -n -v $'\r$' "$work/$1" | head -n 3 | grep . &&
        grep -qF "$2" "$work/$1"
}
check "Windows README.txt: CRLF on every line, version $version" crlf_text README.txt "rcdrive $version"
check "Windows LICENSE.txt: CRLF on every line, the MIT license" \
    eval 'crlf_text LICENSE.txt "$(sed -n 3p LICENSE)" &&
          [ "$(tr -d "\r" <"$work/LICENSE.txt")" = "$(cat LICENSE)" ]'

finish_checks
