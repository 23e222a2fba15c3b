#!/usr/bin/env bash
# A host that forks while reporting, or leaves by exit() while eight threads report, never hangs
# or crashes, however often it is tried.
#   fork_exit.sh <fork_exit_host> [RUNS]     every mode RUNS times (default 3)
# A run that takes longer than its bound is a hang: it is killed and the test fails. exit() has
# the shut-down deadline of 30 s by default; it must wait only for the few reports that were
# pending when it began, never for those the threads go on making.
set -euo pipefail
host=$1
runs=${2:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Errors past the first only take the locks and the message file.
export MAX_ERROR_MESSAGES=1
unset IPM_SHUTDOWN_SECONDS MAX_PENDING_MESSAGES

failed=0
slowest_exit=0
for run in $(seq "$runs"); do
    for mode in fork-exit fork-stop-exit fork-_exit exit-reporting; do
        dir=$work/$run-$mode
        mkdir "$dir"
        started=$(date +%s%N)
        status=0
        # Three pending reports at most while the threads flood it.
        limit=1000
        [ "$mode" = exit-reporting ] && limit=3
        MAX_PENDING_MESSAGES=$limit timeout -k 5 60 "$host" "$mode" "$dir" >"$dir/out" 2>&1 ||
            status=$?
        took=$((($(date +%s%N) - started) / 1000000))
        if [ "$status" -ne 0 ]; then
            echo "FAIL: run $run, $mode: status $status after $took ms (124: it hung)"
            cat "$dir/out"
            failed=1
        elif grep -q "Sanitizer" "$dir/out"; then
            # A sanitizer's report while the process exits may leave its status at 0.
            echo "FAIL: run $run, $mode: a sanitizer reported"
            cat "$dir/out"
            failed=1
        elif [ "$mode" = exit-reporting ]; then
            [ "$took" -gt "$slowest_exit" ] && slowest_exit=$took
            if [ "$took" -gt 10000 ]; then
                echo "FAIL: run $run: exit() took $took ms while threads reported"
                failed=1
            fi
        fi
        [ "$failed" -eq 0 ] && rm -rf "$dir"
    done
    [ "$failed" -eq 0 ] || exit 1
done
echo "fork and exit: $runs runs of each mode passed; slowest exit() $slowest_exit ms"
