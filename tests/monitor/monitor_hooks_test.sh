#!/usr/bin/env bash
# The commands of -on_end and -on_error: run once per job and event, with the job's name,
# state and message in their environment, never through a shell. A job whose name is a
# shell attack ($(...), backquotes, quotes, a line feed, a semicolon) runs nothing but the
# command; its name reaches the command byte for byte.
#   monitor_hooks_test.sh <ipm_monitor> <ipm_job>
set -euo pipefail
monitor=$1
job=$2
# shellcheck source=monitor_test_common.sh
source "$(dirname "$0")/monitor_test_common.sh"

# The command records each run in a file of its own: its arguments and variables, each
# ended by a NUL, so that a line feed in a name stays a line feed.
mkdir -p "$work/runs" "$work/cwd"
cat >"$work/hook" <<'HOOK'
#!/usr/bin/env bash
out=$(mktemp "$HOOK_DIR/run.XXXXXX")
printf '%s\0' "$#" "$@" "$IPM_EVENT" "$IPM_JOB" "$IPM_JOB_NAME" "$IPM_STATE" "$IPM_MESSAGE" \
    "$IPM_ERRORS" >"$out"
HOOK
chmod +x "$work/hook"
export HOOK_DIR=$work/runs

cd "$work/cwd"
start_direct_monitor hooks /dev/null 0 -on_end "$work/hook first  second" -on_error "$work/hook"
out=$work/hooks.out

# The hostile job: three errors, then its connection drops without a final report.
hostile='$(touch pwned1)`touch pwned2`"; touch pwned3; '"'"'$(touch pwned4)'"'"'
touch pwned5 && echo "'
error='<Error><message type="string">boom $(touch pwned6)</message></Error>'
{
    printf '%s' "$hostile"
    printf '<Started><steps type="integer">3</steps></Started>'
    printf '%s' "$error" "$error" "$error"
} >"/dev/tcp/127.0.0.1/$port"
# A well-behaved job that finishes.
"$job" -job calm -indir "$work" -direct_port "$port" -steps 3 -delay_ms 20 >/dev/null 2>&1 ||
    fail "calm job failed"

runs() { find "$work/runs" -type f | wc -l; }
for _ in $(seq 200); do [ "$(runs)" -ge 4 ] && break; sleep 0.05; done
sleep 0.5
[ "$(runs)" -eq 4 ] || fail "expected 4 runs of the command (2 jobs: end; hostile: error; calm: error), got $(runs)"

# Every run, as "event|job|state|message|arguments" with the NULs of the name made visible.
summary=$work/summary
for file in "$work"/runs/run.*; do
    mapfile -d '' fields <"$file"
    count=${fields[0]}
    arguments=("${fields[@]:1:$count}")
    rest=("${fields[@]:$((1 + count))}")
    [ "${rest[1]}" = "${rest[2]}" ] || fail "IPM_JOB ${rest[1]} and IPM_JOB_NAME ${rest[2]} differ"
    if [ "${rest[1]}" = "$hostile" ]; then name=hostile; else name=${rest[1]}; fi
    printf '%s|%s|%s|%s|%s\n' "${rest[0]}" "$name" "${rest[3]}" "${rest[4]}" \
        "${arguments[*]}" >>"$summary"
done
sort "$summary" >"$summary.sorted"
# The error command runs at the first error only, whose message it gets; the end command
# once, with the state the job ended in and its words as given.
grep -qx 'error|hostile|running|boom $(touch pwned6)|' "$summary.sorted" ||
    fail "no single error run for the hostile job: $(cat "$summary.sorted")"
grep -qx 'end|hostile|lost|boom $(touch pwned6)|first second' "$summary.sorted" ||
    fail "no end run for the hostile job: $(cat "$summary.sorted")"
grep -Eqx 'end\|calm\|finished\|All steps done\|first second' "$summary.sorted" ||
    fail "no end run for calm: $(cat "$summary.sorted")"
grep -Eqx 'error\|calm\|running\|.*Jacobian.*\|' "$summary.sorted" ||
    fail "no error run for calm: $(cat "$summary.sorted")"

# Nothing but the command ran: no file from the name or the message appeared anywhere.
found=$(find "$work" / -maxdepth 1 -name 'pwned*' 2>/dev/null | head -n 3)
[ -z "$found" ] || fail "the name ran as a command: $found"
[ -z "$(ls -A "$work/cwd")" ] || fail "files appeared: $(ls -A "$work/cwd")"

# A command that cannot run is said, and the monitor goes on.
kill "$monitor_pid"
wait "$monitor_pid" || true
start_direct_monitor missing /dev/null 0 -on_end "$work/no-such-command"
"$job" -job third -indir "$work" -direct_port "$port" -steps 2 -delay_ms 10 >/dev/null 2>&1
for _ in $(seq 100); do grep -q "cannot run" "$work/missing.out" && break; sleep 0.05; done
grep -q -- "-- -on_end for third: cannot run $work/no-such-command (No such file or directory)" \
    "$work/missing.out" || fail "a command that cannot run was not said"
kill -0 "$monitor_pid" || fail "the monitor stopped"
echo "hooks: all checks passed"
