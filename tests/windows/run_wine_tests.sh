#!/bin/bash
# The Windows programs and their tests: the build checked without running
# it, then under wine the test programs, the FTD2XX.dll loader with and
# without a usable DLL, rcdrive-sim.exe's options, and rcdrive.exe with a
# late, a missing and an unplugged transmitter, a setting the virtual DLL
# cannot take, writes that block, take nothing or fail, Ctrl+C, keys typed
# into a console window, and output to a pipe nobody reads.
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

# PE32, and every DLL imported at load time one that comes with Windows.
windows_pe32() {
    local name ok=0
    $objdump -f "$1" | grep -q "format pei-i386$" || return 1
    for name in $($objdump -p "$1" | awk '/DLL Name:/ {print $3}'); do
        case ${name,,} in
        kernel32.dll | msvcrt.dll | winmm.dll | user32.dll | advapi32.dll) ;;
        *) echo "  $1 imports $name" && ok=1 ;;
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
    echo "$dump" | grep -q '\[Name Pointer/Ordinal\] Table[[:space:]]*00000000' ||
        { echo "  the DLL exports names" && return 1; }
}

for file in rcdrive.exe rcdrive-sim.exe virtual-ftd2xx/FTD2XX.dll; do
    check "$file is PE32 and needs only DLLs of Windows itself" windows_pe32 "$build/$file"
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
dll=$build/virtual-ftd2xx/FTD2XX.dll

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

# in_folder NAME FILE...: a fresh folder $work/NAME holding copies of the files.
in_folder() {
    mkdir -p "$work/$1"
    cp "${@:2}" "$work/$1/"
    echo "$work/$1"
}

# wait_for_exit PID SECONDS: its exit status, or 255 (and it is killed) if it
# is still running then.
wait_for_exit() {
    local tenths=$(($2 * 10))
    while kill -0 "$1" 2>/dev/null && ((tenths-- > 0)); do sleep 0.1; done
    kill -KILL "$1" 2>/dev/null && { wait "$1" 2>/dev/null; return 255; }
    wait "$1"
}

# prompts RUN: how often rcdrive.exe asked for the transmitter in RUN's output.
prompt="Pripojte vysilac na USB"
prompts() { grep -o "$prompt" "$work/$1/out.txt" | wc -l; }

# story_is TRACE RUN...: what trace_story.exe tells of the trace is these runs
# of records, one a line, in order; each is matched word by word from its
# start: * takes any word, >=N and <=N a number within the bound, any other
# word itself.
story_is() {
    local told
    told=$(cd "$tests" && "$wine" trace_story.exe "Z:${1//\//\\}" 2>/dev/null | tr -d '\r')
    echo "$told"
    shift
    awk -v want="$(printf '%s\n' "$@")" '
        function fits(line, pattern,   got, word, i, n) {
            split(line, got, " ")
            n = split(pattern, word, " ")
            for (i = 1; i <= n; i++)
                if (word[i] != "*" && word[i] != got[i] &&
                    !(word[i] ~ /^>=/ && got[i] + 0 >= substr(word[i], 3) + 0) &&
                    !(word[i] ~ /^<=/ && got[i] + 0 <= substr(word[i], 3) + 0))
                    return 0
            return 1
        }
        BEGIN { runs = split(want, wanted, "\n") }
        { fitting += NR <= runs && fits($0, wanted[NR]) }
        END { exit !(NR == runs && fitting == runs) }' <<<"$told"
}

# drive_story_is TRACE ATTACH_MS only|first GAP: a run that found the
# transmitter only after failed opens for about ATTACH_MS (the DLL's clock
# starts at its load, up to 10 ms before the first attempt): the line set
# once to 1200 8E1, at least 60 bytes of whole frames, only (or first) rest
# frames, the longest time between bytes' starts matching GAP, and the close.
drive_story_is() {
    story_is "$1" 'open 2 >=2' "open 0 * >=$(($2 - 10))" 'baud 0 * * * 1200' \
        'data 0 * * * 8 0 2' "write 0 >=60 * * frames * $3 80 40 C0 gap $4" 'close 0' 'malformed 0'
}

# The runs of rcdrive.exe, each in a folder of its own, with no keyboard and
# the virtual DLL's trace in trace.txt, go on side by side for a few seconds:
#   drive       the virtual transmitter plugged in 1.5 s after the first open attempt
#   nodll       no FTD2XX.dll anywhere; load-time import failures would show
#               on wine's module channel
#   badsetting  a setting the virtual DLL cannot take: it stays unplugged and says why
#   replug      the virtual transmitter unplugged after 1 s and plugged in again at 2 s
#   stall5      from 1 s on, a write blocks for 5 s
#   stuck       from 1 s on, a write blocks for good
declare -A pid status=()
start_rcdrive() { # NAME DLL|"" VARIABLE=VALUE...
    local folder
    folder=$(in_folder "$1" "$build/rcdrive.exe" ${2:+"$2"})
    (cd "$folder" && exec env RCDRIVE_SIM_TRACE=trace.txt "${@:3}" "$wine" rcdrive.exe \
        </dev/null >out.txt 2>err.txt) &
    pid[$1]=$!
}
runs_started=$SECONDS
start_rcdrive drive "$dll" RCDRIVE_SIM_ATTACH_AFTER_MS=1500
start_rcdrive nodll "" WINEDEBUG=-all,err+module
start_rcdrive badsetting "$dll" RCDRIVE_SIM_FIFO=lots
start_rcdrive replug "$dll" RCDRIVE_SIM_UNPLUG_AFTER_MS=1000 RCDRIVE_SIM_REPLUG_AFTER_MS=2000
block_after_1s="RCDRIVE_SIM_WRITE_FAULT=block RCDRIVE_SIM_WRITE_FAULT_AFTER_MS=1000"
start_rcdrive stall5 "$dll" $block_after_1s RCDRIVE_SIM_WRITE_BLOCK_MS=5000
start_rcdrive stuck "$dll" $block_after_1s

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

loader=$(in_folder loader-beside "$tests/d2xx_loader_test.exe" "$dll")
check "loader beside the virtual DLL: every call through its ordinal, popping its arguments, statuses passed on" \
    run_test loader-beside "$loader" d2xx_loader_test.exe --gtest_filter='LoaderBesideDll.*'
[ $bits = 32 ] || skip "the loader's calls popping their own arguments" "a question for 32-bit code alone; $said"

cp "$dll" "$work/good-FTD2XX.dll"
RCDRIVE_TEST_INSTALL_DLL=$("$wine" winepath.exe -w "$work/good-FTD2XX.dll" 2>/dev/null)
export RCDRIVE_TEST_INSTALL_DLL
for case in none not-a-dll incomplete; do
    folder=$(in_folder "loader-$case" "$tests/d2xx_loader_test.exe")
    case $case in
    not-a-dll) echo "not a DLL" >"$folder/FTD2XX.dll" ;;
    incomplete) cp "$tests/incomplete-ftd2xx/FTD2XX.dll" "$folder/" ;;
    esac
    check "loader with FTD2XX.dll $case: not found, nothing loaded, a DLL installed later is used" \
        run_test "loader-$case" "$folder" d2xx_loader_test.exe --gtest_filter='LoaderWithoutDll.*'
done

sim=$(in_folder sim "$build/rcdrive-sim.exe")
(cd "$sim" && exec timeout -s KILL 60 "$wine" rcdrive-sim.exe --fifo 0 </dev/null >out.txt 2>err.txt)
sim_status=$?
check "rcdrive-sim.exe: a wrong option gives the usage and status 2" \
    eval '[ $sim_status -eq 2 ] && grep -q "^usage: rcdrive-sim" "$sim/err.txt"'

# A second run on the trace another run writes: refused by the share mode,
# before the trace is emptied.
(cd "$sim" && exec timeout -s KILL 60 "$wine" rcdrive-sim.exe --trace trace.txt </dev/null \
    >first.txt 2>&1) &
first_sim=$!
for _ in $(seq 100); do [ -s "$sim/trace.txt" ] && break; sleep 0.1; done
(cd "$sim" && exec timeout -s KILL 60 "$wine" rcdrive-sim.exe --trace trace.txt </dev/null \
    >out.txt 2>err.txt)
second_status=$?
kept=$(head -c 40 "$sim/trace.txt")
kill -INT $first_sim
wait $first_sim
check "rcdrive-sim.exe: a trace another run writes is refused, status 2, and kept" \
    eval '[ $second_status -eq 2 ] && grep -q "trace.txt is being written by another run" "$sim/err.txt" &&
          [ "$(head -c 40 "$sim/trace.txt")" = "$kept" ] && [ -n "$kept" ]'

# Back to the rcdrive.exe runs: Ctrl+C (wine turns SIGINT into the console's
# Ctrl+C event) once each has run for a few seconds. Windows reports
# 0xC000013A for a program ended by Ctrl+C; wine passes on its low byte.
ctrl_c_exit=$((0xC000013A & 0xFF))
sleep $((4 - (SECONDS - runs_started) > 0 ? 4 - (SECONDS - runs_started) : 0))
for run in "${!pid[@]}"; do
    kill -0 "${pid[$run]}" 2>/dev/null && kill -INT "${pid[$run]}"
done
# Those with a blocked write first: each has a second to end.
for run in stall5 stuck "${!pid[@]}"; do
    [ -n "${status[$run]:-}" ] && continue
    wait_for_exit "${pid[$run]}" $([[ $run = st* ]] && echo 1 || echo 10)
    status[$run]=$?
done

# The prompt is drawn at least once for each wait for the transmitter.
check "rcdrive.exe, late transmitter: prompts while it is absent" \
    [ "$(prompts drive)" -ge 1 ]
check "rcdrive.exe, late transmitter: line set once, rest frames stream without a keyboard, the close last" \
    drive_story_is "$work/drive/trace.txt" 1500 only '*'
check "rcdrive.exe, late transmitter: Ctrl+C ends it, status 0xC000013A" \
    eval '[ ${status[drive]} -eq $ctrl_c_exit ] && [ "$(tail -c 7 "$work/drive/out.txt")" = "$(printf "Close\r\n")" ]'

dll_missing="FTD2XX.dll not found: install the transmitter's D2XX driver (FTDI)"
check "rcdrive.exe, no FTD2XX.dll: prompts and says under it that the driver is missing, no loader error" \
    eval '[ "$(prompts nodll)" -ge 1 ] && [ "$(grep -cF "$dll_missing" "$work/nodll/out.txt")" = 1 ] &&
          ! grep -q "err:module" "$work/nodll/err.txt"'
check "rcdrive.exe, no FTD2XX.dll: Ctrl+C ends the wait, status 0xC000013A; into a file, no clear" \
    eval '[ ${status[nodll]} -eq $ctrl_c_exit ] &&
          [ "$(sed "s/$prompt//g; s/$dll_missing//g" "$work/nodll/out.txt" | tr -d "\r\n")" = Close ]'
[ -s "$work/nodll/err.txt" ] && sed 's/^/  stderr: /' "$work/nodll/err.txt" | head -n 5

check "virtual FTD2XX.dll, RCDRIVE_SIM_FIFO=lots: stays unplugged and says why" \
    eval 'grep -q "RCDRIVE_SIM_FIFO=lots: must be a whole number from 1 to 1048576" "$work/badsetting/err.txt" &&
          story_is "$work/badsetting/trace.txt" "open 2 >=3" "malformed 0" && [ ${status[badsetting]} -eq $ctrl_c_exit ]'

# Unplugged while driving and back: at most a frame of failed writes, the
# close, failed opens while it is away, then the line set again and frames
# from rest.
check "rcdrive.exe, unplugged and back: the writes fail, it closes, prompts and drives again from rest" \
    eval 'story_is "$work/replug/trace.txt" "open 0" "baud 0" "data 0" "write 0" "write 4 <=3" "close 0" \
              "open 2" "open 0" "baud 0" "data 0" "write 0 * * * frames * * 80 40 C0" "close 0" "malformed 0" &&
          [ ${status[replug]} -eq $ctrl_c_exit ] && [ "$(prompts replug)" -ge 2 ]'

# A write that blocks holds none of the ways out: Ctrl+C ends the run within
# a second, with the console's status and "Close", and no other call reached
# the DLL beside the write (no close, no open).
for run in stall5 stuck; do
    check "rcdrive.exe, $run: Ctrl+C during the blocked write ends it within 1 s, status 0xC000013A" \
        eval '[ ${status[$run]} -eq $ctrl_c_exit ] &&
              [ "$(tail -c 7 "$work/$run/out.txt")" = "$(printf "Close\r\n")" ] &&
              story_is "$work/$run/trace.txt" "open 0" "baud 0" "data 0" "write 0" "malformed 0"'
done

# Typed at in tmux panes, whose terminals wine makes the consoles. Wine's
# console spends a few hundred ms on its first input, once: x, which rcdrive
# ignores, goes in at the prompt, before the line starts.
tmux_do() { tmux -S "$tmux_socket" -f /dev/null "$@"; }
pane() { tmux_do capture-pane -p -t "$1"; }
until_true() { for _ in $(seq 200); do "$@" && return; sleep 0.1; done; false; }
shows() { pane "$1" | grep -q "$2"; }

# start_typed NAME REDIRECTION VARIABLE=VALUE...: rcdrive.exe beside the
# virtual DLL in a pane of its own, its trace in trace.txt and its exit
# status in status.txt.
start_typed() {
    local folder
    folder=$(in_folder "$1" "$build/rcdrive.exe" "$dll")
    tmux_do new-session -d -s "$1" -x 80 -y 25 "cd '$folder' && env RCDRIVE_SIM_TRACE=trace.txt \
        ${*:3} '$wine' rcdrive.exe $2; echo \$? >status.txt"
}

# quit_ms NAME: types q and says how many ms passed until the run had ended.
quit_ms() {
    local sent
    sent=$(date +%s%N)
    tmux_do send-keys -t "$1" q
    until_true test -s "$work/$1/status.txt"
    echo $((($(date +%s%N) - sent) / 1000000)) >"$work/$1/quit_ms.txt"
}

# Ten keys 0.6 s apart, the arrows and H and K (Up and Left), each acting at
# once on the screen and on the line, then PgDn: STOP, rest, status 0. Alone,
# so that no other run takes the processor.
start_typed typed "" RCDRIVE_SIM_ATTACH_AFTER_MS=2000
typed=$work/typed
tmux_do pipe-pane -t typed "cat >'$typed/pane.txt'"
until_true shows typed "$prompt" && tmux_do send-keys -t typed x
until_true shows typed "Stuj: 0, Nenatoceno: 0"
typed_screens=""
for key in Up Up Up Left Left Right Down K H Left; do
    tmux_do send-keys -t typed $key
    sleep 0.6
    typed_screens+="$(pane typed | grep -v '^$')|"
done
tmux_do send-keys -t typed NPage
until_true test -s "$typed/status.txt"
typed_path=$(cd "$tests" && "$wine" trace_story.exe "Z:${typed//\//\\}\\trace.txt" 2>/dev/null |
    sed -n 's/^write 0 .* path //p' | tr -d '\r')

check "rcdrive.exe typed at: each key's status line within 0.6 s, on a cleared screen" \
    eval 'echo "$typed_screens"; [ "$typed_screens" = "$(printf "%s|" " Vpred: "{1,2,3}", Nenatoceno: 0" \
          " Vpred: 3, Vlevo: "{1,2,1} " Vpred: 2, Vlevo: "{1,2} " Vpred: 3, Vlevo: "{2,3})" ]'
check "rcdrive.exe typed at: each key's frame on the line, PgDn's rest last" \
    eval 'echo "$typed_path"; [ "$typed_path" = "8040 A140 A240 A340 A361 A362 A361 A261 A262 A362 A363 8040" ]'
check "rcdrive.exe typed at: no byte on the line waits over 60 ms for the screen; PgDn, STOP, status 0" \
    eval 'drive_story_is "$typed/trace.txt" 2000 first "<=60" && grep -aq STOP "$typed/pane.txt" &&
          [ "$(cat "$typed/status.txt")" = 0 ]'

# Side by side, each driving forward (H) from 1 s until, at 3 s, a write
# blocks for 5 s or for good, or from the start writes take nothing or fail.
# The prompt comes back; Esc and q are typed at it.
faults=(stall5 stuck nothing fail)
start_typed typed-stall5 "" RCDRIVE_SIM_ATTACH_AFTER_MS=1000 RCDRIVE_SIM_WRITE_FAULT=block \
    RCDRIVE_SIM_WRITE_FAULT_AFTER_MS=3000 RCDRIVE_SIM_WRITE_BLOCK_MS=5000
start_typed typed-stuck "" RCDRIVE_SIM_ATTACH_AFTER_MS=1000 RCDRIVE_SIM_WRITE_FAULT=block \
    RCDRIVE_SIM_WRITE_FAULT_AFTER_MS=3000
start_typed typed-nothing "" RCDRIVE_SIM_ATTACH_AFTER_MS=1000 RCDRIVE_SIM_WRITE_FAULT=nothing
start_typed typed-fail "" RCDRIVE_SIM_ATTACH_AFTER_MS=1000 RCDRIVE_SIM_WRITE_FAULT=fail
for fault in "${faults[@]}"; do
    (
        run=typed-$fault
        until_true shows $run "$prompt" && tmux_do send-keys -t $run x
        case $fault in
        stall5 | stuck)
            until_true shows $run "Stuj: 0" && tmux_do send-keys -t $run H
            until_true shows $run "$prompt" && tmux_do send-keys -t $run Escape
            ;;
        *) sleep 1.5 ;;
        esac
        # After the 5 s stall it drives again, from rest, before q.
        [ $fault = stall5 ] && until_true shows $run "Stuj: 0"
        sleep 0.5
        quit_ms $run
    ) &
done
wait
for fault in "${faults[@]}"; do
    run=typed-$fault
    check "rcdrive.exe, write fault $fault: q ends it within 1 s ($(cat "$work/$run/quit_ms.txt") ms), status 0" \
        eval '[ "$(cat "$work/$run/quit_ms.txt")" -le 1000 ] && [ "$(cat "$work/$run/status.txt")" = 0 ]'
done
# The byte that blocked went out 5 s late (the writes from 1 s on span 7 s),
# the close only after it (at 8 s), and no open beside it; then the line set
# again and rest frames only.
check "rcdrive.exe, a write blocked for 5 s: its byte late, then the close and rest frames only" \
    story_is "$work/typed-stall5/trace.txt" "open 2" "open 0" "baud 0" "data 0" \
    "write 0 * * >=6000" "close 0 * >=7900" "open 0" "baud 0" "data 0" \
    "write 0 * * * frames * only 80 40 C0" "close 0" "malformed 0"
check "rcdrive.exe, a write blocked for good: no other call reaches the DLL after it" \
    story_is "$work/typed-stuck/trace.txt" "open 2" "open 0" "baud 0" "data 0" "write 0" "malformed 0"

# Standard output a pipe that is full and that nobody reads: the line goes
# on, H drives forward, and q ends it.
mkfifo "$work/full"
exec {held}<>"$work/full"
dd if=/dev/zero of="$work/full" bs=4096 count=64 oflag=nonblock 2>/dev/null
start_typed piped ">'$work/full'" RCDRIVE_SIM_ATTACH_AFTER_MS=1000
sleep 0.5 && tmux_do send-keys -t piped x
until_true grep -q write "$work/piped/trace.txt" && tmux_do send-keys -t piped H
sleep 1
quit_ms piped
exec {held}>&-
check "rcdrive.exe, output to a full pipe: no byte on the line waits over 60 ms; H drives; q within 1 s ($(cat "$work/piped/quit_ms.txt") ms), status 0" \
    eval 'drive_story_is "$work/piped/trace.txt" 1000 first "<=60" &&
          [ "$(cat "$work/piped/quit_ms.txt")" -le 1000 ] && [ "$(cat "$work/piped/status.txt")" = 0 ]'

# A gamepad through winmm, stood in for by a winmm.dll whose joystick the
# script moves through a file: found at start, it drives only while a
# shoulder button (5 or 6) is held; full up is forward 9, full right right 9,
# centred rest; letting go rests, the other button takes over at once, and a
# pad gone while held rests. Plugged in again, held, it is found within
# about a second and drives at once. Ctrl+C leaves the rest frame last.
padded=$(in_folder padded "$build/rcdrive-sim.exe" "$tests/fake-winmm/winmm.dll")
# Each state whole: the stand-in reads the file at every poll.
pad() { echo "$1" >"$padded/pad.new" && mv "$padded/pad.new" "$padded/pad.txt"; sleep 0.4; }
pad "32767 32767 0"
(cd "$padded" && exec env RCDRIVE_TEST_PAD="$("$wine" winepath.exe -w "$padded/pad.txt" 2>/dev/null)" \
    WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winmm=n" "$wine" rcdrive-sim.exe --trace trace.txt \
    </dev/null >out.txt 2>err.txt) &
padded_pid=$!
until_true grep -q write "$padded/trace.txt"
for state in "32767 0 0" "32767 0 16" "65535 0 16" "32767 32767 16" "32767 0 16" "32767 0 0" \
    "32767 0 32" none; do
    pad "$state"
done
pad "32767 0 32"
sleep 1.2
kill -INT $padded_pid
wait_for_exit $padded_pid 10
padded_path=$(cd "$tests" && "$wine" trace_story.exe "Z:${padded//\//\\}\\trace.txt" 2>/dev/null |
    sed -n 's/^write 0 .* path //p' | tr -d '\r')
check "rcdrive-sim.exe with a gamepad: the stick only with a shoulder button held, rest on letting go and when it is gone, the rest frame last" \
    eval 'echo "$padded_path"; [ "$padded_path" = "8040 A940 A959 8040 A940 8040 A940 8040 A940 8040" ]'

echo "wine tests took $((SECONDS - start_seconds)) s"
finish_checks
