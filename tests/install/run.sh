#!/usr/bin/env bash
# Installs a build into a temporary prefix, builds host jobs against the installed package
# (CMake and pkg-config) and runs them, checking their message files; runs the installed
# demo job against the installed monitor.
#   tests/install/run.sh <build dir> [sanitizers]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
sanitize=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The installed monitor's history goes to the run's own directory, never to the user's.
export XDG_STATE_HOME=$work/state

cmake --install "$build" --prefix "$work/prefix" >/dev/null

cmake -S "$here" -B "$work/host" -DCMAKE_PREFIX_PATH="$work/prefix" \
    -DQORKEL_SANITIZE="$sanitize" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$work/host" >/dev/null

libdir=$(dirname "$(find "$work/prefix" -name 'libQORKelCommunications.so*' | head -1)")
mkdir "$work/indir"
LD_LIBRARY_PATH="$libdir" "$work/host/qorkel_host" -job hostjob -message on -indir "$work/indir"

file="$work/indir/hostjob.ipm"
expected_error='<Error><step type="integer">3</step><load type="float">0.5</load><message type="string">a &lt; b</message><phase type="symconst"></phase><jobName type="string">hostjob</jobName></Error>'
[ "$(wc -l < "$file")" -eq 2 ] || { echo "expected 2 reports in $file:"; cat "$file"; exit 1; }
head -1 "$file" | grep -q '^<Started><message type="string">install test</message>.*<clientHost type="string">.*<handle type="integer">[0-9]*</handle></Started>$' \
    || { echo "bad start report:"; cat "$file"; exit 1; }
[ "$(sed -n 2p "$file")" = "$expected_error" ] || { echo "bad error report:"; cat "$file"; exit 1; }

# A project of the host's own: C only, and C++14, which the package raises to C++17.
for language in C CXX; do
    cmake -S "$here/consumer" -B "$work/consumer-$language" -DCMAKE_PREFIX_PATH="$work/prefix" \
        -DQORKEL_HOST_LANGUAGE=$language -DQORKEL_SANITIZE="$sanitize" >/dev/null
    cmake --build "$work/consumer-$language" >"$work/consumer.log" 2>&1 ||
        { echo "the $language consumer does not build:"; cat "$work/consumer.log"; exit 1; }
done
LD_LIBRARY_PATH="$libdir" "$work/consumer-CXX/host" -job cxx14 -message on -indir "$work/indir"
grep -q '<message type="string">from C++14</message>' "$work/indir/cxx14.ipm" ||
    { echo "the C++14 host recorded nothing"; exit 1; }
LD_LIBRARY_PATH="$libdir" "$work/consumer-C/host"

# The demo job and the monitor, run from the prefix as installed, finding the installed library
# by themselves.
if [ -x "$build/job/ipm_job" ]; then
    bin=$work/prefix/bin
    [ -x "$bin/ipm_job" ] && [ -x "$bin/ipm_monitor" ] || { echo "the programs are not installed"; exit 1; }
    libraries=$(env -u LD_LIBRARY_PATH ldd "$bin/ipm_job")
    grep -q "=> $work/prefix/.*libQORKelCommunications" <<<"$libraries" ||
        { echo "the installed job does not use the installed library:"; echo "$libraries"; exit 1; }
    env -u LD_LIBRARY_PATH "$bin/ipm_monitor" -plain -exit_when_idle -port 0 -port_file "$work/port" \
        </dev/null >"$work/monitor.out" 2>&1 &
    monitor_pid=$!
    for _ in $(seq 200); do [ -s "$work/port" ] && break; sleep 0.05; done
    env -u LD_LIBRARY_PATH "$bin/ipm_job" -job installed -indir "$work/indir" \
        -direct_port "$(cat "$work/port")" -steps 3 -delay_ms 10 >"$work/job.out" 2>&1 ||
        { echo "the installed job failed:"; cat "$work/job.out"; kill "$monitor_pid"; exit 1; }
    for _ in $(seq 300); do kill -0 "$monitor_pid" 2>/dev/null || break; sleep 0.05; done
    kill "$monitor_pid" 2>/dev/null && { echo "the installed monitor did not end:"; cat "$work/monitor.out"; exit 1; }
    wait "$monitor_pid" || { echo "the installed monitor failed:"; cat "$work/monitor.out"; exit 1; }
    recorded=$(grep -c '</jobName>' "$work/indir/installed.ipm")
    grep -q -- "-- installed disconnected: $recorded reports" "$work/monitor.out" ||
        { echo "the installed monitor did not get the $recorded reports:"; cat "$work/monitor.out" "$work/job.out"; exit 1; }
fi

# pkg-config alone is enough for a C host.
if command -v pkg-config >/dev/null && command -v cc >/dev/null; then
    pcdir=$(dirname "$(find "$work/prefix" -name QORKelCommunications.pc | head -1)")
    flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs QORKelCommunications)
    extra=${sanitize:+-fsanitize=$sanitize}
    # shellcheck disable=SC2086
    cc $extra "$here/c_host.c" $flags -o "$work/c_host"
    LD_LIBRARY_PATH="$libdir" "$work/c_host"
fi
echo "install test passed"
