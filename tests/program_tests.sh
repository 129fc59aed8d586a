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
pipewire_camera)
    # The desktop's camera service, PipeWire, with its own test source as the camera (SMPTE bars
    # with snow): taken, its moving picture drawn. The daemon is killed and started again, a
    # camera ranked higher coming back with it: the picture holds meanwhile, then the same camera
    # is live again. A key ends the program at once, status 0. (Cameras unplugged and back, or
    # for good, through PipeWire: the USB webcam's cases in the guest.)
    session() { "$SUPPORT/pipewire_session.sh" "$1" "$work/pipewire" "${@:2}"; }
    trap 'session end; kill -KILL $pid 2>/dev/null; rm -rf "$work"' EXIT
    session start && session camera-add test-camera || fail "no PipeWire session"
    . "$work/pipewire/env"
    export SDL_VIDEODRIVER=dummy
    for n in 5 25; do
        session idle test-camera
        QUILTCAM_TEST_CAMERA_FRAMES=$n QUILTCAM_TEST_DUMP="$work/shown-$n.ppm" QUILTCAM_TEST_REPORT="$work/report" \
            timeout 30 "$testcam" 2>"$work/stderr" || fail "exit status $? ($n frames)"
    done
    grep -qx "camera_backend pipewire" "$work/report" || fail "not the PipeWire camera: $(cat "$work/report")"
    colours=$(python3 -c 'import sys; d = open(sys.argv[1], "rb").read()[15:]; print(len({d[i:i + 3] for i in range(0, len(d), 3)}))' "$work/shown-25.ppm")
    [ "$colours" -gt 100 ] && ! cmp -s "$work/shown-5.ppm" "$work/shown-25.ppm" ||
        fail "the display is not the moving picture ($colours colours)"
    frames() { tail -n 1 "$work/trace" 2>/dev/null | cut -d' ' -f2; }
    live() {  # live SECONDS: new frames within that long ($took: how long, in ms)
        local from=$(frames) began=$(date +%s%3N)
        for _ in $(seq $(($1 * 20))); do
            [ "$(frames)" -gt "${from:-0}" ] 2>/dev/null && { took=$(($(date +%s%3N) - began)); return 0; }
            sleep 0.05
        done
        return 1
    }
    session idle test-camera
    QUILTCAM_TEST_TRACE="$work/trace" QUILTCAM_TEST_REPORT="$work/report" "$testcam" 2>"$work/stderr" &
    pid=$!
    live 10 || fail "no frames from PipeWire"
    session stop || fail "cannot stop PipeWire"
    sleep 3
    held=$(frames)
    sleep 0.3
    [ "$(frames)" = "$held" ] && [ "$(tail -n 1 "$work/trace" | cut -d' ' -f3-)" != "0 0 0" ] ||
        fail "the picture did not hold"
    session start && session camera-add other-camera 100 && session camera-add test-camera ||
        fail "cannot start PipeWire again"
    live 10 || fail "not live again"
    sleep 2.5  # past the time another camera would be given
    pressed=$(date +%s%3N)
    kill -USR1 $pid
    finish 10
    ended=$(($(date +%s%3N) - pressed))
    echo "  the daemon restarted: live again in $took ms; a key ends it in $ended ms"
    [ $status -eq 0 ] && [ $ended -lt 2000 ] || fail "status $status $ended ms after a key"
    grep -qx "camera_name test-camera" "$work/report" || fail "$(grep camera_name "$work/report"), not test-camera"
    # The camera stopped before the process ended: PipeWire's thread gone with it.
    grep -qx "threads_at_exit 1" "$work/report" || fail "$(grep threads_at_exit "$work/report") at exit"
    ;;
*)
    fail "no such case"
    ;;
esac
echo "ok: $case"
