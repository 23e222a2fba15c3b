#!/usr/bin/env bash
# The monitor's board in a real terminal (tmux), with jobs running, finishing, killed with
# SIGKILL, frozen with SIGSTOP and stopped by a typed "kill"; the screens are printed.
#   monitor_board_test.sh <ipm_monitor> <ipm_job>
set -euo pipefail
monitor=$1
job=$2
command -v tmux >/dev/null || { echo "tmux is not installed (scripts/install-deps)"; exit 1; }
# shellcheck source=monitor_test_common.sh
source "$(dirname "$0")/monitor_test_common.sh"
tmux=(tmux -S "$work/tmux.socket")
cleanup_tmux() { "${tmux[@]}" kill-server 2>/dev/null || true; }
trap 'cleanup_tmux; cleanup' EXIT

screen() { "${tmux[@]}" capture-pane -p -t board:0; }
# Waits up to $2 seconds for the screen to match the extended regex $1; prints the seconds.
wait_screen() {
    local pattern=$1 limit=$2 start=$SECONDS
    while ! screen | grep -Eq -- "$pattern"; do
        [ $((SECONDS - start)) -ge "$limit" ] && { screen >&2; fail "screen never showed: $pattern"; }
        sleep 0.1
    done
}
# The table row of a job: its name in the first column.
row() { screen | grep -E "^$1 +(running|silent|finished|lost|killed) " || true; }
wait_state() {
    local name=$1 state=$2 limit=$3
    local deadline=$((SECONDS + limit))
    until row "$name" | grep -q " $state "; do
        [ $SECONDS -ge $deadline ] && { screen >&2; fail "$name never shown $state"; }
        sleep 0.05
    done
}
show() { echo "---- $1"; screen; }

mkdir -p "$work/in"
"${tmux[@]}" new-session -d -s board -x 150 -y 40 \
    "env -u NO_COLOR '$monitor' -port 0 -port_file '$work/port' -silent_after 2; sleep 30"
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
[ -s "$work/port" ] || fail "no port file"
port=$(cat "$work/port")
wait_screen "ipm_monitor +listening on 127.0.0.1:$port" 10

start_job() {
    local name=$1
    shift
    "$job" -job "$name" -indir "$work/in" -direct_port "$port" "$@" >"$work/$name-job.out" 2>&1 &
    pids+=($!)
    eval "${name}_pid=$!"
}
start_job steady -steps 1000 -delay_ms 200
start_job quick -steps 3 -delay_ms 50
start_job crash -steps 1000 -delay_ms 200
wait_state quick finished 20
wait_screen "crash +running .*[0-9]+/1000" 20

# SIGKILL: the connection closes with no final report; the job is lost at once.
kill -9 "$crash_pid"
killed_at=$(date +%s%N)
wait_state crash lost 10
lost_after=$((($(date +%s%N) - killed_at) / 1000000))
show "three jobs: running, finished, killed with SIGKILL (shown lost after ${lost_after} ms)"
row steady | grep -q " running " || fail "steady not running"
screen | grep -Eq -- "-- crash lost: the connection closed without a final report" ||
    fail "no line about crash"

# SIGSTOP: silent once the silence time has passed, running again after SIGCONT.
kill -STOP "$steady_pid"
wait_state steady silent 10
show "steady frozen with SIGSTOP"
kill -CONT "$steady_pid"
wait_state steady running 10
screen | grep -Eq -- "-- steady running: reporting again" || fail "no line about steady's return"

# Progress as a bar, a pace and an ETA; the selected job's residual plotted under the table,
# another of its numbers with the right arrow, another job with the down arrow.
row steady | grep -Eq " \[#*\.*\] +[0-9]+/1000 [0-9]+% +[0-9.]+/min +[0-9]+:[0-9]{2} " ||
    { screen >&2; fail "no bar, pace and ETA for steady"; }
"${tmux[@]}" send-keys -t board:0 "select steady" Enter
wait_screen -- "-- plot: steady residual \(log scale\), steps 1 to [0-9]+" 5
screen | grep -A "$((6 + 1))" -- "-- plot: steady" | grep -Eq '^ +1e-06\|' ||
    { screen >&2; fail "the plot's log axis does not reach 1e-06"; }
"${tmux[@]}" send-keys -t board:0 Right
wait_screen -- "-- plot: steady time, steps 1 to" 5
show "steady selected, its time plotted"
"${tmux[@]}" send-keys -t board:0 "select none" Enter
for _ in $(seq 50); do screen | grep -q -- "-- plot:" || break; sleep 0.1; done
screen | grep -q -- "-- plot:" && fail "the plot stays after select none"

# Typed commands go to the command line at the bottom, never into the reports.
"${tmux[@]}" send-keys -t board:0 "lis"
wait_screen "^> lis$" 5
[ "$(screen | tail -n 1)" = "> lis" ] || fail "typed text not on the bottom line"
"${tmux[@]}" send-keys -t board:0 "t" Enter
wait_screen -- "-- 3 jobs: 1 running, 1 finished, 1 lost" 5
"${tmux[@]}" send-keys -t board:0 "kill steady" Enter
wait_state steady killed 10
wait_screen -- "-- steady killed: stopped [0-9.]+ s after the Kill" 5
"${tmux[@]}" send-keys -t board:0 "kill steady" Enter
wait_screen -- "-- no Kill sent to steady: it has already been killed" 5
show "after 'kill steady' typed twice"

# Colour for states and problems; none when NO_COLOR is set.
"${tmux[@]}" capture-pane -e -p -t board:0 | grep -q $'\e\\[3[1-6]m' || fail "no colours"
"${tmux[@]}" new-window -t board -n plain \
    "NO_COLOR=1 '$monitor' -port 0 -port_file '$work/port2'; sleep 30"
for _ in $(seq 100); do [ -s "$work/port2" ] && break; sleep 0.05; done
"$job" -job grey -indir "$work/in" -direct_port "$(cat "$work/port2")" -steps 8 -delay_ms 10 \
    >/dev/null 2>&1
sleep 1
"${tmux[@]}" capture-pane -e -p -t board:plain | grep -q "grey" || fail "second board empty"
"${tmux[@]}" capture-pane -e -p -t board:plain | grep -q $'\e\\[3[1-6]m' && fail "colours despite NO_COLOR"

# A replay on the board stays until quit, with the file's reports and the job's end.
"${tmux[@]}" new-window -t board -n replay \
    "'$monitor' -replay '$work/in/quick.ipm'; echo replay-ended; sleep 30"
replay_screen() { "${tmux[@]}" capture-pane -p -t board:replay; }
for _ in $(seq 100); do replay_screen | grep -q "all reports read; type quit to leave" && break; sleep 0.1; done
sleep 1
replay_screen | grep -Eq "^quick +finished " || { replay_screen >&2; fail "replay board lacks quick"; }
replay_screen | grep -q "replay-ended" && fail "the replay's board closed by itself"
"${tmux[@]}" send-keys -t board:replay "quit" Enter
for _ in $(seq 100); do replay_screen | grep -q "replay-ended" && break; sleep 0.1; done
replay_screen | grep -q -- "-- summary: 1 job: 1 finished" || { replay_screen >&2; fail "no summary after quit"; }

# quit names the jobs still connected; a second quit leaves and prints the summary.
start_job late -steps 1000 -delay_ms 200
wait_state late running 10
"${tmux[@]}" send-keys -t board:0 "quit" Enter
wait_screen -- "-- still connected: late" 5
"${tmux[@]}" send-keys -t board:0 "quit" Enter
wait_screen -- "-- summary: 4 jobs: 1 running, 1 finished, 1 lost, 1 killed" 10
show "after quit, quit"
echo "board: all checks passed (SIGKILL shown lost after ${lost_after} ms)"
