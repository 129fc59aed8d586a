#!/usr/bin/env bash
# The real programs under Xvfb: program_tests.sh CASE.
# BIN: the build folder; TESTBIN: its tests folder; XVFB_DIR: where xvfb.sh left the display.
set -u
case=$1
SUPPORT=$(cd "$(dirname "$0")/support" && pwd)
. "$SUPPORT/x11_session.sh"

frames="$work/frames.raw"
"$TESTBIN/make-frames" scene 8 "$frames" || fail "cannot make frames"
testcam="$TESTBIN/quiltcam-testcam"

case $case in
ends_on_key_or_close)
    # Any key ends it with status 0 on its key-down (a key-up alone does not), and so does the
    # window's close, as a window manager's close button asks for it.
    start "$testcam" QUILTCAM_TEST_FRAMES="$frames"
    focus
    xdotool keyup q
    still_running 1
    xdotool key Escape
    finish 10
    [ $status -eq 0 ] || fail "exit status $status after Escape"
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
failures_on_a_terminal)
    # From a terminal, each start-up failure is exactly its one line there, at once, status 1:
    # no camera, no display at all, and an 8-bit screen smaller than the display, which refuses
    # the full-screen mode.
    ls /dev/video* >/dev/null 2>&1 && { echo "this machine has a camera"; exit 77; }
    "$SUPPORT/xvfb.sh" start "$work/small" 320x200x8 || fail "no small screen"
    while read -r display program line; do
        (if [ "$display" = none ]; then unset DISPLAY; else export DISPLAY=$display; fi
         QUILTCAM_TEST_FRAMES="$frames" timeout 10 script -qec "$program" /dev/null </dev/null >"$work/terminal")
        status=$?
        [ $status -eq 1 ] && [ "$(wc -l <"$work/terminal")" -eq 1 ] && grep -q "^$line" "$work/terminal" ||
            fail "status $status, terminal: $(cat "$work/terminal") (wanted $line)"
    done <<TABLE
$DISPLAY $BIN/quiltcam quiltcam: no video capture device found
none $BIN/quiltcam quiltcam: cannot initialise SDL video:
$(cat "$work/small/display") $TESTBIN/quiltcam-testcam-fullscreen quiltcam-fullscreen: cannot set the 640x480x32 video mode:
TABLE
    "$SUPPORT/xvfb.sh" stop "$work/small"
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
*)
    fail "no such case"
    ;;
esac
echo "ok: $case"
