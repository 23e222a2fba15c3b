#!/usr/bin/env bash
# A host that forgets to stop reporting must still leave at once, without a hang or a crash,
# with every report in its message file. Where the library may wait for its thread at exit,
# the monitor gets every report as well; a Windows DLL cannot wait there, and records only.
#   forgetful_host.sh <ipm_monitor> <forgetful_host> delivers|records
set -euo pipefail
monitor=$1
host=$2
expect=$3
# shellcheck source=../monitor/monitor_test_common.sh
source "$(dirname "$0")/../monitor/monitor_test_common.sh"
mkdir -p "$work/in"

reports_in() { grep -c '</jobName>' "$1" || true; }

run_host() {
    local name=$1
    shift
    local status=0
    timeout -k 10 120 "$host" -job "$name" -message on -indir "$work/in" "$@" \
        >"$work/$name-host.out" 2>&1 || status=$?
    [ "$status" -eq 0 ] || fail "$name: host exit status $status (124: it hung at exit)"
    grep -q "made 40 reports" "$work/$name-host.out" || fail "$name: host did not report"
    [ "$(reports_in "$work/in/$name.ipm")" -eq 40 ] || fail "$name: message file incomplete"
}

# 1. A monitor that is there.
start_direct_monitor monitor /dev/null 0 -exit_when_idle
run_host watched -listener_name 127.0.0.1 -direct_port "$port"
if [ "$expect" = delivers ]; then
    wait_monitor monitor
    shown=$(grep -Ec "^[0-9:]{8}  watched +Info " "$work/monitor.out" || true)
    [ "$shown" -eq 40 ] || fail "the monitor showed $shown of the 40 reports"
    grep -q -- "-- watched disconnected: 40 reports" "$work/monitor.out" || fail "no summary"
else
    # The process may end the delivery thread before it has even connected.
    sleep 1
    shown=$(grep -Ec "^[0-9:]{8}  watched +Info " "$work/monitor.out" || true)
    echo "the monitor showed $shown of the 40 reports before the host ended"
fi

# 2. No monitor at all: the delivery thread is between attempts when the host leaves, and
# keeps trying until the shut-down deadline, cut short here.
IPM_SHUTDOWN_SECONDS=2 run_host alone -listener_name 127.0.0.1 -direct_port 1
echo "forgotten stop ($expect): all checks passed"
