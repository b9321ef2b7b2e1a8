# Booted Debian containers for the tests of the package: the counted checks,
# the root file system made with debootstrap, and containers booted with
# systemd-nspawn from a cgroup of their own. Sourced by package-test.sh and
# failover-test.sh, which set:
#   run_log   the file that gets every command's output and each journal
#   passed, failed   the counters
# and call StopContainer for each container they booted when they end.

# ---------------------------------------------------------------- checks

Pass() { passed=$((passed + 1)); echo "ok      $*"; }
Fail() { failed=$((failed + 1)); echo "FAILED  $*"; }
# Check DESCRIPTION COMMAND...: one counted check; its status is the command's.
Check() {
    local what=$1
    shift
    if "$@" >> "$run_log" 2>&1; then Pass "$what"; else Fail "$what" && return 1; fi
}
Fatal() {
    Fail "$*"
    exit 1
}
# WaitFor SECONDS COMMAND...: polls the command every fifth of a second.
WaitFor() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >> "$run_log" 2>&1; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

# ------------------------------------------------------- the root file system

# MakeRoot CACHE DEB: makes the root file system in a folder of CACHE named
# after its packages, unless it is there, and sets root to that folder:
# systemd as PID 1, man, and the package's dependencies and recommendations
# (keepalived among them). Like the installed Debian packages it stays for
# later runs, from any clone, until the package's dependencies change. Runs
# that start together make it once: the second waits for the first.
MakeRoot() {
    local cache=$1 deb=$2 suite mirror packages dependency
    suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
    Mirror() {
        apt-cache policy systemd | awk -v suite=" $suite/main " 'index($0, suite) && $2 ~ /^https?:/ { print $2; exit }'
    }
    mirror=$(Mirror)
    [ -n "$mirror" ] || { apt-get update -qq && mirror=$(Mirror); }
    [ -n "$mirror" ] || Fatal "no Debian archive for $suite is configured (apt-cache policy systemd)"
    # debootstrap takes real packages only: a virtual one becomes its provider.
    packages="systemd,systemd-sysv,dbus,man-db"
    for dependency in $( (dpkg-deb -f "$deb" Depends; dpkg-deb -f "$deb" Recommends) |
        sed -e 's/([^)]*)//g' -e 's/|[^,]*//g' -e 's/,/ /g'); do
        if ! apt-cache show "$dependency" 2>/dev/null | grep -q '^Package:'; then
            dependency=$(apt-cache showpkg "$dependency" | awk '/^Reverse Provides:/ { getline; print $1; exit }')
        fi
        packages="$packages,$dependency"
    done
    root="$cache/$suite-$(echo "$packages" | md5sum | cut -c1-16)"
    mkdir -p "$cache" || Fatal "cannot make $cache"
    exec {lock}> "$root.lock" && flock "$lock" || Fatal "cannot lock $root.lock"
    if [ -f "$root/.made" ] && [ "$(cat "$root/.made")" = "$suite $packages" ]; then
        exec {lock}>&-
        return
    fi
    echo "making the containers' root file system ($suite from $mirror)"
    rm -rf "$root" "$root.new"
    debootstrap --variant=minbase --include="$packages" "$suite" "$root.new" "$mirror" \
        >> "$run_log" 2>&1 || Fatal "debootstrap failed (see $run_log)"
    # Nothing but the tests runs in the container.
    ln -s /dev/null "$root.new/etc/systemd/system/apt-daily.timer"
    ln -s /dev/null "$root.new/etc/systemd/system/apt-daily-upgrade.timer"
    rm -rf "$root.new"/var/cache/apt/archives/*.deb "$root.new"/var/lib/apt/lists/*
    echo "$suite $packages" > "$root.new/.made"
    mv "$root.new" "$root"
    exec {lock}>&-
}

# ------------------------------------------------------------ containers

declare -A container_pid1 container_nspawn

# CgroupFolders NAME: the container's cgroup in each hierarchy that has it.
CgroupFolders() {
    if [ -d /sys/fs/cgroup/unified ] || [ -d /sys/fs/cgroup/systemd ]; then
        for hierarchy in systemd unified; do
            [ -d "/sys/fs/cgroup/$hierarchy" ] && echo "/sys/fs/cgroup/$hierarchy/$1"
        done
    else
        echo "/sys/fs/cgroup/$1"
    fi
}

# InContainer NAME COMMAND...: runs a command inside the container.
InContainer() { nsenter -t "${container_pid1[$1]}" -a "${@:2}"; }

# BootContainer NAME NSPAWN_OPTION...: boots a container called NAME (from
# the root that the options name) in a cgroup of the same name (with
# --keep-unit nspawn would leave its cgroups at the top of the tree), and
# waits until systemd inside it is up. StartContainer and AwaitContainer do
# the two halves, so that containers can boot side by side.
BootContainer() {
    StartContainer "$@"
    AwaitContainer "$1"
}
StartContainer() {
    local name=$1 folder
    shift
    for folder in $(CgroupFolders "$name"); do
        mkdir -p "$folder" || Fatal "cannot make the cgroup $folder"
    done
    (
        for folder in $(CgroupFolders "$name"); do echo "$BASHPID" > "$folder/cgroup.procs"; done
        exec systemd-nspawn -q -b --console=pipe --register=no --keep-unit --machine="$name" "$@"
    ) < /dev/null >> "$run_log" 2>&1 &
    container_nspawn[$name]=$!
}
AwaitContainer() {
    local name=$1
    # The container's init is the child of nspawn that runs systemd: nspawn
    # first forks a helper of its own, which sets up the container and ends.
    FindPid1() {
        local stat pid comm ppid
        for stat in /proc/[0-9]*/stat; do
            read -r pid comm _ ppid _ < "$stat" 2>/dev/null || continue
            [ "$ppid" = "${container_nspawn[$name]}" ] && [ "$comm" = "(systemd)" ] &&
                container_pid1[$name]=$pid && return 0
        done
        return 1
    }
    WaitFor 30 FindPid1 || Fatal "systemd-nspawn started no container $name (see $run_log)"
    WaitFor 60 test -S "/proc/${container_pid1[$name]}/root/run/systemd/private" ||
        Fatal "systemd did not start in the container $name"
    local state
    state=$(InContainer "$name" timeout 120 systemctl is-system-running --wait)
    [ "$state" = running ] || {
        InContainer "$name" systemctl --failed >> "$run_log"
        Fatal "the container $name's system is $state"
    }
}

# KillContainer NAME: kills every process of the container at once, as a
# power cut would, and removes its cgroups once they are empty.
KillContainer() {
    local name=$1 folder pid
    Processes() { find $(CgroupFolders "$name") -name cgroup.procs -exec cat {} + 2>/dev/null; }
    for pid in $(Processes); do
        kill -KILL "$pid" 2>/dev/null
    done
    [ -n "${container_nspawn[$name]:-}" ] && wait "${container_nspawn[$name]}" 2>/dev/null
    local deadline=$((SECONDS + 20))
    while [ -n "$(Processes)" ] && [ "$SECONDS" -lt "$deadline" ]; do
        for pid in $(Processes); do kill -KILL "$pid" 2>/dev/null; done
        sleep 0.1
    done
    for folder in $(CgroupFolders "$name"); do
        [ -d "$folder" ] && find "$folder" -depth -type d -exec rmdir {} + 2>/dev/null
        [ -d "$folder" ] && echo "cannot remove the cgroup $folder"
    done
    container_pid1[$name]=""
    container_nspawn[$name]=""
}

# StopContainer NAME: keeps its journal in the log, powers it off (killing
# what is left of it) and removes its cgroups.
StopContainer() {
    local name=$1 pid1=${container_pid1[$1]:-} nspawn=${container_nspawn[$1]:-}
    if [ -n "$pid1" ] && kill -0 "$pid1" 2>/dev/null; then
        { echo "---- the journal of $name"; InContainer "$name" journalctl -b --no-pager; } >> "$run_log" 2>&1
        InContainer "$name" systemctl poweroff >> "$run_log" 2>&1
        local deadline=$((SECONDS + 20))
        while kill -0 "$nspawn" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.2; done
    fi
    KillContainer "$name"
}
