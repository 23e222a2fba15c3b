#!/usr/bin/env bash
# Installs a build into a temporary prefix, builds a host job against the
# installed package (CMake and pkg-config) and runs it, checking its message file.
#   tests/install/run.sh <build dir> [sanitizers]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
sanitize=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

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
