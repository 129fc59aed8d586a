# Driving Windows programs under Wine on an X server of our own, for bash test scripts (sourced
# after setting WINEPREFIX): a scratch folder $work, and
#   start EXE [ENV=VALUE...]    runs it in the background (ARGS: its arguments; its output goes
#                               to files, since Wine's background processes hold pipes open)
#   finish SECONDS              waits for it to end; its exit status in $status ("timeout")
#   window_of SECONDS KIND      the id of a window titled Quiltcam: the 640x480 one, or a box
#   key WINDOW KEY              presses a key in a window
#   answer_box EXE [ENV=VALUE...]  runs it until its message box shows, answers the box, waits
#                               for it to end ($box: the box's window; with WINDOW=1, $window
#                               first: its 640x480 window); its stderr.txt in $said
#   new_prefix                  makes the prefix if it is not there, and keeps Wine warm (its
#                               desktop up: a first window opened and closed)
work=$(mktemp -d)
pid=
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_session_end() {
    [ -n "$pid" ] && kill -KILL $pid 2>/dev/null
    wineserver -k 2>/dev/null
    "$(dirname "${BASH_SOURCE[0]}")/xvfb.sh" stop "$work/xvfb"
    rm -rf "$work"
}
trap wine_session_end EXIT

"$(dirname "${BASH_SOURCE[0]}")/xvfb.sh" start "$work/xvfb" || exit 1
export DISPLAY=$(cat "$work/xvfb/display")

new_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wine wineboot --init >"$work/wineboot.log" 2>&1
        timeout 300 wineserver -w
    fi
    wineserver -p 2>/dev/null
    # A first window, and its end: the first window of a session in a new guest has been refused
    # ("Couldn't create window") while Wine set up its desktop.
    (wine notepad >/dev/null 2>&1 &)
    for _ in $(seq 300); do xdotool search --name 'Notepad' >/dev/null 2>&1 && break; sleep 0.2; done
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    wineserver -p 2>/dev/null
}

start() {
    local exe=$1
    shift
    rm -f "$work/status" "$(dirname "$exe")/stderr.txt"
    (cd "$(dirname "$exe")" && env "$@" wine "$exe" ${ARGS:-} >"$work/out" 2>"$work/err"; echo $? >"$work/status") &
    pid=$!
}

finish() {
    for _ in $(seq $(($1 * 10))); do
        [ -f "$work/status" ] && break
        sleep 0.1
    done
    status=$(cat "$work/status" 2>/dev/null || echo timeout)
    pid=
}

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

key() {
    xdotool windowfocus "$1" 2>/dev/null
    xdotool key --window "$1" "$2"
}

answer_box() {
    local exe=$1
    shift
    start "$exe" "$@"
    [ "${WINDOW:-0}" = 1 ] && window=$(window_of 180 640x480)
    box=$(window_of 90 box)
    sleep 1
    if [ -n "$box" ]; then
        key "$box" Return
        finish 60
    else  # a program that shows no box would run on: end it, and every other Wine process
        wineserver -k
        finish 10
        wineserver -p 2>/dev/null
    fi
    said=$(tr -d '\r' <"$(dirname "$exe")/stderr.txt" 2>/dev/null)
}
