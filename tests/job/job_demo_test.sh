#!/usr/bin/env bash
# The demo job against the monitor, both as built, on loopback with a port the system picks.
#   job_demo_test.sh <ipm_monitor> <ipm_job>
set -euo pipefail
monitor=$1
job=$2
# shellcheck source=../monitor/monitor_test_common.sh
source "$(dirname "$0")/../monitor/monitor_test_common.sh"

# Starts the monitor with the given options; sets monitor_pid and port.
start_monitor() {
    local name=$1 input=$2
    shift 2
    start_direct_monitor "$name" "$input" 0 -exit_when_idle "$@"
    grep -q "listening on 127.0.0.1:$port" "$work/$name.out" || fail "$name: port not printed"
}

payloads_in() { grep -o '</jobName>' "$1" | wc -l; }

# 1. Kill after N reports: the job stops early and says so; every report it made reached the
#    monitor, which showed one line per report and counted them.
mkdir -p "$work/in"
start_monitor killed /dev/null -kill_after 8
"$job" -job beam -indir "$work/in" -direct_port "$port" -steps 60 -delay_ms 80 \
    >"$work/killed-job.out" 2>&1 || fail "job exit status $?"
wait_monitor killed
out=$work/killed.out
grep -q "stopped early by the monitor's Kill after step" "$work/killed-job.out" \
    || fail "job did not report its early stop"
step=$(sed -n "s/.*Kill after step \([0-9]*\) of 60.*/\1/p" "$work/killed-job.out")
[ -n "$step" ] && [ "$step" -lt 60 ] || fail "job ran on after the Kill (step '$step')"
grep -q -- "-- beam connected from 127.0.0.1:" "$out" || fail "connection not shown"
grep -q -- "-- sent Kill to beam after 8 reports" "$out" || fail "Kill not shown"
grep -Eq "^[0-9:]{8}  beam +Started +program=ipm_job .*clientHost=" "$out" || fail "no Started line"
grep -Eq "^[0-9:]{8}  beam +Step +\[Preprocessing\]  step=1  stepName=\"Preprocessing step 1\"" \
    "$out" || fail "no first step line"
grep -Eq "^[0-9:]{8}  beam +Stopped +\[[A-Za-z]+\]  status=Killed" "$out" || fail "no Stopped line"
sent=$(payloads_in "$work/in/beam.ipm")
shown=$(grep -Ec "^[0-9:]{8}  beam " "$out")
[ "$sent" -eq "$shown" ] || fail "message file has $sent reports, monitor showed $shown"
grep -q -- "-- beam disconnected: $sent reports, " "$out" || fail "no per-job summary"

# 2. Two jobs at once, one stopped by a command typed at the monitor; the other finishes.
mkfifo "$work/commands"
exec 3<>"$work/commands"
start_monitor typed "$work/commands"
"$job" -job alpha -indir "$work/in" -direct_port "$port" -steps 200 -delay_ms 50 \
    >"$work/alpha-job.out" 2>&1 &
alpha=$!
pids+=("$alpha")
"$job" -job beta -indir "$work/in" -direct_port "$port" -steps 6 -delay_ms 50 \
    >"$work/beta-job.out" 2>&1 &
beta=$!
pids+=("$beta")
for _ in $(seq 200); do
    grep -Eq "  alpha +Step .*step=3 " "$work/typed.out" && break
    sleep 0.05
done
echo "kill alpha" >&3
wait "$alpha" || fail "alpha exit status $?"
wait "$beta" || fail "beta exit status $?"
wait_monitor typed
exec 3>&-
grep -q "stopped early by the monitor's Kill" "$work/alpha-job.out" || fail "alpha not stopped"
grep -q "finished all 6 steps" "$work/beta-job.out" || fail "beta did not finish"
grep -q -- "-- sent Kill to alpha after" "$work/typed.out" || fail "typed kill not shown"
grep -Eq "  beta +Finished +\[Postprocessing\]  status=Completed" "$work/typed.out" \
    || fail "beta's end not shown"
grep -q -- "-- beta disconnected: $(payloads_in "$work/in/beta.ipm") reports, 2 errors, " \
    "$work/typed.out" || fail "beta's counts wrong"
# The roster tells a finish from a Kill, and the Kill is answered.
grep -q -- "-- beta finished: its final report: Finished status=Completed" "$work/typed.out" \
    || fail "beta not shown finished"
grep -Eq -- "-- alpha killed: stopped [0-9.]+ s after the Kill \(its final report: Stopped status=Killed\)" \
    "$work/typed.out" || fail "the Kill to alpha not answered"

# 3. Without a monitor the job runs to its end and says that nothing was sent.
"$job" -job lonely -indir "$work/in" -direct_port "$port" -steps 2 -delay_ms 1 \
    >"$work/lonely-job.out" 2>&1 || fail "lonely job exit status $?"
grep -q "no monitor reachable" "$work/lonely-job.out" || fail "lonely job did not say so"
grep -q "finished all 2 steps" "$work/lonely-job.out" || fail "lonely job did not finish"
#    Without any transport there is no connection to wait for: the job does not pause for one
#    (a generous bound, far below the 15 s that the wait for a first attempt takes).
timeout 12 "$job" -job filed -indir "$work/in" -steps 1 -delay_ms 1 >"$work/filed-job.out" 2>&1 ||
    fail "the job without a transport: exit status $? (124: it waited)"
grep -q "no -direct_port given; reports go to the message file only" "$work/filed-job.out" ||
    fail "the job without a transport did not say where reports go"
# 4. The message file read afterwards: every report, times unknown but the last one's, the
#    roster and the summary.
"$monitor" -replay "$work/in/beta.ipm" >"$work/replay.out" 2>&1 || fail "replay exit status $?"
[ "$(grep -Ec -- "^--:--:--  beta " "$work/replay.out")" -eq "$(($(payloads_in "$work/in/beta.ipm") - 1))" ] \
    || fail "replay did not show every report without its time"
grep -Eq "^[0-9:]{8}  beta +Finished" "$work/replay.out" || fail "replay: last report without the file's time"
grep -q -- "-- summary: 1 job: 1 finished" "$work/replay.out" || fail "replay: no summary"

# 5. The job's command line: help, and what it refuses.
"$job" -help >"$work/help.out" 2>&1 || fail "ipm_job -help exit status $?"
grep -q -- "-direct_port N" "$work/help.out" || fail "ipm_job -help shows no options"
for arguments in "-steps abc" "-frobnicate 1" "-direct_port 70000" "-steps"; do
    for _ in 1 2; do
        status=0
        # shellcheck disable=SC2086
        "$job" $arguments >"$work/refused.out" 2>&1 || status=$?
        # Under Wine a program now and then ends as it starts, with status 1 and no output.
        [ "$status" -eq 1 ] && [ ! -s "$work/refused.out" ] || break
    done
    [ "$status" -eq 2 ] || fail "ipm_job $arguments: exit status $status, not 2"
    grep -q "^ipm_job: " "$work/refused.out" || fail "ipm_job $arguments: no reason given"
done
# A misspelt option is named with the one that was meant, by both programs.
for program in job monitor; do
    for case in "-direct-port 5001|ipm_job: unknown option -direct-port (did you mean -direct_port?)" \
        "--job beam|ipm_job: unknown option --job (did you mean -job?)" \
        "-msgServer x|ipm_job: unknown option -msgServer (did you mean -msgserver?)" \
        "-port-file f|ipm_monitor: unknown option -port-file (did you mean -port_file?)" \
        "--json|ipm_monitor: unknown option --json (did you mean -json?)" \
        "-frobnicate 1|ipm_$program: unknown option -frobnicate"; do
        arguments=${case%%|*} said=${case#*|}
        [[ $said == ipm_$program:* ]] || continue
        for _ in 1 2; do
            status=0
            # shellcheck disable=SC2086
            "${!program}" $arguments >"$work/refused.out" 2>&1 </dev/null || status=$?
            [ "$status" -eq 1 ] && [ ! -s "$work/refused.out" ] || break
        done
        [ "$status" -eq 2 ] || fail "$program $arguments: exit status $status, not 2"
        [ "$(tr -d '\r' <"$work/refused.out" | head -1)" = "$said" ] ||
            fail "$program $arguments: not \"$said\""
    done
done
echo "job demo: all checks passed"
