# Sourced by the scripts that install Debian packages: one way to refresh the indexes and to
# install, tolerant of a registry that serves an index this step does not need.
#   . "$root/scripts/apt-lib.sh"
#   apt_install_missing PACKAGE...     installs those not installed yet (as root)

# Others may be installing on the same machine: wait for their lock rather than fail.
apt_get() { apt-get -o DPkg::Lock::Timeout=900 "$@"; }

apt_package_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# A mirror in the middle of a sync serves an index of the wrong size, which fails the whole
# update although the packages this step needs may sit in the indexes that did arrive. So:
# retry a few times with a pause, then go on, and let the install name what is missing.
apt_update_tolerant() {
    local attempt attempts=${APT_UPDATE_ATTEMPTS:-3} errors
    errors=$(mktemp)
    for attempt in $(seq 1 "$attempts"); do
        if apt_get "$@" update -qq 2>"$errors" >/dev/null; then
            rm -f "$errors"
            return 0
        fi
        if [ "$attempt" -lt "$attempts" ]; then
            echo "apt-get update failed (attempt $attempt of $attempts); trying again shortly" >&2
            sleep "${APT_UPDATE_PAUSE:-10}"
        fi
    done
    grep -E '^(E|W):' "$errors" | sort -u | sed 's/^/    /' >&2 || true
    echo "apt-get update: some indexes did not download; going on with those that did" >&2
    rm -f "$errors"
    return 0
}

# The packages among the named ones that no index offers, one a line.
apt_unavailable() {
    local package candidate
    for package in "$@"; do
        candidate=$(apt-cache policy "${package%%[=/]*}" 2>/dev/null | sed -n 's/^ *Candidate: *//p')
        if [ -z "$candidate" ] || [ "$candidate" = "(none)" ]; then
            echo "$package"
        fi
    done
}

# Installs the named packages; when that fails, says which of them cannot be had.
apt_install() {
    local log
    log=$(mktemp)
    if DEBIAN_FRONTEND=noninteractive apt_get install -y -qq --no-install-recommends "$@" \
        >"$log" 2>&1; then
        rm -f "$log"
        return 0
    fi
    local unavailable
    unavailable=$(apt_unavailable "$@" | tr '\n' ' ')
    if [ -n "$unavailable" ]; then
        echo "cannot install: no package index offers ${unavailable% }" >&2
    else
        grep -E '^(E|W):' "$log" | sed 's/^/    /' >&2 || true
        echo "apt-get install failed for: $*" >&2
    fi
    rm -f "$log"
    return 1
}

apt_install_missing() {
    local package missing=()
    for package in "$@"; do
        apt_package_installed "$package" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root, or install them yourself)" >&2
        return 1
    fi
    echo "installing ${missing[*]}" >&2
    apt_update_tolerant
    apt_install "${missing[@]}"
}
