#!/bin/sh
# Installs the Debian packages given as arguments that are not installed yet,
# in one apt-get transaction after one apt-get update (both only when
# something is missing).
#
# usage: scripts/install-deps.sh PACKAGE...
#        scripts/install-deps.sh --missing PACKAGE...   names what is missing, installs nothing
#
# One run at a time on the machine: a run waits for another one (make demo in
# one terminal, make test in another) on a lock file of the system's, and
# then installs only what is still missing. apt-get waits for the locks of
# any other package manager (an unattended upgrade at boot) rather than
# failing on them. When the packages cannot be installed, it names them and
# the command that installs them, and fails.
#
# TLKORVEL_INSTALL_LOCK: the lock file (default /run/lock/tlkorvel-install-deps.lock,
#                        or in /tmp where /run/lock is not writable)
# TLKORVEL_APT_LOCK_WAIT: how long to wait for apt's and dpkg's locks, in seconds (default 600)
set -eu

# Prints the packages among the arguments that are not installed, one a line.
Missing() {
    [ "$#" -gt 0 ] || return 0
    installed=$(dpkg-query -W -f='${Package} ${Status}\n' "$@" 2>/dev/null |
        sed -n 's/ install ok installed$//p' | tr '\n' ' ')
    for package in "$@"; do
        case " $installed " in
        *" $package "*) ;;
        *) echo "$package" ;;
        esac
    done
}

if [ "${1:-}" = "--missing" ]; then
    shift
    Missing "$@"
    exit 0
fi

missing=$(Missing "$@")
[ -n "$missing" ] || exit 0

if [ "$(id -u)" -eq 0 ]; then
    sudo=""
elif command -v sudo > /dev/null 2>&1; then
    sudo="sudo"
else
    sudo="none"
fi

# Names what is missing and the one command that installs it, and fails.
CannotInstall() {
    # shellcheck disable=SC2086 # one argument per package
    missing=$(Missing $missing | tr '\n' ' ')
    command="apt-get update && apt-get install -y --no-install-recommends ${missing% }"
    case $sudo in
    "") ;;
    none) command="su -c '$command'" ;;
    *) command="sudo sh -c '$command'" ;;
    esac
    {
        echo "install-deps.sh: cannot install the Debian packages this needs: $1."
        echo "Missing: ${missing% }"
        echo "Install them with:"
        echo "    $command"
    } >&2
    exit 1
}

[ "$sudo" != "none" ] || CannotInstall "installing needs root, or sudo"

# One run at a time: the lock is the system's, whatever the checkout. The
# file is opened for reading, so that a lock file made by another account
# serves as well.
lockFolder=/run/lock
if [ ! -d "$lockFolder" ] || [ ! -w "$lockFolder" ]; then
    lockFolder=/tmp
fi
lock=${TLKORVEL_INSTALL_LOCK:-$lockFolder/tlkorvel-install-deps.lock}
[ -e "$lock" ] || (umask 0 && : >> "$lock") 2> /dev/null || true
[ -r "$lock" ] || CannotInstall "cannot open the lock file $lock"
exec 9< "$lock"
if ! flock -n 9; then
    echo "Waiting for another install-deps.sh run to finish (lock file $lock)"
    flock 9
fi
# What that run installed is not installed again.
# shellcheck disable=SC2086
missing=$(Missing $missing)
[ -n "$missing" ] || exit 0

wait=${TLKORVEL_APT_LOCK_WAIT:-600}
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT

# Runs apt-get, which waits for dpkg's lock by itself; a lock it does not
# wait for (apt-get update's on the package lists) is tried again every
# second, within the same limit.
Apt() {
    deadline=$(($(date +%s) + wait))
    waiting=""
    while :; do
        if $sudo env DEBIAN_FRONTEND=noninteractive \
            apt-get -o DPkg::Lock::Timeout="$wait" "$@" 2> "$errors"; then
            cat "$errors" >&2
            return 0
        fi
        if ! grep -q "Could not get lock" "$errors" || [ "$(date +%s)" -ge "$deadline" ]; then
            cat "$errors" >&2
            return 1
        fi
        if [ -z "$waiting" ]; then
            echo "Waiting for another package manager: $(grep -m 1 "Could not get lock" "$errors" | sed 's/^E: //')"
            waiting=yes
        fi
        sleep 1
    done
}

# shellcheck disable=SC2086 # one argument per package
echo "Installing:" $missing
Apt update -qq || CannotInstall "apt-get update failed (is the network reachable?)"
# shellcheck disable=SC2086 # one argument per package
Apt install -y -qq --no-install-recommends $missing || CannotInstall "apt-get install failed"
