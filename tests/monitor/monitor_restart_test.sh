#!/usr/bin/env bash
# A monitor stopped while a job is connected, and started again at once on the same port,
# gets the port back; a port that another monitor holds is refused in plain words.
#   monitor_restart_test.sh <ipm_monitor> <ipm_job>
set -euo pipefail
monitor=$1
job=$2
# shellcheck source=monitor_test_common.sh
source "$(dirname "$0")/monitor_test_common.sh"

# Starts a monitor on the port given (0: any); sets monitor_pid and port.
start_monitor() { start_direct_monitor "$1" /dev/null "$2"; }

start_monitor first 0
"$job" -job long -indir "$work" -direct_port "$port" -steps 1000 -delay_ms 50 \
    >"$work/long-job.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "long connected" "$work/first.out" && break; sleep 0.05; done
# Stopped first, the monitor's end of the job's connection lingers on this port.
kill -TERM "$monitor_pid"
wait "$monitor_pid" || fail "the monitor's exit status on SIGTERM was $?"
grep -q -- "-- stopped by a signal" "$work/first.out" || fail "SIGTERM not taken as a stop"
grep -q -- "-- summary: 1 job: 1 running" "$work/first.out" || fail "no summary on SIGTERM"

first_port=$port
start_monitor again "$first_port"
[ "$port" = "$first_port" ] || fail "restarted on $port, not $first_port"

status=0
"$monitor" -port "$first_port" </dev/null >"$work/taken.out" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "a taken port gave exit status $status"
grep -qx "ipm_monitor: cannot listen on 127.0.0.1:$first_port: address already in use" \
    "$work/taken.out" || fail "a taken port was not called in use: $(cat "$work/taken.out")"
echo "restart: all checks passed"
