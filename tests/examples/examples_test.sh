#!/usr/bin/env bash
# The examples as a user builds them: the build installed into a temporary prefix, programs
# built against the installed package, each run against the monitor.
#   examples_test.sh BUILD MONITOR sanitize=SANITIZERS examples TRANSPORT EXAMPLE...
#       examples/ built with CMake (find_package for C++, pkg-config for C and Fortran); each
#       named example run to its end and stopped by a Kill, over direct or jabber
#   examples_test.sh BUILD MONITOR sanitize=SANITIZERS readme
#       what a newcomer does: the README's C example, built with the README's command (and
#       -Wall -Wextra -Werror, by cc and by clang)
#   examples_test.sh BUILD MONITOR sanitize=SANITIZERS forgotten-stop
#       a host that never stops reporting leaves at once with its message file complete
#   examples_test.sh BUILD MONITOR sanitize=SANITIZERS fortran-helpers
#       the Fortran module's helpers, built by hand with pkg-config, record what they must
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "$1" && pwd)
monitor=$2
sanitize=${3#sanitize=}
what=$4
shift 4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libQORKelCommunications.so*' | head -1)")
# As the README tells a user whose library is not in a system directory.
export PKG_CONFIG_PATH=$libdir/pkgconfig LD_LIBRARY_PATH=$libdir
sanitize_flags=${sanitize:+-fsanitize=$sanitize}

case $what in
examples)
    transport=$1
    shift
    cmake -S "$root/examples" -B "$work/examples" -DCMAKE_PREFIX_PATH="$prefix" \
        -DQORKEL_SANITIZE="$sanitize" -DCMAKE_BUILD_TYPE=Debug >/dev/null
    cmake --build "$work/examples" >/dev/null
    for example in "$@"; do
        [ -x "$work/examples/$example" ] ||
            { echo "FAIL: $example not built (gfortran missing? scripts/install-deps installs it)"; exit 1; }
        # Direct, each example is also started before its monitor.
        bash "$here/run_example.sh" "$monitor" "$work/examples/$example" "$transport" \
            "$([ "$transport" = direct ] && echo late-monitor)"
    done
    ;;
readme)
    # The first C block of the README is the example, word for word.
    awk '/^```c$/ { inside = 1; next } /^```$/ && inside { exit } inside' "$root/README.md" \
        >"$work/example.c"
    diff -u "$root/examples/example.c" "$work/example.c" ||
        { echo "FAIL: the README's C example is not examples/example.c"; exit 1; }
    command=$(sed -n 's/^    \(cc example\.c .*\)$/\1/p' "$root/README.md" | head -1)
    [ -n "$command" ] || { echo "FAIL: no build command for example.c in the README"; exit 1; }
    # Warnings are errors: a C host's main passes char** argv, and newer compilers refuse
    # what older ones only warned about. Each C compiler there is builds it.
    strict="-Wall -Wextra -Werror"
    echo "building as the README says: $command $strict"
    (cd "$work" && eval "$command $strict $sanitize_flags")
    command -v clang >/dev/null ||
        { echo "FAIL: clang missing (scripts/install-deps installs it)"; exit 1; }
    (cd "$work" && eval "${command/#cc /clang } $strict -o example-clang")
    bash "$here/run_example.sh" "$monitor" "$work/example" direct
    ;;
forgotten-stop)
    # shellcheck disable=SC2046
    cc $sanitize_flags "$here/forgetful_host.c" $(pkg-config --cflags --libs QORKelCommunications) \
        -o "$work/forgetful_host"
    bash "$here/forgetful_host.sh" "$monitor" "$work/forgetful_host" delivers
    ;;
fortran-helpers)
    # shellcheck disable=SC2046
    gfortran $sanitize_flags -J "$work" \
        $(pkg-config --variable=fortran_module QORKelCommunications) \
        "$here/fortran_helpers.f90" $(pkg-config --libs QORKelCommunications) \
        -o "$work/fortran_helpers"
    mkdir "$work/in"
    "$work/fortran_helpers" "$work/in" || { echo "FAIL: exit status $?"; exit 1; }
    tail='<phase type="symconst"></phase><jobName type="string">fhelp</jobName></Info>'
    cat >"$work/expected" <<EXPECTED
<Info><count type="integer">7</count><ratio type="float">0.5</ratio><name type="string">two words</name><flag type="boolean">true</flag>$tail
<Info><count type="integer">5</count><more type="integer">0</more><ratio type="float">0</ratio><name type="string"></name><kind type="symconst"></kind>$tail
<Info><count type="integer">1</count><name type="string">a</name>$tail
<Info><count type="integer">4</count><ratio type="float">-2.25</ratio>$tail
<Info>$tail
EXPECTED
    diff -u "$work/expected" "$work/in/fhelp.ipm" ||
        { echo "FAIL: the message file differs from what the reports must record"; exit 1; }
    echo "Fortran helpers: all checks passed"
    ;;
*)
    echo "unknown test '$what'" >&2
    exit 2
    ;;
esac
