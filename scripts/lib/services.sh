# Test services shared by scripts/test and scripts/run: a D-Bus system bus, a loopback-only
# avahi-daemon and an X server. Source this file; every service started here is recorded by
# process id in $PIVRA_SERVICES_DIR and stopped by that id in stop_services, never by name.

services_init() {
    PIVRA_SERVICES_DIR=$(mktemp -d "${TMPDIR:-/tmp}/pivra-services.XXXXXX")
    export PIVRA_SERVICES_DIR
}

system_bus_answers() {
    dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.GetId >/dev/null 2>&1
}

start_system_bus() {
    if system_bus_answers; then
        echo "services: using the running D-Bus system bus"
        return 0
    fi
    mkdir -p /run/dbus
    rm -f /run/dbus/pid
    dbus-daemon --system --fork --print-pid >"$PIVRA_SERVICES_DIR/dbus.pid"
    for _ in $(seq 50); do system_bus_answers && break; sleep 0.1; done
    system_bus_answers || { echo "services: the D-Bus system bus did not start" >&2; return 1; }
    echo "services: started a D-Bus system bus (pid $(cat "$PIVRA_SERVICES_DIR/dbus.pid"))"
}

# An avahi-daemon that is alive; one that died and was not reaped yet still passes
# `avahi-daemon --check`, so its process state is read as well.
avahi_running() {
    local pid state
    pid=$(cat /run/avahi-daemon/pid 2>/dev/null) || return 1
    state=$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null | cut -c1) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

# Starts avahi-daemon with the loopback-only configuration, unless one already runs that this
# script did not start: that is the desktop's own, which scripts/run uses as it is.
start_avahi() {
    if avahi_running && [ ! -s "$PIVRA_SERVICES_DIR/avahi.pid" ]; then
        echo "services: using the running avahi-daemon"
        return 0
    fi
    "$(dirname "${BASH_SOURCE[0]}")/test-avahi" start
}

start_xvfb() {
    # -displayfd: Xvfb takes the first free display itself, so two runs side by side (they share
    # /tmp and its lock files) cannot both pick the same one; it writes the number once it listens.
    local number="$PIVRA_SERVICES_DIR/xvfb.display"
    : >"$number"
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x900x24 3>"$number" \
        >"$PIVRA_SERVICES_DIR/xvfb.log" 2>&1 &
    echo $! >"$PIVRA_SERVICES_DIR/xvfb.pid"
    # A loaded machine may take a while.
    for _ in $(seq 300); do [ -s "$number" ] && break; sleep 0.1; done
    export DISPLAY=":$(head -n1 "$number")"
    xdpyinfo >/dev/null 2>&1 || { echo "services: Xvfb did not start" >&2; return 1; }
    echo "services: started Xvfb on $DISPLAY"
}

stop_pid_file() {
    local file=$1 pid
    [ -s "$file" ] || return 0
    pid=$(cat "$file")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$file"
}

stop_services() {
    [ -n "${PIVRA_SERVICES_DIR:-}" ] && [ -d "$PIVRA_SERVICES_DIR" ] || return 0
    local f
    for f in "$PIVRA_SERVICES_DIR"/*.pid; do
        [ "$(basename "$f")" = dbus.pid ] && continue
        stop_pid_file "$f"
    done
    # The bus goes last: the daemons above are its clients.
    stop_pid_file "$PIVRA_SERVICES_DIR/dbus.pid"
    rm -rf "$PIVRA_SERVICES_DIR"
}
