#!/usr/bin/env bash
# What a bad or hostile job does to the monitor: huge reports, many fields, huge names that
# come and go, forged lines and terminal escapes in a name, and more connections than the
# monitor has descriptors. The monitor must stay up, say why it dropped a job, show nothing
# raw, not spin, and stay under 64 MB throughout (not measured under sanitizers).
#   monitor_attack_test.sh <ipm_monitor> <ipm_job> [sanitizers]
set -euo pipefail
monitor=$1
job=$2
sanitizers=${3:-}
# shellcheck source=monitor_test_common.sh
source "$(dirname "$0")/monitor_test_common.sh"
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

# A crowd of idle connections that name a job, more than the monitor has descriptors for,
# cannot lock out a job that reports while the crowd holds on. Under a hard limit of 64 the
# connection quiet longest makes way for each new one, with a line saying so; under a soft
# limit of 32 below a hard one of 256 the monitor raises its own and holds them all. The
# sanitizers' own checks need descriptors (they test memory through a pipe) and fail for
# want of them, so they sit this one out.
if [ -n "$sanitizers" ]; then
    echo "attacks: all checks passed (descriptor limits not tried under $sanitizers)"
    exit 0
fi
# Opens $1 connections that each name a job and then say nothing; holds them until killed.
crowd() {
    local count=$1 fd
    for i in $(seq "$count"); do
        exec {fd}<>"/dev/tcp/127.0.0.1/$port" || break
        printf 'idle%d<' "$i" >&"$fd"
    done
    exec sleep 120
}
for limits in "ulimit -n 64;" "ulimit -Sn 32 && ulimit -Hn 256 &&"; do
    name=crowded${#pids[@]}
    start_monitor "$name" "$limits"
    out=$work/$name.out
    crowd 100 &
    crowd_pid=$!
    pids+=("$crowd_pid")
    for _ in $(seq 200); do
        [ "$(grep -c "idle[0-9]* connected from" "$out")" -ge 48 ] && break
        sleep 0.05
    done
    "$job" -job "$name" -indir "$work" -direct_port "$port" -steps 3 -delay_ms 10 \
        >/dev/null 2>&1 &
    pids+=($!)
    wait_for "-- $name finished" "$out"
    kill -0 "$crowd_pid" 2>/dev/null || fail "$limits: the crowd let go before the job came"
    before=$(cpu_ticks)
    sleep 3
    after=$(cpu_ticks)
    echo "$limits monitor CPU with the crowd: $((after - before)) ticks in 3 s"
    [ $((after - before)) -lt 60 ] || fail "the monitor spun: $((after - before)) ticks in 3 s"
    soft=$(awk '/^Max open files/ { print $4 }' "/proc/$monitor_pid/limits")
    dropped=$(grep -c "dropped: quiet for .* it made way for a new one" "$out" || true)
    echo "$limits open files $soft, connections that made way: $dropped"
    case $limits in
    "ulimit -n 64;") [ "$dropped" -gt 0 ] || fail "the crowd filled the monitor, nothing said" ;;
    *)
        [ "$soft" -eq 256 ] || fail "the monitor left its open files at $soft"
        [ "$dropped" -eq 0 ] || fail "connections dropped with descriptors to spare"
        ;;
    esac
    alive
    kill "$crowd_pid" "$monitor_pid"
done
echo "attacks: all checks passed"
