#!/usr/bin/env bash
# The real programs under Xvfb: program_tests.sh CASE.
# BIN: the build folder; TESTBIN: its tests folder; XVFB_DIR: where xvfb.sh left the display.
set -u
SUPPORT=$(cd "$(dirname "$0")/support" && pwd)
case=$1
work=$(mktemp -d)
trap 'kill $pid $wm 2>/dev/null; rm -rf "$work"' EXIT
pid= wm=
export DISPLAY=$(cat "$XVFB_DIR/display")
export SDL_VIDEODRIVER=x11

fail() {
    echo "FAIL ($case): $*" >&2
    [ -s "$work/stderr" ] && sed 's/^/  program: /' "$work/stderr" >&2
    exit 1
}

# start PROGRAM [ENV=VALUE...]: runs a program in the background and waits for its window.
start() {
    local program=$1
    shift
    env "$@" "$program" 2>"$work/stderr" &
    pid=$!
    wid=
    for _ in $(seq 150); do
        wid=$(xdotool search --name '^Quiltcam$' 2>/dev/null | head -n 1)
        [ -n "$wid" ] && return 0
        kill -0 $pid 2>/dev/null || fail "the program ended before its window appeared"
        sleep 0.1
    done
    fail "no window titled Quiltcam"
}

# finish SECONDS: waits for the program to end and leaves its status in $status.
finish() {
    for _ in $(seq $(($1 * 10))); do
        if ! kill -0 $pid 2>/dev/null; then
            wait $pid
            status=$?
            pid=
            return 0
        fi
        sleep 0.1
    done
    fail "the program is still running after $1 s"
}

still_running() { sleep "$1"; kill -0 $pid 2>/dev/null || fail "the program ended on its own"; }

focus() { xdotool windowfocus --sync "$wid" 2>/dev/null || xdotool windowfocus "$wid"; }

frames="$work/frames.raw"
"$TESTBIN/make-frames" scene 8 "$frames" || fail "cannot make frames"
testcam="$TESTBIN/quiltcam-testcam"

case $case in
key_press_exits)
    start "$testcam" QUILTCAM_TEST_FRAMES="$frames"
    focus
    xdotool key q
    finish 10
    [ $status -eq 0 ] || fail "exit status $status after a key press"
    ;;
key_release_alone_does_not)
    start "$testcam" QUILTCAM_TEST_FRAMES="$frames"
    focus
    xdotool keyup q
    still_running 1
    xdotool key Escape
    finish 10
    [ $status -eq 0 ] || fail "exit status $status after Escape"
    ;;
window_close_exits)
    start "$testcam" QUILTCAM_TEST_FRAMES="$frames"
    "$TESTBIN/close-window" "$wid" || fail "cannot send WM_DELETE_WINDOW"
    finish 10
    [ $status -eq 0 ] || fail "exit status $status after the window was closed"
    ;;
mouse_burst_keeps_rendering)
    start "$testcam" QUILTCAM_TEST_FRAMES="$frames" QUILTCAM_TEST_REPORT="$work/report"
    focus
    for i in $(seq 100); do xdotool mousemove --window "$wid" $((i % 50 + 10)) $((i % 30 + 10)); done
    still_running 0.5
    xdotool key space
    finish 10
    [ $status -eq 0 ] || fail "exit status $status"
    passes=$(awk '/^passes/ {print $2}' "$work/report")
    [ "${passes:-0}" -ge 100 ] || fail "only ${passes:-0} passes for 100 mouse events"
    ;;
fullscreen_starts_fullscreen)
    # sdl12-compat goes full screen only under a window manager; classic SDL only without one.
    if [ "$SDL_FLAVOUR" = compat ]; then
        matchbox-window-manager -use_titlebar no >/dev/null 2>&1 &
        wm=$!
        sleep 0.5
    fi
    start "$TESTBIN/quiltcam-testcam-fullscreen" QUILTCAM_TEST_FRAMES="$frames" QUILTCAM_TEST_REPORT="$work/report"
    sleep 0.5
    geometry=$(xdotool getwindowgeometry "$wid" | awk '/Geometry/ {print $2}')
    focus
    xdotool key q
    finish 10
    [ $status -eq 0 ] || fail "exit status $status"
    grep -q '^fullscreen 1$' "$work/report" || fail "the display is not full screen: $(cat "$work/report")"
    [ "$geometry" = 1024x768 ] || [ "$geometry" = 640x480 ] || fail "window geometry $geometry"
    ;;
dump_matches_reference)
    for kind in scene random; do
        if [ $kind = random ]; then "$TESTBIN/make-frames" random 5 11 "$frames"; fi
        "$TESTBIN/make-frames" expect "$frames" "$work/expected.ppm" || fail "cannot work out the reference"
        for driver in x11 dummy; do
            SDL_VIDEODRIVER=$driver QUILTCAM_TEST_FRAMES="$frames" QUILTCAM_TEST_DUMP="$work/shown.ppm" \
                timeout 30 "$testcam" 2>"$work/stderr"
            status=$?
            [ $status -eq 0 ] || fail "exit status $status ($kind, $driver)"
            cmp "$work/expected.ppm" "$work/shown.ppm" || fail "the display differs from the reference ($kind, $driver)"
        done
    done
    ;;
no_camera_shown_in_window)
    # Started with no terminal (from a menu): the line on standard error, and the same line in
    # the program's own window, read back off a screenshot by OCR; a key closes it, status 1.
    ls /dev/video* >/dev/null 2>&1 && { echo "this machine has a camera"; exit 77; }
    start "$BIN/quiltcam"
    sleep 1
    xwd -id "$wid" -silent | "$SUPPORT/xwd_to_ppm.py" --invert | tesseract - - 2>/dev/null >"$work/seen"
    focus
    xdotool key q
    finish 10
    [ $status -eq 1 ] || fail "exit status $status with no camera"
    [ "$(cat "$work/stderr")" = "quiltcam: no video capture device found" ] || fail "message: $(cat "$work/stderr")"
    grep -qx "quiltcam: no video capture device found" "$work/seen" || fail "the window shows: $(cat "$work/seen")"
    ;;
no_camera_on_terminal)
    # Started from a terminal: only the line, and at once.
    ls /dev/video* >/dev/null 2>&1 && { echo "this machine has a camera"; exit 77; }
    timeout 10 script -qec "$BIN/quiltcam" /dev/null >"$work/terminal"
    status=$?
    [ $status -eq 1 ] || fail "exit status $status with no camera"
    [ "$(tr -d '\r' <"$work/terminal")" = "quiltcam: no video capture device found" ] || fail "terminal: $(cat "$work/terminal")"
    ;;
display_failure_exits_1)
    env -u DISPLAY SDL_VIDEODRIVER=x11 timeout 30 "$BIN/quiltcam" 2>"$work/stderr"
    status=$?
    [ $status -eq 1 ] || fail "exit status $status with no display"
    [ "$(wc -l <"$work/stderr")" -eq 1 ] && grep -q '^quiltcam: ' "$work/stderr" || fail "message: $(cat "$work/stderr")"
    ;;
soak)
    # A million passes on a changing picture: no allocation after start-up (the meter's
    # once-a-second title aside, which SDL allocates for), and resident memory steady.
    "$TESTBIN/make-frames" scene 30 "$frames"
    SDL_VIDEODRIVER=dummy QUILTCAM_TEST_FRAMES="$frames" QUILTCAM_TEST_LOOP=1 QUILTCAM_TEST_PASSES=1000000 \
        QUILTCAM_TEST_REPORT="$work/report" timeout 1500 "$testcam" 2>"$work/stderr"
    status=$?
    [ $status -eq 0 ] || fail "exit status $status"
    cat "$work/report"
    report() { awk -v key=$1 '$1 == key {print $2}' "$work/report"; }
    [ "$(report passes)" = 1000000 ] || fail "passes: $(report passes)"
    [ "$(report loop_allocations)" = 0 ] || fail "allocations after start-up: $(report loop_allocations)"
    growth=$(($(report resident_at_end) - $(report resident_after_1000)))
    [ ${growth#-} -le 1048576 ] || fail "resident memory moved by $growth bytes"
    ;;
event_flood)
    # 100 000 mouse motions, then a key: one rendered pass per event, none dropped.
    SDL_VIDEODRIVER=dummy QUILTCAM_TEST_FRAMES="$frames" QUILTCAM_TEST_FLOOD=100000 \
        QUILTCAM_TEST_REPORT="$work/report" timeout 600 "$testcam" 2>"$work/stderr"
    status=$?
    [ $status -eq 0 ] || fail "exit status $status"
    cat "$work/report"
    grep -qx 'events_pushed 100001' "$work/report" || fail "not every event went in"
    grep -qx 'push_failures 0' "$work/report" || fail "events were refused"
    passes=$(awk '$1 == "passes" {print $2}' "$work/report")
    [ "$passes" -ge 100000 ] || fail "only $passes passes for 100 000 events"
    ;;
device_faults)
    # Each fault: no crash, no hang, and a key still ends the program with status 0 (or, for
    # a camera gone before it could be opened, one clear line and status 1).
    while read -r fault expected message; do
        SDL_VIDEODRIVER=dummy QUILTCAM_TEST_FAULT=$fault QUILTCAM_TEST_KEY_AFTER_MS=1500 timeout 30 "$testcam" \
            2>"$work/stderr"
        status=$?
        [ $status -eq "$expected" ] || fail "$fault: exit status $status"
        [ -z "$message" ] || [ "$(cat "$work/stderr")" = "$message" ] || fail "$fault: message $(cat "$work/stderr")"
        echo "ok: $fault"
    done <<'TABLE'
other-size-larger 0
other-size-smaller 0
vanish-before-open 1 quiltcam: cannot open /dev/video0: No such file or directory
TABLE
    ;;
display_mode_refused)
    # An 8-bit screen smaller than the display: the full-screen mode is refused.
    small=
    for n in $(seq 141 190); do
        [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ] && continue
        Xvfb :$n -screen 0 320x200x8 -nolisten tcp >/dev/null 2>&1 &
        small=$!
        break
    done
    for _ in $(seq 50); do DISPLAY=:$n xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
    # From a terminal, so that the message stays one line there and needs no window.
    DISPLAY=:$n QUILTCAM_TEST_FRAMES="$frames" timeout 30 script -qec "$TESTBIN/quiltcam-testcam-fullscreen" /dev/null \
        >"$work/stderr"
    status=$?
    kill $small
    [ $status -eq 1 ] || fail "exit status $status"
    [ "$(wc -l <"$work/stderr")" -eq 1 ] && grep -q '^quiltcam-fullscreen: cannot set the 640x480x32 video mode: ' "$work/stderr" ||
        fail "message: $(cat "$work/stderr")"
    ;;
*)
    fail "no such case"
    ;;
esac
echo "ok: $case"
