#!/usr/bin/env bash
# What a bad or hostile job does to the monitor: huge reports, many fields, huge names that
# come and go, forged lines and terminal escapes in a name, and more connections than the
# monitor has descriptors. The monitor must stay up, say why it dropped a job, show nothing
# raw, not spin, and stay under 64 MB throughout (not measured under sanitizers).
#   tools_attack_test.sh <ipm_monitor> <ipm_job> [sanitizers]
set -euo pipefail
monitor=$1
job=$2
sanitizers=${3:-}
# shellcheck source=tools_test_common.sh
source "$(dirname "$0")/tools_test_common.sh"
limit_kb=$((64 * 1024))

# Starts a monitor with the given shell prefix (for limits); sets monitor_pid and port.
start_monitor() {
    local name=$1
    shift
    rm -f "$work/$name.port"
    bash -c "$* exec '$monitor' -port 0 -port_file '$work/$name.port'" </dev/null \
        >"$work/$name.out" 2>&1 &
    monitor_pid=$!
    pids+=("$monitor_pid")
    await_monitor_file "$work/$name.port" "$name"
    port=$(cat "$work/$name.port")
}

alive() { kill -0 "$monitor_pid" 2>/dev/null || fail "the monitor died"; }
peak_kb() { sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$monitor_pid/status"; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$monitor_pid/stat"; }
# Sends stdin to the monitor as one job; the monitor may close the connection under it,
# which ends the writers of the pipe early.
send() { { cat >"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null || true; }
set +o pipefail
wait_for() {
    local pattern=$1 file=$2
    for _ in $(seq 200); do grep -Eq -- "$pattern" "$file" && return 0; sleep 0.05; done
    fail "never saw: $pattern"
}

start_monitor hostile
out=$work/hostile.out

# One unclosed report of 100 MB, then 200 MB: dropped at 1 MB.
{ printf 'big<Error><message type="string">'; head -c 100000000 /dev/zero | tr '\0' a; } | send
wait_for "-- big dropped: it sent a report larger than 1 MB" "$out"
{ printf 'bigger<Error><message type="string">'; head -c 200000000 /dev/zero | tr '\0' a; } | send
wait_for "-- bigger dropped: it sent a report larger than 1 MB" "$out"
alive
# 100 MB of small fields: dropped at the field bound.
{ printf 'fields<Step>'; yes '<f type="integer">1</f>' | tr -d '\n' | head -c 100000000; } | send
wait_for "-- fields dropped: it sent a report with more than 4096 fields" "$out"
# 100 jobs with names of 1 MB that come and go: each dropped at 256 bytes, nothing kept.
for _ in $(seq 100); do head -c 1000000 /dev/zero | tr '\0' n | send; done
wait_for "dropped: it sent a job name longer than 256 bytes" "$out"
for _ in $(seq 100); do
    [ "$(grep -c "dropped: it sent a job name longer than 256 bytes" "$out")" -eq 100 ] && break
    sleep 0.05
done
[ "$(grep -c "dropped: it sent a job name longer than 256 bytes" "$out")" -eq 100 ] ||
    fail "not every long name was dropped"
# A name that forges a line and clears the screen, values with escapes: shown as escapes.
printf 'prod\n12:00:00  -- prod disconnected\e[2J\e[H<Error><message type="string">\e]0;pwned\a\r</message></Error>\n' | send
wait_for '^[0-9:]{8}  -- prod\\n12:00:00  -- prod disconnected\\x1b\[2J\\x1b\[H connected from' "$out"
wait_for 'unreadable .*\\x1b\]0;pwned\\x07\\r' "$out"
grep -q $'[\x01-\x08\x0b-\x1f\x7f]' "$out" && fail "a control character reached the output raw"
[ "$(grep -Ec -- "^[0-9:]{8}  -- prod disconnected" "$out")" -eq 0 ] || fail "a forged line appeared"
# A real job still reports normally after all of it.
"$job" -job after -indir "$work" -direct_port "$port" -steps 3 -delay_ms 10 >/dev/null 2>&1
wait_for "-- after finished" "$out"
alive
peak=$(peak_kb)
echo "monitor peak resident memory after the attacks: $peak kB"
if [ -z "$sanitizers" ]; then
    [ "$peak" -lt "$limit_kb" ] || fail "the monitor grew to $peak kB"
fi
kill "$monitor_pid"

# Out of descriptors: accepting pauses with one line, the monitor does not spin, and
# accepts again once descriptors are free. The sanitizers' own checks need descriptors
# (they test memory through a pipe) and fail for want of them, so they sit this one out.
if [ -n "$sanitizers" ]; then
    echo "attacks: all checks passed (descriptor exhaustion not tried under $sanitizers)"
    exit 0
fi
start_monitor starved "ulimit -n 24;"
out=$work/starved.out
exec {holder}>"$work/holder.sh"
conns=()
for _ in $(seq 40); do
    exec {fd}<>"/dev/tcp/127.0.0.1/$port"
    conns+=("$fd")
done
wait_for "cannot accept a connection \(no file descriptors left" "$out"
before=$(cpu_ticks)
sleep 3
after=$(cpu_ticks)
echo "monitor CPU while out of descriptors: $((after - before)) ticks in 3 s"
[ $((after - before)) -lt 60 ] || fail "the monitor spun: $((after - before)) ticks in 3 s"
[ "$(grep -c "cannot accept" "$out")" -eq 1 ] || fail "more than one line about accepting"
for fd in "${conns[@]}"; do exec {fd}>&-; done
exec {holder}>&-
"$job" -job patient -indir "$work" -direct_port "$port" -steps 2 -delay_ms 10 >/dev/null 2>&1
wait_for "-- patient finished" "$out"
wait_for "-- accepting connections again" "$out"
alive
echo "attacks: all checks passed"
