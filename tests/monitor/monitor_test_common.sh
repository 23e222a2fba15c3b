# Shared by the scripts that run the built demo job against the built monitor.
# Sourced after setting `monitor` and `job`; gives a work directory removed at exit,
# `pids` (processes killed at exit) and `fail`, which shows every *.out of the run.
work=$(mktemp -d)
# The monitors' history goes to the run's own directory, never to the user's.
export XDG_STATE_HOME=$work/state
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for file in "$work"/*.out; do echo "--- $file" >&2; cat "$file" >&2; done
    exit 1
}

# Runs "$monitor" in the background, reading $2 and writing $work/$1.out; sets monitor_pid.
launch_monitor() {
    local name=$1 input=$2
    shift 2
    "$monitor" "$@" <"$input" >"$work/$name.out" 2>&1 &
    monitor_pid=$!
    pids+=("$monitor_pid")
}

# Waits up to 10 s for the monitor to write the file $1; fails if it ends first or never does.
await_monitor_file() {
    local file=$1 name=$2
    for _ in $(seq 200); do
        [ -s "$file" ] && return 0
        kill -0 "$monitor_pid" 2>/dev/null || fail "$name: monitor ended at start"
        sleep 0.05
    done
    fail "$name: monitor never wrote $(basename "$file")"
}

# Starts the monitor with the given options and waits for it to write the file $3.
start_monitor_awaiting() {
    local name=$1 input=$2 file=$3
    shift 3
    rm -f "$file"
    launch_monitor "$name" "$input" "$@"
    await_monitor_file "$file" "$name"
}

# Starts a direct monitor on port $3 (0: one the system picks); sets monitor_pid and port.
start_direct_monitor() {
    local name=$1 input=$2 wanted=$3
    shift 3
    local file=$work/$name.port
    start_monitor_awaiting "$name" "$input" "$file" -port "$wanted" -port_file "$file" "$@"
    # A Windows monitor writes the file in text mode, with CRLF.
    port=$(tr -d '\r' <"$file")
}

# Starts a monitor that logs in to the Jabber server $3; sets monitor_pid once it is in.
start_jabber_monitor() {
    local name=$1 input=$2 server=$3
    shift 3
    local file=$work/$name.ready
    start_monitor_awaiting "$name" "$input" "$file" -msgserver "$server" -ready_file "$file" "$@"
}

# Waits up to 15 s for the monitor to end on its own; its status must be 0.
wait_monitor() {
    local name=$1
    for _ in $(seq 300); do
        kill -0 "$monitor_pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -0 "$monitor_pid" 2>/dev/null && fail "$name: monitor still running after its jobs left"
    wait "$monitor_pid" || fail "$name: monitor exit status $?"
}

# The private XMPP server of the test fixture ($QORKEL_XMPP_SERVER_STATE): sets `server`
# (localhost:PORT for -msgserver) and `profile`. With the shipped profile, jobs and monitors
# log in as an administrator made their accounts, and trust its certificate by its pin.
use_xmpp_test_server() {
    local state=${QORKEL_XMPP_SERVER_STATE:?the state directory of the test server}
    server=localhost:$(tr -d '\r' <"$state/port")
    profile=legacy
    [ -s "$state/profile" ] && profile=$(tr -d '\r' <"$state/profile")
    if [ "$profile" = shipped ]; then
        IPM_JABBER_PIN=$(tr -d '\r' <"$state/pin")
        export IPM_JABBER_PIN IPM_JABBER_USER=job IPM_JABBER_PASSWORD=job-pw
        export IPM_MONITOR_PASSWORD=monitor-pw
    fi
}
