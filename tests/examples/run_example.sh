#!/usr/bin/env bash
# One example host against the monitor, as a user runs them: once to its end, once stopped by
# the monitor's Kill. Each time the monitor must have shown every report of the job's message
# file, the reports the example makes among them, and the host must have ended as it says.
#   run_example.sh <ipm_monitor> <example program> [direct|jabber] [late-monitor]
# Over Jabber the test server is the one whose state is in $QORKEL_XMPP_SERVER_STATE. With
# late-monitor (direct only), a third run starts before its monitor: the library says once that
# reports cannot reach it and once that they do, and the monitor still gets every report.
set -euo pipefail
monitor=$1
program=$2
transport=${3:-direct}
late=${4:-}
# shellcheck source=../monitor/monitor_test_common.sh
source "$(dirname "$0")/../monitor/monitor_test_common.sh"
mkdir -p "$work/in"

# Starts the monitor with the given options; sets monitor_pid and job_options, which point a
# job at it.
start_monitor() {
    local name=$1
    shift
    if [ "$transport" = jabber ]; then
        use_xmpp_test_server
        start_jabber_monitor "$name" /dev/null "$server" -exit_when_idle "$@"
        job_options=(-msgserver "$server" -listener_name monitor -listener_resource console)
        return
    fi
    start_direct_monitor "$name" /dev/null 0 -exit_when_idle "$@"
    job_options=(-listener_name 127.0.0.1 -direct_port "$port")
}

# Every report in the job's message file was shown once, and nothing else of the job.
expect_every_report_shown() {
    local name=$1 job=$2
    local recorded shown
    recorded=$(grep -c '</jobName>' "$work/in/$job.ipm" || true)
    shown=$(grep -Ec "^[0-9:]{8}  $job " "$work/$name.out" || true)
    [ "$recorded" -gt 0 ] || fail "$name: nothing in the message file"
    [ "$recorded" -eq "$shown" ] || fail "$name: message file has $recorded reports, monitor showed $shown"
    grep -q -- "-- $job disconnected: $recorded reports, " "$work/$name.out" ||
        fail "$name: the monitor's count differs from the message file's"
}

run_job() {
    local name=$1 job=$2
    "$program" -job "$job" -message on -indir "$work/in" "${job_options[@]}" \
        >"$work/$name-job.out" 2>&1 || fail "$name: example exit status $?"
    grep -q "QORKelCommunications:" "$work/$name-job.out" && fail "$name: the library refused"
    return 0
}

# 1. To its end: a start, the phase's heading, twenty steps, a warning, an error, the end.
start_monitor complete
run_job complete whole
wait_monitor complete
out=$work/complete.out
grep -q "finished all 20 steps" "$work/complete-job.out" || fail "example did not finish"
grep -Eq "^[0-9:]{8}  whole +Started +program=[a-z_]*example +version=1.0 +steps=20 .*clientHost=" \
    "$out" || fail "no Started line"
grep -Eq "^[0-9:]{8}  whole +Step +\[Analysis\]  step=20  stepName=\"Analysis step 20\"  time=5" \
    "$out" || fail "no last step"
grep -Eq "^[0-9:]{8}  whole +Warning +\[Analysis\]  message=\"Convergence slow" "$out" ||
    fail "no warning"
grep -Eq "^[0-9:]{8}  whole +Error +\[Analysis\]  message=\"Element 1042 distorted: Jacobian < 0\"  file=model.inp" \
    "$out" || fail "no error"
grep -Eq "^[0-9:]{8}  whole +Finished +\[Analysis\]  status=Completed" "$out" || fail "no end"
grep -q -- "-- whole finished: its final report: Finished status=Completed" "$out" ||
    fail "not shown finished"
[ "$(grep -c '</jobName>' "$work/in/whole.ipm")" -eq 25 ] || fail "the message file lacks reports"
expect_every_report_shown complete whole

# 2. Stopped by the monitor's Kill after its fifth report.
start_monitor killed -kill_after 5
run_job killed stopped
wait_monitor killed
out=$work/killed.out
step=$(sed -n "s/.*Kill after step \([0-9]*\).*/\1/p" "$work/killed-job.out")
[ -n "$step" ] && [ "$step" -lt 20 ] || fail "example ran on after the Kill (step '$step')"
grep -q -- "-- sent Kill to stopped after 5 reports" "$out" || fail "Kill not sent"
grep -Eq "^[0-9:]{8}  stopped +Stopped +\[Analysis\]  status=Killed" "$out" || fail "no Stopped line"
grep -Eq -- "-- stopped killed: stopped [0-9.]+ s after the Kill" "$out" || fail "the Kill not answered"
expect_every_report_shown killed stopped

# 3. Started before its monitor, on a port that nothing listens on yet; the monitor comes up
#    before the job's first retry, a second later.
if [ "$late" = late-monitor ]; then
    start_monitor free
    kill "$monitor_pid" && wait "$monitor_pid" || true
    "$program" -job late -message on -indir "$work/in" "${job_options[@]}" \
        >"$work/late-job.out" 2>"$work/late-job.err" &
    job_pid=$!
    pids+=("$job_pid")
    for _ in $(seq 200); do
        grep -q "cannot reach" "$work/late-job.err" && break
        sleep 0.02
    done
    grep -q "cannot reach" "$work/late-job.err" ||
        fail "late: the job did not say that reports cannot reach the monitor"
    start_direct_monitor late /dev/null "$port" -exit_when_idle
    wait "$job_pid" || fail "late: example exit status $?"
    wait_monitor late
    monitor_at="the monitor at 127.0.0.1:$port"
    expected="QORKelCommunications: reports cannot reach $monitor_at (connection refused: nothing listens on that port): they are recorded in the message file $work/in/late.ipm, and delivery is retried
QORKelCommunications: reports reach $monitor_at now, after N s"
    [ "$(sed 's/after [0-9]* s$/after N s/' "$work/late-job.err")" = "$expected" ] ||
        fail "late: the job did not say once that reports cannot reach the monitor and once that they do:
$(cat "$work/late-job.err")"
    expect_every_report_shown late late
fi
echo "$(basename "$program") over $transport: all checks passed"
