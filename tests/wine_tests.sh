#!/usr/bin/env bash
# The Windows programs under Wine (32-bit, on qemu where the kernel cannot run 32-bit code):
#   wine_tests.sh WINDOWS-BUILD LINUX-BUILD
# The Linux build brings the frame maker, the window closer and the Linux test program, whose
# display the Windows one must match byte for byte.
set -u
win=$(cd "$1" && pwd) linux=$(cd "$2" && pwd)
work=$(mktemp -d)
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX=$win/wine-prefix
passed=0 failed=0 pid= xvfb=
cleanup() {
    [ -n "$pid" ] && kill $pid 2>/dev/null
    wineserver -k 2>/dev/null
    [ -n "$xvfb" ] && kill $xvfb 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

check() {  # check NAME CONDITION-STATUS
    if [ "$2" -eq 0 ]; then
        passed=$((passed + 1))
        echo "ok: $1"
    else
        failed=$((failed + 1))
        echo "FAILED: $1"
    fi
}

# Our own X server; wine's output goes to files (its background processes hold pipes open).
for n in $(seq 191 240); do
    [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ] && continue
    Xvfb :$n -screen 0 1024x768x24 -noreset -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    export DISPLAY=:$n
    break
done
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix"
    wine wineboot --init >"$work/wineboot.log" 2>&1
    timeout 300 wineserver -w
fi
wineserver -p 2>/dev/null  # keep it warm between the programs

# start EXE [ENV=VALUE...]: runs a Windows program in the background.
start() {
    local exe=$1
    shift
    (cd "$(dirname "$exe")" && env "$@" wine "$exe" >"$work/out" 2>"$work/err"; echo $? >"$work/status") &
    pid=$!
    rm -f "$work/status"
}

# finish SECONDS: waits for it to end; its exit status in $status.
finish() {
    for _ in $(seq $(($1 * 10))); do
        [ -f "$work/status" ] && break
        sleep 0.1
    done
    status=$(cat "$work/status" 2>/dev/null || echo timeout)
    pid=
}

# window_of SECONDS GEOMETRY-TEST: the id of a window titled Quiltcam whose geometry matches.
window_of() {
    local seconds=$1 want=$2 id geometry
    for _ in $(seq $((seconds * 5))); do
        for id in $(xdotool search --name '^Quiltcam$' 2>/dev/null); do
            geometry=$(xdotool getwindowgeometry "$id" 2>/dev/null | awk '/Geometry/ {print $2}')
            case $want in
            640x480) [ "$geometry" = 640x480 ] && { echo "$id"; return 0; } ;;
            box) [ -n "$geometry" ] && [ "$geometry" != 640x480 ] && [ "$geometry" != 1024x768 ] && { echo "$id"; return 0; } ;;
            esac
        done
        sleep 0.2
    done
    return 1
}

frames=$work/frames.raw
"$linux/tests/make-frames" scene 8 "$frames"

# The real programs: Wine has no camera, so each shows its window, then the message box.
for program in quiltcam quiltcam-fullscreen; do
    rm -f "$win/stderr.txt"
    start "$win/$program.exe"
    if [ $program = quiltcam ]; then
        window=$(window_of 180 640x480)
        check "$program: a window titled Quiltcam at 640 x 480" $?
    fi
    box=$(window_of 180 box)
    check "$program: the no-camera message box appears" $?
    sleep 1
    xwd -root -silent >"$work/$program-box.xwd" 2>/dev/null
    [ -n "$box" ] && { xdotool windowfocus "$box" 2>/dev/null; xdotool key --window "$box" Return; }
    finish 60
    check "$program: exit status 1 with no camera (was $status)" $([ "$status" = 1 ]; echo $?)
    tr -d '\r' <"$win/stderr.txt" | grep -qx "$program: no video capture device found"
    check "$program: the message in stderr.txt" $?
done

# The test program: the same display as on Linux, byte for byte.
for kind in scene random; do
    [ $kind = random ] && "$linux/tests/make-frames" random 5 11 "$frames"
    SDL_VIDEODRIVER=dummy QUILTCAM_TEST_FRAMES="$frames" QUILTCAM_TEST_DUMP="$work/linux.ppm" \
        "$linux/tests/quiltcam-testcam" 2>/dev/null
    start "$win/tests/windows/quiltcam-testcam.exe" QUILTCAM_TEST_FRAMES="Z:$frames" QUILTCAM_TEST_DUMP="Z:$work/windows.ppm"
    finish 180
    check "test program ($kind): exit status 0 after the dump (was $status)" $([ "$status" = 0 ]; echo $?)
    cmp -s "$work/linux.ppm" "$work/windows.ppm"
    check "test program ($kind): the display is byte-identical to Linux's" $?
done

# ...and it ends with status 0 on a key press and on the window's close.
for how in key close; do
    start "$win/tests/windows/quiltcam-testcam.exe" QUILTCAM_TEST_FRAMES="Z:$frames"
    window=$(window_of 180 640x480)
    sleep 1
    if [ $how = key ]; then
        xdotool windowfocus "$window" 2>/dev/null
        xdotool key --window "$window" q
    else
        "$linux/tests/close-window" "$window"
    fi
    finish 60
    check "test program: exit status 0 on $how (was $status)" $([ "$status" = 0 ]; echo $?)
done

# pinOf, findPin and connectFilters against Wine's own filters.
start "$win/tests/windows/quiltcam-wine-pins.exe"
finish 120
sed 's/^/  /' "$work/out"
check "pin look-ups against Wine's sample grabber and null renderer (exit $status)" $([ "$status" = 0 ]; echo $?)

echo "wine: $passed passed, $failed failed"
[ $failed -eq 0 ]
