# Driving the real programs on an X server, for bash test scripts (sourced): the display xvfb.sh
# left in XVFB_DIR, a scratch folder $work, and
#   start PROGRAM [ENV=VALUE...]  runs it in the background and waits for its window ($wid)
#   finish SECONDS                waits for it to end; its exit status in $status
#   still_running SECONDS         fails if it ends meanwhile
#   focus                         gives its window the keyboard
#   fail MESSAGE                  reports the failure (with the program's stderr) and exits 1
# A program left running at the end is killed outright: a program that loses its quit event
# must not hang the tests.
work=$(mktemp -d)
pid= wm=
trap 'kill -KILL $pid $wm 2>/dev/null; rm -rf "$work"' EXIT
export DISPLAY=$(cat "$XVFB_DIR/display")
export SDL_VIDEODRIVER=x11

fail() {
    echo "FAIL ($case): $*" >&2
    [ -s "$work/stderr" ] && sed 's/^/  program: /' "$work/stderr" >&2
    exit 1
}

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
