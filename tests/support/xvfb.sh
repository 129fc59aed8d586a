#!/usr/bin/env bash
# Starts or stops an X server, the one the program tests share by default:
#   xvfb.sh start DIR [SCREEN] | xvfb.sh stop DIR   (SCREEN: 1024x768x24 unless given)
# The display number is written to DIR/display.
set -eu
action=$1 dir=$2 screen=${3:-1024x768x24}
mkdir -p "$dir"
case $action in
start)
    answers() { DISPLAY=:$1 xdpyinfo >/dev/null 2>&1 || DISPLAY=:$1 xdotool getdisplaygeometry >/dev/null 2>&1; }
    for n in $(seq 91 140); do
        # A server of another root (a chroot's tests beside the machine's) shares the abstract
        # socket namespace but not /tmp: ask the display itself too.
        [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ] || answers $n && continue
        # -noreset: without it the server resets when its last client leaves, and the next
        # program's connection can fail.
        Xvfb :$n -screen 0 "$screen" -noreset -nolisten tcp >"$dir/xvfb.log" 2>&1 &
        echo $! >"$dir/pid"
        for _ in $(seq 100); do
            if answers $n && kill -0 "$(cat "$dir/pid")" 2>/dev/null; then
                echo ":$n" >"$dir/display"
                exit 0
            fi
            kill -0 "$(cat "$dir/pid")" 2>/dev/null || break
            sleep 0.1
        done
    done
    echo "xvfb.sh: could not start Xvfb" >&2
    exit 1
    ;;
stop)
    [ -f "$dir/pid" ] && kill "$(cat "$dir/pid")" 2>/dev/null || true
    rm -f "$dir/pid" "$dir/display"
    ;;
esac
