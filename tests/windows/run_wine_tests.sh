#!/bin/bash
# The Windows programs and their tests, run under wine:
#
#   - rcdrive.exe, rcdrive-sim.exe and the virtual FTD2XX.dll are 32-bit
#     (PE32) and need only DLLs that Windows has; FTD2XX.dll exports its five
#     entry points by ordinal only;
#   - the transmitter link, pacer and clock tests (link_tests.exe), and the
#     console with no keyboard (console_tests.exe);
#   - the FTD2XX.dll loader beside the virtual DLL, and with no usable DLL
#     (none, a file that is no DLL, a DLL that lacks an entry point), then
#     with a good one put in place while the program runs (d2xx_loader_test);
#   - rcdrive.exe with the virtual DLL attaching late, rcdrive.exe with no DLL
#     at all, with a setting the virtual DLL cannot take, and with the virtual
#     transmitter unplugged and plugged in again: prompts, the line set up
#     once, frames streaming with no keyboard, the lost transmitter seen and
#     found again, Ctrl+C leaving the vehicle at rest and ending with
#     STATUS_CONTROL_C_EXIT; the traces are read by trace_story.exe;
#   - rcdrive-sim.exe's options;
#   - rcdrive.exe typed at in a console window: each status line on a
#     cleared screen, and no byte on the line waiting long for a redraw.
#
# The 32-bit build runs under 32-bit wine; where a 32-bit program cannot be
# executed here, the 64-bit build (make windows64, in BUILD64_DIR) under
# 64-bit wine. RCDRIVE_WINE64=1 asks for the 64-bit one anyway.
#
# usage: tests/windows/run_wine_tests.sh BUILD_DIR BUILD64_DIR   (as `make windows-test`)
set -u

build=$(cd "${1:?usage: $0 BUILD_DIR BUILD64_DIR}" && pwd)
build64=$(realpath -m "${2:?usage: $0 BUILD_DIR BUILD64_DIR}")
start_seconds=$SECONDS
. "$(dirname "$0")/../../testkit/checks.sh"

# --- What the binaries link against and export (no wine needed) -------------

objdump=i686-w64-mingw32-objdump

# Every DLL imported at load time is one that comes with Windows.
only_system_imports() {
    local file=$1 name ok=0
    for name in $($objdump -p "$file" | awk '/DLL Name:/ {print $3}'); do
        case ${name,,} in
        kernel32.dll | msvcrt.dll | winmm.dll | user32.dll | advapi32.dll) ;;
        *)
            echo "  $file imports $name"
            ok=1
            ;;
        esac
    done
    return $ok
}

# The export table holds exactly the ordinals 2, 4, 7, 8 and 27, and no names.
ordinal_only_exports() {
    local dump ordinals
    dump=$($objdump -p "$1")
    ordinals=$(echo "$dump" | sed -n 's/.*+base\[ *\([0-9]*\)\].*/\1/p' | tr '\n' ' ')
    echo "  exported ordinals: $ordinals"
    [ "$ordinals" = "2 4 7 8 27 " ] || return 1
    echo "$dump" | grep -q '\[Name Pointer/Ordinal\] Table[[:space:]]*00000000' || {
        echo "  the DLL exports names"
        return 1
    }
}

for file in rcdrive.exe rcdrive-sim.exe virtual-ftd2xx/FTD2XX.dll; do
    check "$file is PE32 and needs only DLLs of Windows itself" eval \
        '$objdump -f "$build/$file" | grep -q "format pei-i386$" && only_system_imports "$build/$file"'
done
check "virtual FTD2XX.dll exports by ordinal only" \
    ordinal_only_exports "$build/virtual-ftd2xx/FTD2XX.dll"

# --- Which build runs, and under which wine ---------------------------------

wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=" # no offer to install .NET or a browser

# Only a loader that cannot be executed (bash says so with status 126, where
# timeout's exec would run it as a script) means no 32-bit code here; other
# failures are the 32-bit build's, and its checks show them.
tried=$(WINEPREFIX=$build/wineprefix timeout 300 \
    bash -c '"$@"' probe "$wine32" "$build/rcdrive-sim.exe" --version 2>&1)
case $? in
126 | 127) bits=64 said="32-bit code cannot run here" ;;
*) bits=32 said="32-bit code runs here" ;;
esac
said="$said ($wine32 rcdrive-sim.exe --version: \"$(echo "$tried" | tr -d '\r' | tail -n 1)\")"
[ -z "${RCDRIVE_WINE64:-}" ] || bits=64 said="RCDRIVE_WINE64=$RCDRIVE_WINE64 asks for it, though $said"
echo "Running the $bits-bit build under $bits-bit wine: $said"
wine=$wine32
if [ $bits = 64 ]; then
    make --no-print-directory -C "$(dirname "$0")/../.." windows64 WINDOWS64_BUILD="$build64" ||
        { fail "the 64-bit build (make windows64)"; finish_checks; exit; }
    build=$build64 wine=$wine64
fi
tests=$build/tests

export WINEPREFIX=$build/wineprefix
export WINELOADER=$wine # wine's own helper programs start with the same one
work=$(mktemp -d "$build/wine-tests.XXXXXX")
tmux_socket=$work/tmux.sock
cleanup() {
    tmux -S "$tmux_socket" kill-server >/dev/null 2>&1
    wineserver -k >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Setting up the wine prefix $WINEPREFIX (once)"
    "$wine" wineboot.exe -i >/dev/null 2>&1
fi
wineserver -p # one server for all the runs below; each start is then quick

# in_folder NAME FILE...: a fresh folder holding copies of the files.
in_folder() {
    local folder=$work/$1
    shift
    mkdir -p "$folder"
    cp "$@" "$folder/"
    echo "$folder"
}

# wait_for_exit PID SECONDS: its exit status, or 255 (and it is killed) if it
# is still running then.
wait_for_exit() {
    local pid=$1 tenths=$(($2 * 10))
    while kill -0 "$pid" 2>/dev/null && [ $tenths -gt 0 ]; do
        sleep 0.1
        tenths=$((tenths - 1))
    done
    if kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        return 255
    fi
    wait "$pid"
}

# Windows reports 0xC000013A for a program ended by Ctrl+C; wine passes on the
# low byte of an exit code.
ctrl_c_exit=$((0xC000013A & 0xFF))

# count TEXT FILE: how often TEXT occurs in FILE.
count() {
    grep -o "$1" "$2" | wc -l
}

# story TRACE: the trace's runs of records, one a line, as trace_story.exe
# reads them with the trace's own reader: kind, status, count, start and span
# in ms, and what the first says.
story() {
    (cd "$tests" && "$wine" trace_story.exe "Z:${1//\//\\}") 2>/dev/null | tr -d '\r'
}

# The kinds and statuses of the runs, in order, on one line.
steps_of() {
    echo "$1" | cut -d' ' -f1,2 | tr '\n' ',' | sed 's/,$//'
}

# run_field STORY N FIELD: a field of the Nth run.
run_field() {
    echo "$1" | sed -n "${2}p" | cut -d' ' -f"$3"
}

# drive_trace_ok TRACE ATTACH_MS MIN_BYTES [first MAX_GAP_MS]: the trace of a
# run that found the transmitter only after some tries: failed opens for
# about attach_ms (the DLL's clock starts at its load, up to 10 ms before the
# first), the open, the line set once to 1200 8E1, at least min_bytes of
# whole frames, only (or first) rest frames, no gap between bytes longer than
# max_gap_ms, and the close (if any) at the end.
drive_trace_ok() {
    local trace=$1 attach_ms=$2 min_bytes=$3 frames=${4:-only} max_gap=${5:-} told steps
    told=$(story "$trace")
    echo "$told"
    steps=$(steps_of "$told")
    case $steps in
    "open 2,open 0,baud 0,data 0,write 0,malformed 0" | \
        "open 2,open 0,baud 0,data 0,write 0,close 0,malformed 0") ;;
    *) return 1 ;;
    esac
    [ "$(run_field "$told" 1 3)" -ge 2 ] && [ "$(run_field "$told" 2 4)" -ge $((attach_ms - 10)) ] &&
        [ "$(run_field "$told" 3 6)" = 1200 ] &&
        [ "$(run_field "$told" 4 6-8)" = "8 0 2" ] &&
        [ "$(run_field "$told" 5 3)" -ge "$min_bytes" ] &&
        [ "$(run_field "$told" 5 6-11)" = "frames $(($(run_field "$told" 5 3) / 3)) $frames 80 40 C0" ] &&
        awk -v gap="$(run_field "$told" 5 13)" -v max="$max_gap" 'BEGIN { exit !(max == "" || gap <= max) }'
}

# Only failed open attempts, and at least a few of them.
only_failed_opens() {
    local told
    told=$(story "$1")
    [ "$(steps_of "$told")" = "open 2,malformed 0" ] && [ "$(run_field "$told" 1 3)" -ge 3 ]
}

# Unplugged while driving and back: frames, at most a frame of failed writes,
# the close, failed opens while it is away, then the open, the line set again
# and frames from rest, and the close at the end.
replug_trace_ok() {
    local told
    told=$(story "$1")
    echo "$told"
    [ "$(steps_of "$told")" = "open 0,baud 0,data 0,write 0,write 4,close 0,open 2,open 0,baud 0,data 0,write 0,close 0,malformed 0" ] &&
        [ "$(run_field "$told" 5 3)" -le 3 ] &&
        [ "$(run_field "$told" 11 9-11)" = "80 40 C0" ]
}

# The runs of rcdrive.exe go on side by side: each takes a few seconds.
runs_started=$SECONDS

# 1. The virtual transmitter "plugged in" 1.5 s after the first open attempt.
drive=$(in_folder drive "$build/rcdrive.exe" "$build/virtual-ftd2xx/FTD2XX.dll")
(cd "$drive" && RCDRIVE_SIM_ATTACH_AFTER_MS=1500 RCDRIVE_SIM_TRACE=trace.txt \
    exec "$wine" rcdrive.exe </dev/null >out.txt 2>err.txt) &
drive_pid=$!

# 2. No FTD2XX.dll anywhere: the driver is not installed. Load-time import
#    failures would show on wine's module channel.
nodll=$(in_folder nodll "$build/rcdrive.exe")
(cd "$nodll" && WINEDEBUG=-all,err+module exec "$wine" rcdrive.exe </dev/null >out.txt 2>err.txt) &
nodll_pid=$!

# 3. A setting the virtual DLL cannot take: it stays unplugged and says why.
badsetting=$(in_folder badsetting "$build/rcdrive.exe" "$build/virtual-ftd2xx/FTD2XX.dll")
(cd "$badsetting" && RCDRIVE_SIM_FIFO=lots RCDRIVE_SIM_TRACE=trace.txt \
    exec "$wine" rcdrive.exe </dev/null >out.txt 2>err.txt) &
badsetting_pid=$!

# 4. The virtual transmitter unplugged after 1 s and plugged in again at 2 s.
replug=$(in_folder replug "$build/rcdrive.exe" "$build/virtual-ftd2xx/FTD2XX.dll")
(cd "$replug" && RCDRIVE_SIM_UNPLUG_AFTER_MS=1000 RCDRIVE_SIM_REPLUG_AFTER_MS=2000 \
    RCDRIVE_SIM_TRACE=trace.txt exec "$wine" rcdrive.exe </dev/null >out.txt 2>err.txt) &
replug_pid=$!

# Meanwhile, the test programs. A test that hangs fails after a minute.

# run_test NAME FOLDER PROGRAM ARGUMENT...: runs a GoogleTest program there,
# with no keyboard; its output is shown if it fails.
run_test() {
    local name=$1 folder=$2 status
    shift 2
    (cd "$folder" && exec timeout -s KILL 60 "$wine" "$@") </dev/null >"$work/$name.txt" 2>&1
    status=$?
    grep -E '^\[(==========|  PASSED  )\]' "$work/$name.txt" | tail -n 1 | sed 's/^/  /'
    [ $status -eq 0 ] || cat "$work/$name.txt"
    return $status
}

check "link_tests.exe: transmitter link, pacer and clock" run_test link "$tests" link_tests.exe
check "console_tests.exe: no keyboard, no keys, no wait" run_test console "$tests" console_tests.exe

loader=$(in_folder loader-beside "$tests/d2xx_loader_test.exe" "$build/virtual-ftd2xx/FTD2XX.dll")
check "loader beside the virtual DLL: every call through its ordinal, popping its arguments, statuses passed on" \
    run_test loader-beside "$loader" d2xx_loader_test.exe --gtest_filter='LoaderBesideDll.*'
[ $bits = 32 ] || skip "the loader's calls popping their own arguments" "a question for 32-bit code alone; $said"

cp "$build/virtual-ftd2xx/FTD2XX.dll" "$work/good-FTD2XX.dll"
good_dll=$("$wine" winepath.exe -w "$work/good-FTD2XX.dll" 2>/dev/null)
for case in none not-a-dll incomplete; do
    folder=$(in_folder "loader-$case" "$tests/d2xx_loader_test.exe")
    case $case in
    not-a-dll) echo "not a DLL" >"$folder/FTD2XX.dll" ;;
    incomplete) cp "$tests/incomplete-ftd2xx/FTD2XX.dll" "$folder/" ;;
    esac
    check "loader with FTD2XX.dll $case: not found, nothing loaded, a DLL installed later is used" \
        run_test "loader-$case" "$folder" d2xx_loader_test.exe \
        --gtest_filter='LoaderWithoutDll.*' "--install=$good_dll"
done

sim=$(in_folder sim "$build/rcdrive-sim.exe")
(cd "$sim" && exec timeout -s KILL 60 "$wine" rcdrive-sim.exe --fifo 0 </dev/null >out.txt 2>err.txt)
sim_status=$?
check "rcdrive-sim.exe: a wrong option gives the usage and status 2" \
    eval '[ $sim_status -eq 2 ] && grep -q "^usage: rcdrive-sim" "$sim/err.txt"'

# Back to the rcdrive.exe runs: Ctrl+C (wine turns SIGINT into the console's
# Ctrl+C event) once each has run for a few seconds.
sleep $((4 - (SECONDS - runs_started) > 0 ? 4 - (SECONDS - runs_started) : 0))
for pid in $drive_pid $nodll_pid $badsetting_pid $replug_pid; do
    kill -0 $pid 2>/dev/null && kill -INT $pid
done
wait_for_exit $drive_pid 10
drive_status=$?
wait_for_exit $nodll_pid 10
nodll_status=$?
wait_for_exit $badsetting_pid 10
badsetting_status=$?
wait_for_exit $replug_pid 10
replug_status=$?

# The prompt is drawn at least once for each wait for the transmitter.
check "rcdrive.exe, late transmitter: prompts while it is absent" \
    [ "$(count 'Pripojte vysilac na USB' "$drive/out.txt")" -ge 1 ]
check "rcdrive.exe, late transmitter: line set once, rest frames stream without a keyboard" \
    drive_trace_ok "$drive/trace.txt" 1500 60
check "rcdrive.exe, late transmitter: Ctrl+C ends it with the close, status 0xC000013A" \
    eval '[ $drive_status -eq $ctrl_c_exit ] && tail -n 1 "$drive/trace.txt" | grep -q " close 0$" &&
          [ "$(tail -c 7 "$drive/out.txt")" = "$(printf "Close\r\n")" ]'

check "rcdrive.exe, no FTD2XX.dll: prompts, and no loader error" \
    eval '[ "$(count "Pripojte vysilac na USB" "$nodll/out.txt")" -ge 1 ] &&
          ! grep -q "err:module" "$nodll/err.txt"'
check "rcdrive.exe, no FTD2XX.dll: Ctrl+C ends the wait, status 0xC000013A; into a file, no clear" \
    eval '[ $nodll_status -eq $ctrl_c_exit ] &&
          [ "$(sed "s/Pripojte vysilac na USB//g" "$nodll/out.txt")" = "$(printf "Close\r")" ]'
[ -s "$nodll/err.txt" ] && sed 's/^/  stderr: /' "$nodll/err.txt" | head -n 5

check "virtual FTD2XX.dll, RCDRIVE_SIM_FIFO=lots: stays unplugged and says why" \
    eval 'grep -q "RCDRIVE_SIM_FIFO=\"lots\" is not a whole number" "$badsetting/err.txt" &&
          only_failed_opens "$badsetting/trace.txt" && [ $badsetting_status -eq $ctrl_c_exit ]'

check "rcdrive.exe, unplugged and back: the writes fail, it closes, prompts and drives again from rest" \
    eval 'replug_trace_ok "$replug/trace.txt" && [ $replug_status -eq $ctrl_c_exit ] &&
          [ "$(count "Pripojte vysilac na USB" "$replug/out.txt")" -ge 2 ]'

# 5. Typed at in a tmux pane, whose terminal wine makes the console: ten keys
#    0.6 s apart (H and K: Up and Left), then q; alone, so that no other run
#    takes the processor. Wine's console spends a few hundred ms on its first
#    input, once: x, which rcdrive ignores, goes in before the line starts.
tmux_do() { tmux -S "$tmux_socket" -f /dev/null "$@"; }
pane() { tmux_do capture-pane -p -t typed; }
until_true() { for _ in $(seq 200); do "$@" && return; sleep 0.1; done; false; }

typed=$(in_folder typed "$build/rcdrive.exe" "$build/virtual-ftd2xx/FTD2XX.dll")
tmux_do new-session -d -s typed -x 80 -y 25 "cd '$typed' && RCDRIVE_SIM_ATTACH_AFTER_MS=2000 \
    RCDRIVE_SIM_TRACE=trace.txt '$wine' rcdrive.exe; echo \$? >status.txt"
until_true eval 'pane | grep -q "Pripojte vysilac na USB"' && tmux_do send-keys -t typed x
until_true eval 'pane | grep -q "Stuj: 0, Nenatoceno: 0"'
for key in H K H K H K H K H K; do
    tmux_do send-keys -t typed $key
    sleep 0.6
done
typed_screen=$(pane | grep -v '^$')
tmux_do send-keys -t typed q
until_true test -s "$typed/status.txt"

check "rcdrive.exe typed at: each status line on a cleared screen" \
    eval 'echo "$typed_screen"; [ "$typed_screen" = " Vpred: 5, Vlevo: 5" ]'
check "rcdrive.exe typed at: no byte on the line waits over 60 ms for the screen; q, status 0" \
    eval 'drive_trace_ok "$typed/trace.txt" 2000 60 first 60 && [ "$(cat "$typed/status.txt")" = 0 ]'

echo "wine tests took $((SECONDS - start_seconds)) s"
finish_checks
