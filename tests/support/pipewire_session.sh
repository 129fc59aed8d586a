#!/usr/bin/env bash
# A private PipeWire session, with no system services: its own runtime folder, D-Bus and
# configuration in DIR, for the tests on the host and in the guest kernel:
#   pipewire_session.sh start DIR         the daemon and WirePlumber (again after stop); DIR/env
#                                         then holds what a program needs to reach them
#   pipewire_session.sh stop DIR          kills both, as a crash does
#   pipewire_session.sh end DIR           stop, and the session's D-Bus too
#   pipewire_session.sh camera-add DIR [NAME [PRIORITY]]  PipeWire's own test source (SMPTE
#                                         bars with snow) as a camera node, described by its
#                                         name, ranked by the priority (0)
#   pipewire_session.sh idle DIR [NAME]   waits until the session manager has suspended a camera
#                                         node (PipeWire 0.3's test source runs out of buffers
#                                         when linked again before that)
# Needs pipewire, wireplumber and dbus (cmake/install-deps.sh installs them).
set -u
action=$1
mkdir -p "$2"
dir=$(cd "$2" && pwd)
name=${3:-test-camera}
export XDG_RUNTIME_DIR=$dir/run XDG_CONFIG_HOME=$dir/config DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/run/bus

pw() { timeout 10 pw-cli "$@"; }  # PipeWire not answering is an answer too
node_id() { pw ls Node | awk -v name="node.name = \"$name\"" '$1 == "id" {id = $2} index($0, name) {print id}' | tr -d ,; }
stop() {
    for daemon in wireplumber pipewire; do
        [ -f "$dir/$daemon.pid" ] && kill -KILL "$(cat "$dir/$daemon.pid")" 2>/dev/null
        rm -f "$dir/$daemon.pid"
    done
    rm -f "$XDG_RUNTIME_DIR"/pipewire-0*
}

case $action in
start)
    mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d"
    chmod 700 "$XDG_RUNTIME_DIR"
    echo 'context.spa-libs = { videotestsrc = videotestsrc/libspa-videotestsrc }' \
        >"$XDG_CONFIG_HOME/pipewire/pipewire.conf.d/test-source.conf"
    if [ ! -S "$XDG_RUNTIME_DIR/bus" ]; then
        dbus-daemon --session --fork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS" --print-pid=3 3>"$dir/dbus.pid" \
            2>/dev/null
    fi
    printf 'export XDG_RUNTIME_DIR=%q DBUS_SESSION_BUS_ADDRESS=%q\n' "$XDG_RUNTIME_DIR" "$DBUS_SESSION_BUS_ADDRESS" \
        >"$dir/env"
    (pipewire >>"$dir/pipewire.log" 2>&1 & echo $! >"$dir/pipewire.pid")
    for _ in $(seq 50); do [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break; sleep 0.1; done
    (wireplumber >>"$dir/wireplumber.log" 2>&1 & echo $! >"$dir/wireplumber.pid")
    # Up once the session manager has joined: it lists itself as a client.
    for _ in $(seq 100); do pw ls Client 2>/dev/null | grep -qi wireplumber && exit 0; sleep 0.1; done
    echo "pipewire_session.sh: no session manager; $(tail -n 3 "$dir/wireplumber.log")" >&2
    exit 1
    ;;
stop) stop ;;
end)
    stop
    [ -f "$dir/dbus.pid" ] && kill "$(cat "$dir/dbus.pid")" 2>/dev/null
    rm -f "$dir/dbus.pid" "$XDG_RUNTIME_DIR/bus"
    ;;
camera-add)
    pw create-node adapter "{ factory.name = videotestsrc node.name = $name node.description = $name \
        priority.session = ${4:-0} media.class = Video/Source media.role = Camera object.linger = true \
        session.suspend-timeout-seconds = 1 }" >/dev/null 2>&1
    ;;
idle)
    for _ in $(seq 100); do pw info "$(node_id)" 2>/dev/null | grep -q 'state: "suspended"' && exit 0; sleep 0.1; done
    exit 1
    ;;
esac
