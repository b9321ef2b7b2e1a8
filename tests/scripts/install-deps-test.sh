#!/bin/bash
# scripts/install-deps.sh against stand-ins for apt-get, dpkg-query and sudo
# (first on PATH), which install nothing: each case starts two runs at once,
# as make demo in one terminal and make test in another would, and both must
# succeed with every package installed.
#
# The stand-in apt-get holds the package system's lock while it works and
# fails as apt-get does when it finds the lock held: "update" at once (apt
# does not wait for the package lists' lock), "install" after waiting
# DPkg::Lock::Timeout seconds. Another package manager holding that lock for
# a second is played by flock.
#
# usage: tests/scripts/install-deps-test.sh SCRIPT     (ctest, install_deps_tests)
#
# The last line of output is "N passed, N failed"; the exit status is 0 only
# when nothing failed.

set -u

script=$(cd "$(dirname "${1:?usage: $0 SCRIPT}")" && pwd)/$(basename "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
Pass() { passed=$((passed + 1)); echo "ok      $*"; }
Fail() { failed=$((failed + 1)); echo "FAILED  $*"; }

# ---------------------------------------------------------------- stand-ins

mkdir -p "$work/bin"
cat > "$work/bin/apt-get" << 'EOF'
#!/bin/sh
# apt-get update|install [PACKAGE...]: installs into $STATE/installed.
# Refusals (the lock found held) go to $STATE/refused.
timeout=0
while [ $# -gt 0 ]; do
    case $1 in
    -o) case $2 in DPkg::Lock::Timeout=*) timeout=${2#*=} ;; esac; shift 2 ;;
    -*) shift ;;
    *) break ;;
    esac
done
command=$1
shift
[ "$command" = update ] && [ -n "${NO_NETWORK:-}" ] && {
    echo "E: Failed to fetch http://deb.debian.org/debian/dists/bookworm/InRelease" >&2
    exit 100
}
exec 8> "$STATE/apt.lock"
[ "$command" = update ] && timeout=0
if ! flock -w "$timeout" 8; then
    echo "$command" >> "$STATE/refused"
    echo "E: Could not get lock $STATE/apt.lock. It is held by process 1 (apt-get)" >&2
    exit 100
fi
sleep 0.3 # the work, long enough for a second run to meet the lock
for package in "$@"; do
    case $package in -*) ;; *) echo "$package" >> "$STATE/installed" ;; esac
done
# Another package manager takes the lock as soon as the first update ends.
if [ "$command" = update ] && [ -n "${HOLD_AFTER_UPDATE:-}" ] && mkdir "$STATE/held" 2> /dev/null; then
    exec 8>&-
    flock "$STATE/apt.lock" -c "touch '$STATE/holding'; sleep 1" > /dev/null 2>&1 &
    while [ ! -e "$STATE/holding" ]; do sleep 0.05; done
fi
exit 0
EOF
cat > "$work/bin/dpkg-query" << 'EOF'
#!/bin/sh
# dpkg-query -W -f=FORMAT PACKAGE...: "PACKAGE install ok installed" for the
# packages in $STATE/installed.
shift 2
status=0
for package in "$@"; do
    if grep -qx "$package" "$STATE/installed" 2> /dev/null; then
        echo "$package install ok installed"
    else
        echo "dpkg-query: no packages found matching $package" >&2
        status=1
    fi
done
exit $status
EOF
printf '#!/bin/sh\nexec "$@"\n' > "$work/bin/sudo"
chmod +x "$work/bin/"*

# ---------------------------------------------------------------- cases

# TwoRuns NAME SETTINGS FIRST SECOND: one run installing the packages FIRST
# (words) and, started at the same time, one installing SECOND; SETTINGS are
# the stand-ins' environment. Both must succeed, and leave every package
# installed. "lock held" starts with another package manager holding the
# lock for a second.
TwoRuns() {
    local name=$1 settings=$2 first=$3 second=$4
    local state=$work/$name
    mkdir -p "$state"
    if [[ $settings == "lock held" ]]; then
        flock "$state/apt.lock" -c "touch '$state/holding'; sleep 1" > /dev/null 2>&1 &
        while [ ! -e "$state/holding" ]; do sleep 0.05; done
        settings=""
    fi
    local -a environment=(PATH="$work/bin:$PATH" STATE="$state"
        TLKORVEL_INSTALL_LOCK="$state/install.lock" TLKORVEL_APT_LOCK_WAIT=30 ${settings:+"$settings"})
    # shellcheck disable=SC2086 # one argument per package
    env "${environment[@]}" "$script" $first > "$state/first.out" 2>&1 &
    local firstRun=$!
    # shellcheck disable=SC2086
    env "${environment[@]}" "$script" $second > "$state/second.out" 2>&1
    local secondStatus=$?
    wait "$firstRun"
    local firstStatus=$?
    local package missing=""
    for package in $first $second; do
        grep -qx "$package" "$state/installed" 2> /dev/null || missing="$missing $package"
    done
    if [ "$firstStatus" -eq 0 ] && [ "$secondStatus" -eq 0 ] && [ -z "$missing" ]; then
        Pass "$name"
    else
        Fail "$name: exit statuses $firstStatus and $secondStatus; not installed:${missing:- none}"
        sed 's/^/    first:  /' "$state/first.out"
        sed 's/^/    second: /' "$state/second.out"
    fi
}

TwoRuns "two runs at once" "" "alpha beta" "beta gamma"
TwoRuns "two runs at once, the package lists locked for a second" "lock held" "alpha" "beta"
TwoRuns "two runs at once, dpkg locked for a second after the update" "HOLD_AFTER_UPDATE=1" "alpha" "beta"

# Neither apt-get of the first case met the other's lock: the runs took
# turns rather than trying again.
if [ ! -e "$work/two runs at once/refused" ]; then
    Pass "two runs at once take turns"
else
    Fail "two runs at once met each other's lock in apt-get: $(tr '\n' ' ' < "$work/two runs at once/refused")"
fi

# What is installed already is not asked for again.
state=$work/installed
mkdir -p "$state"
printf 'alpha\nbeta\n' > "$state/installed"
if PATH="$work/bin:$PATH" STATE=$state "$script" alpha beta > "$state/out" 2>&1 &&
    [ ! -s "$state/out" ] && [ ! -e "$state/apt.lock" ]; then
    Pass "nothing missing: apt-get does not run"
else
    Fail "nothing missing: apt-get does not run"
    sed 's/^/    /' "$state/out"
fi

# No network: the run fails, naming what is missing and the command.
state=$work/offline
mkdir -p "$state"
echo "alpha" > "$state/installed"
PATH="$work/bin:$PATH" STATE=$state NO_NETWORK=1 TLKORVEL_INSTALL_LOCK="$state/install.lock" \
    "$script" alpha beta gamma > "$state/out" 2>&1
status=$?
if [ "$status" -ne 0 ] && grep -qx "Missing: beta gamma" "$state/out" &&
    grep -qE "^    (sudo sh -c '|su -c ')?apt-get update && apt-get install -y --no-install-recommends beta gamma'?$" "$state/out"; then
    Pass "no network: names what is missing and the command"
else
    Fail "no network: names what is missing and the command (exit status $status)"
    sed 's/^/    /' "$state/out"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
