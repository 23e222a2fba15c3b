#!/usr/bin/env bash
# The monitor's history: a monitor killed with SIGKILL in the middle of a run leaves what it
# had seen; started again it shows the jobs of the last day as finished, killed or lost,
# -jobs lists them with their tallies, and -replay history:RUN shows a run with the elapsed
# time of its reports. A database that is corrupt or locked by another program never stops
# the monitor: it says so once and goes on without history, leaving the file as it was.
#   monitor_history_test.sh <ipm_monitor> <ipm_job>
set -euo pipefail
monitor=$1
job=$2
# shellcheck source=monitor_test_common.sh
source "$(dirname "$0")/monitor_test_common.sh"
history=$work/history.sqlite
mkdir -p "$work/in"

wait_for() {
    local pattern=$1 file=$2 seconds=${3:-10}
    for _ in $(seq $((seconds * 20))); do grep -Eq -- "$pattern" "$file" && return 0; sleep 0.05; done
    fail "never saw: $pattern"
}
run_job() {
    local name=$1
    shift
    "$job" -job "$name" -indir "$work/in" -direct_port "$port" "$@" >"$work/$name-job.out" 2>&1
}

# 1. A monitor sees a job finish, one killed by a typed kill, one still running; then it is
#    killed with SIGKILL, with no chance to write anything more.
mkfifo "$work/commands"
exec 3<>"$work/commands"
start_direct_monitor first "$work/commands" 0 -history "$history"
run_job done -steps 10 -delay_ms 100
run_job victim -steps 1000 -delay_ms 50 &
pids+=($!)
run_job running -steps 1000 -delay_ms 50 &
pids+=($!)
wait_for "  victim +Step .*step=3 " "$work/first.out"
echo "kill victim" >&3
wait_for "-- victim killed: " "$work/first.out"
wait_for "  running +Step .*step=5 " "$work/first.out"
# The history is written a round behind; a moment lets the last round's rows arrive.
sleep 1.5
kill -9 "$monitor_pid"
wait "$monitor_pid" 2>/dev/null || true
exec 3>&-

# 2. Started again, the monitor shows them as they ended; the one it lost track of is lost.
start_direct_monitor second /dev/null 0 -history "$history" -exit_when_idle
wait_for "-- 3 jobs of the last day from the history" "$work/second.out"
run_job after -steps 2 -delay_ms 10
wait_monitor second
summary=$(grep -A 10 -- "-- summary:" "$work/second.out")
for expected in "done  finished  Postprocessing  10/10 100%" "victim  killed" \
    "running  lost" "after  finished"; do
    grep -q -- "--   $expected" <<<"$summary" || fail "summary lacks \"$expected\": $summary"
done
grep -q -- "summary: 4 jobs: 2 finished, 1 lost, 1 killed" <<<"$summary" || fail "counts: $summary"

# 3. -jobs lists every run with its end, tally and last message.
"$monitor" -jobs -history "$history" >"$work/jobs.out" 2>&1 || fail "-jobs failed"
cat "$work/jobs.out"
grep -Eq '^1 +done +finished +.* +0:0[1-9] +[0-9]+ +2 +4  Finished status=Completed$' \
    "$work/jobs.out" || fail "-jobs: done"
grep -Eq '^[23] +victim +killed ' "$work/jobs.out" || fail "-jobs: victim"
grep -Eq '^[23] +running +lost\? ' "$work/jobs.out" || fail "-jobs: running"
grep -Eq '^4 +after +finished ' "$work/jobs.out" || fail "-jobs: after"
"$monitor" -jobs -since 0s -history "$history" >"$work/none.out" 2>&1
grep -q "no job in the history" "$work/none.out" || fail "-since 0s listed jobs"

# 4. A run replayed from the history: its reports as they came, its elapsed time their span.
"$monitor" -replay history:done -history "$history" -plain >"$work/replay.out" 2>&1 ||
    fail "replay failed"
sent=$(grep -o '</jobName>' "$work/in/done.ipm" | wc -l)
shown=$(grep -Ec '^[0-9:]{8}  done ' "$work/replay.out")
[ "$sent" -eq "$shown" ] || fail "replay showed $shown of $sent reports"
grep -Eq -- "--   done  finished  .*elapsed 0:0[1-9] " "$work/replay.out" ||
    fail "replay: elapsed time not from the reports' times: $(tail -3 "$work/replay.out")"
"$monitor" -replay history:nosuchjob -history "$history" >"$work/nojob.out" 2>&1 &&
    fail "a missing run replayed"
grep -q "no job nosuchjob in the history" "$work/nojob.out" || fail "missing run not said"

# 5. A corrupt database: the monitor says so once, runs without history, leaves the file.
head -c 8192 /dev/urandom >"$work/corrupt.sqlite"
before=$(md5sum <"$work/corrupt.sqlite")
start_direct_monitor corrupt /dev/null 0 -history "$work/corrupt.sqlite" -exit_when_idle
run_job survivor -steps 3 -delay_ms 10
wait_monitor corrupt
grep -q -- "-- history: $work/corrupt.sqlite: file is not a database; going on without history" \
    "$work/corrupt.out" || fail "corrupt database not said"
[ "$(grep -c -- "-- history:" "$work/corrupt.out")" -eq 1 ] || fail "said more than once"
grep -q -- "-- survivor finished" "$work/corrupt.out" || fail "no job served with a corrupt history"
[ "$(md5sum <"$work/corrupt.sqlite")" = "$before" ] || fail "the corrupt file was changed"

# 6. A database another program holds locked: said once, the monitor serves jobs meanwhile.
/usr/bin/python3 - "$history" "$work/locked" <<'PYTHON' &
import sqlite3, sys, time, pathlib
connection = sqlite3.connect(sys.argv[1], isolation_level=None)
connection.execute("PRAGMA locking_mode=EXCLUSIVE")
connection.execute("BEGIN EXCLUSIVE")
pathlib.Path(sys.argv[2]).touch()
time.sleep(20)
PYTHON
locker=$!
pids+=("$locker")
for _ in $(seq 100); do [ -e "$work/locked" ] && break; sleep 0.05; done
start_direct_monitor locked /dev/null 0 -history "$history" -exit_when_idle
run_job busy -steps 3 -delay_ms 10
wait_monitor locked
grep -Eq -- "-- history: $history: database is locked.*; going on without history" \
    "$work/locked.out" || fail "locked database not said"
grep -q -- "-- busy finished" "$work/locked.out" || fail "no job served with a locked history"
kill "$locker"

# 7. A full disk (a small file system of the test's own, where this may mount one): said
#    once, and the monitor serves on.
mkdir -p "$work/small"
if [ "$(id -u)" -eq 0 ] && unshare -m true 2>/dev/null; then
    cat >"$work/full.sh" <<SCRIPT
set -e
mount -t tmpfs -o size=512k tmpfs "$work/small"
exec "$monitor" -port 0 -port_file "$work/full.port" -history "$work/small/history.sqlite" \
    </dev/null >"$work/full.out" 2>&1
SCRIPT
    unshare -m bash "$work/full.sh" &
    monitor_pid=$!
    pids+=("$monitor_pid")
    await_monitor_file "$work/full.port" full
    port=$(cat "$work/full.port")
    step='<Step><step type="integer">1</step><stepName type="string">'$(head -c 300 /dev/zero |
        tr '\0' x)'</stepName></Step>'
    { printf 'filler'; for _ in $(seq 4000); do printf '%s' "$step"; done; } \
        >"/dev/tcp/127.0.0.1/$port"
    wait_for "-- filler disconnected: 4000 reports" "$work/full.out"
    wait_for "-- history: .*; going on without history" "$work/full.out"
    run_job afterwards -steps 2 -delay_ms 10
    wait_for "-- afterwards finished" "$work/full.out"
    kill "$monitor_pid"
    wait "$monitor_pid" || true
    grep -q -- "-- history: $work/small/history.sqlite: database or disk is full; going on" \
        "$work/full.out" || fail "a full disk was not said"
    [ "$(grep -c -- "-- history:" "$work/full.out")" -eq 1 ] || fail "full disk said twice"
    grep -q -- "-- afterwards finished" "$work/full.out" || fail "no job served on a full disk"
else
    echo "full disk: not tried (mounting a small file system needs root and unshare -m)"
fi
echo "history: all checks passed"
