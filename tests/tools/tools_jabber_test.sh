#!/usr/bin/env bash
# The demo job against the monitor over the private Jabber server of the test fixture
# (virtual host "localhost" on 127.0.0.1, at the port in $QORKEL_XMPP_SERVER_STATE/port).
#   tools_jabber_test.sh <ipm_monitor> <ipm_job>
set -euo pipefail
monitor=$1
job=$2
# shellcheck source=tools_test_common.sh
source "$(dirname "$0")/tools_test_common.sh"
port=$(tr -d '\r' <"${QORKEL_XMPP_SERVER_STATE:?the state directory of the test server}/port")
server=localhost:$port

# Starts the monitor logged in as monitor@localhost/console; sets monitor_pid.
start_monitor() {
    local name=$1 input=$2
    shift 2
    start_jabber_monitor "$name" "$input" "$server" -exit_when_idle "$@"
    # A Windows monitor writes the file in text mode, with CRLF.
    [ "$(tr -d '\r' <"$work/$name.ready")" = "monitor@localhost/console" ] ||
        fail "$name: monitor not logged in"
}

payloads_in() { grep -o '</jobName>' "$1" | wc -l; }

# 1. The monitor sends Kill after 8 reports; the job stops early, every report it made was
#    shown, and its farewell tells the monitor that it has gone.
mkdir -p "$work/in"
start_monitor killed /dev/null -kill_after 8
"$job" -msgserver "$server" -job beam -indir "$work/in" -steps 60 -delay_ms 80 \
    >"$work/killed-job.out" 2>&1 || fail "job exit status $?"
wait_monitor killed
out=$work/killed.out
grep -q "reporting through the Jabber server localhost to monitor@localhost/console as job beam" \
    "$work/killed-job.out" || fail "job did not say where it reports"
step=$(sed -n "s/.*Kill after step \([0-9]*\) of 60.*/\1/p" "$work/killed-job.out")
[ -n "$step" ] && [ "$step" -lt 60 ] || fail "job ran on after the Kill (step '$step')"
grep -Eq -- "-- beam reporting as [^@ ]+@localhost/beam" "$out" || fail "job's arrival not shown"
grep -q -- "-- sent Kill to beam after 8 reports" "$out" || fail "Kill not shown"
grep -Eq "^[0-9:]{8}  beam +Started +program=ipm_job .*clientHost=" "$out" || fail "no Started line"
grep -Eq "^[0-9:]{8}  beam +Step +\[Preprocessing\]  step=1  stepName=\"Preprocessing step 1\"" \
    "$out" || fail "no first step line"
grep -Eq "^[0-9:]{8}  beam +Stopped +\[[A-Za-z]+\]  status=Killed" "$out" || fail "no Stopped line"
sent=$(payloads_in "$work/in/beam.ipm")
shown=$(grep -Ec "^[0-9:]{8}  beam " "$out")
[ "$sent" -eq "$shown" ] || fail "message file has $sent reports, monitor showed $shown"
grep -q -- "-- beam disconnected: $sent reports, " "$out" || fail "no per-job summary"

# 2. Two jobs at once through the same account, one stopped by a command typed at the
#    monitor; the other finishes.
mkfifo "$work/commands"
exec 3<>"$work/commands"
start_monitor typed "$work/commands"
"$job" -msgserver "$server" -job alpha -indir "$work/in" -steps 200 -delay_ms 50 \
    >"$work/alpha-job.out" 2>&1 &
alpha=$!
pids+=("$alpha")
"$job" -msgserver "$server" -job beta -indir "$work/in" -steps 6 -delay_ms 50 \
    >"$work/beta-job.out" 2>&1 &
beta=$!
pids+=("$beta")
for _ in $(seq 400); do
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
grep -q -- "-- beta finished: its final report: Finished status=Completed" "$work/typed.out" \
    || fail "beta not shown finished"
grep -Eq -- "-- alpha killed: stopped [0-9.]+ s after the Kill" "$work/typed.out" \
    || fail "the Kill to alpha not answered"

# 3. A job killed with SIGKILL says nothing more; the server knows its session is gone, and
#    the monitor learns it well within the silence time.
start_monitor crashed /dev/null -silent_after 60
"$job" -msgserver "$server" -job gamma -indir "$work/in" -steps 1000 -delay_ms 100 \
    >"$work/gamma-job.out" 2>&1 &
gamma=$!
pids+=("$gamma")
for _ in $(seq 200); do
    grep -Eq "  gamma +Step .*step=3 " "$work/crashed.out" && break
    sleep 0.05
done
{ kill -9 "$gamma" && wait "$gamma"; } 2>/dev/null || true
killed_at=$SECONDS
for _ in $(seq 400); do
    grep -q -- "-- gamma lost: " "$work/crashed.out" && break
    sleep 0.05
done
grep -q -- "-- gamma lost: " "$work/crashed.out" || fail "gamma never shown lost"
echo "gamma shown lost $((SECONDS - killed_at)) s after SIGKILL"
wait_monitor crashed

# 4. A client that sent the monitor its presence, reported, and dropped its connection: the
#    server tells the monitor that the session ended, at once. Its reports read as it wrote them.
start_monitor dropped /dev/null -silent_after 60
exec {raw}<>"/dev/tcp/127.0.0.1/$port"
printf '%s' '<?xml version="1.0"?><stream:stream xmlns:stream="http://etherx.jabber.org/streams" to="localhost" xmlns="jabber:client">' \
    '<iq type="set" id="r"><query xmlns="jabber:iq:register"><username>rawjob</username><password>pw</password></query></iq>' >&"$raw"
sleep 0.5
printf '%s' '<iq type="set" id="a"><query xmlns="jabber:iq:auth"><username>rawjob</username><password>pw</password><resource>delta</resource></query></iq>' >&"$raw"
sleep 0.5
printf '%s' '<presence to="monitor@localhost/console"/>' \
    '<message to="monitor@localhost/console" type="chat"><x xmlns="zorvik:msg"><Started><phase type="symconst"></phase><jobName type="string">delta</jobName></Started></x></message>' \
    '<message to="monitor@localhost/console" type="chat"><x xmlns="zorvik:msg"><Warning><message type="string">R&amp;D solver &lt;v2&gt; &amp;amp;</message></Warning></x></message>' >&"$raw"
for _ in $(seq 100); do grep -q "  delta  *Warning" "$work/dropped.out" && break; sleep 0.05; done
grep -q "  delta  *Started" "$work/dropped.out" || fail "delta's report not shown"
# A value holding & and < reads as the job wrote it.
grep -Fq 'message="R&D solver <v2> &amp;"' "$work/dropped.out" ||
    fail "delta's warning not shown as sent"
exec {raw}>&-
for _ in $(seq 40); do grep -q -- "-- delta lost: " "$work/dropped.out" && break; sleep 0.05; done
grep -q -- "-- delta lost: its session ended without a final report" "$work/dropped.out" ||
    fail "delta's session end not shown within 2 s"
wait_monitor dropped

# 5. Without a server (nothing listens on port 1) the job runs to its end and says that nothing
#    was sent.
"$job" -msgserver 127.0.0.2:1 -job lonely -indir "$work/in" -steps 2 -delay_ms 1 \
    >"$work/lonely-job.out" 2>&1 || fail "lonely job exit status $?"
grep -q "no Jabber server reachable at 127.0.0.2" "$work/lonely-job.out" ||
    fail "lonely job did not say so"
grep -q "finished all 2 steps" "$work/lonely-job.out" || fail "lonely job did not finish"
# 6. A job whose password the server refuses runs to its end with every report in its message
#    file, says so once, and the monitor hears nothing from it.
start_monitor refused /dev/null
IPM_JABBER_PASSWORD=wrong "$job" -msgserver "$server" -job refused -indir "$work/in" -steps 12 \
    -delay_ms 200 >"$work/refused-job.out" 2>&1 || fail "refused job exit status $?"
[ "$(grep -c "refused the log-in as .*IPM_JABBER_PASSWORD" "$work/refused-job.out")" -eq 1 ] ||
    fail "refused job did not say once that its log-in was refused"
grep -q "finished all 12 steps" "$work/refused-job.out" || fail "refused job did not finish"
[ "$(payloads_in "$work/in/refused.ipm")" -gt 12 ] || fail "refused job's reports not in its file"
grep -q "refused" "$work/refused.out" && fail "the monitor heard from the refused job"
kill "$monitor_pid"
wait "$monitor_pid" 2>/dev/null || true

# 7. A monitor whose password the server refuses says so and ends.
status=0
"$monitor" -msgserver "$server" -password wrong </dev/null >"$work/wrong-monitor.out" 2>&1 ||
    status=$?
[ "$status" -ne 0 ] || fail "monitor with a wrong password did not fail"
grep -q "the server refused the log-in as monitor" "$work/wrong-monitor.out" ||
    fail "monitor did not say that its log-in was refused"
echo "tools over Jabber: all checks passed"
