# Shared by the scripts that run the built demo job against the built monitor.
# Sourced after setting `monitor` and `job`; gives a work directory removed at exit,
# `pids` (processes killed at exit) and `fail`, which shows every *.out of the run.
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for file in "$work"/*.out; do echo "--- $file" >&2; cat "$file" >&2; done
    exit 1
}
