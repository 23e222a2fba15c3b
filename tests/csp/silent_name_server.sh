#!/usr/bin/env bash
# Runs the lookup tests that need a name server which never answers: in private network and
# mount namespaces, the resolver is pointed at 127.0.0.1, where the test itself holds UDP port
# 53 open and answers nothing. Needs root and unshare; skipped (exit 77) without them.
#   silent_name_server.sh <test program> <gtest filter>
set -euo pipefail
program=$1
filter=$2
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null 2>&1; then
    echo "skipped: needs root and unshare" >&2
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'nameserver 127.0.0.1\noptions timeout:30 attempts:1\n' >"$work/resolv.conf"
if ! unshare --net --mount true 2>/dev/null; then
    echo "skipped: no private namespaces here" >&2
    exit 77
fi
export QORKEL_SILENT_NAME_SERVER=1
unshare --net --mount bash -c '
    ip link set lo up
    mount --bind "$1" /etc/resolv.conf
    exec "$2" --gtest_filter="$3"' _ "$work/resolv.conf" "$program" "$filter"
