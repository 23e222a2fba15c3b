#!/usr/bin/env bash
# A host that forks while reporting, or leaves by exit() while eight threads report, never hangs
# or crashes, however often it is tried.
#   fork_exit.sh <fork_exit_host> [RUNS] [AT_ONCE]   every mode RUNS times (default 3), AT_ONCE
#                                                    hosts at a time (default 1)
# A run that takes longer than its bound is a hang: it is killed and the test fails. exit() has
# the shut-down deadline of 30 s by default; it must wait only for the few reports that were
# pending when it began, never for those the threads go on making. A host spends most of its
# time waiting for its child or its monitor, so many runs at once cost little more than one.
set -euo pipefail
host=$1
runs=${2:-3}
at_once=${3:-1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Errors past the first only take the locks and the message file.
export MAX_ERROR_MESSAGES=1
unset IPM_SHUTDOWN_SECONDS MAX_PENDING_MESSAGES

# One host run; what went wrong goes to its folder's "verdict", and the time exit() took to
# its "took".
try_mode() {
    local run=$1 mode=$2
    local dir=$work/$run-$mode
    mkdir "$dir"
    local started status=0 took
    started=$(date +%s%N)
    # Three pending reports at most while the threads flood it.
    local limit=1000
    [ "$mode" = exit-reporting ] && limit=3
    MAX_PENDING_MESSAGES=$limit timeout -k 5 60 "$host" "$mode" "$dir" >"$dir/out" 2>&1 ||
        status=$?
    took=$((($(date +%s%N) - started) / 1000000))
    if [ "$status" -ne 0 ]; then
        echo "FAIL: run $run, $mode: status $status after $took ms (124: it hung)" >"$dir/verdict"
    elif grep -q "Sanitizer" "$dir/out"; then
        # A sanitizer's report while the process exits may leave its status at 0.
        echo "FAIL: run $run, $mode: a sanitizer reported" >"$dir/verdict"
    elif [ "$mode" = exit-reporting ]; then
        echo "$took" >"$dir/took"
        [ "$took" -le 10000 ] ||
            echo "FAIL: run $run: exit() took $took ms while threads reported" >"$dir/verdict"
    fi
}

for run in $(seq "$runs"); do
    for mode in fork-exit fork-stop-exit fork-_exit exit-reporting; do
        while [ "$(jobs -rp | wc -l)" -ge "$at_once" ]; do wait -n || true; done
        try_mode "$run" "$mode" &
    done
done
wait

failed=0
for verdict in "$work"/*/verdict; do
    [ -e "$verdict" ] || continue
    cat "$verdict"
    cat "$(dirname "$verdict")/out"
    failed=1
done
[ "$failed" -eq 0 ] || exit 1
slowest_exit=$(cat "$work"/*/took 2>/dev/null | sort -n | tail -1)
echo "fork and exit: $runs runs of each mode passed, $at_once at a time;" \
    "slowest exit() ${slowest_exit:-0} ms"
