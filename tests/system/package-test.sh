#!/bin/bash
# The Debian package under a real systemd: boots a Debian container with
# systemd-nspawn, installs the package built in BUILD_DIR and proves what the
# package promises there: the delayed start, stop, restarts after crashes and
# after runs that end by themselves, a reload, the journal records, the
# sandbox (with its exposure score), the cameras and the NVR reached from inside it,
# a system account of the container logged in through the shipped PAM service,
# reinstall, remove and purge, and tlKorvel -install's own unit. lintian
# checks the .deb first.
#
# usage: tests/system/package-test.sh BUILD_DIR      (as root; make test-system)
#
# The container's root file system is made once with debootstrap, into a
# folder of /var/cache/tlkorvel/system-roots (or $TLKORVEL_SYSTEM_ROOTS) named
# after its packages, and reused by later runs from any clone; the container
# runs on an overlay of it (--volatile=overlay), so the root stays as it was
# made. It shares the
# host's network: the operator is this script, on loopback.
#
# The last line of output is "N passed, N failed"; the exit status is 0 only
# when nothing failed.

set -u

build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd) || exit 1
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
korvelctl="$build/tools/korvelctl/korvelctl"
deb=$(ls "$build"/tlkorvel_*.deb 2>/dev/null | tail -n 1)
root_cache=${TLKORVEL_SYSTEM_ROOTS:-/var/cache/tlkorvel/system-roots}
machine="tlkorvel-test-$$" # also the name of its cgroup
run_log="$build/system-test.log" # the container's console and command output

passed=0
failed=0

source "$source_dir/tests/system/containers.sh"

# C COMMAND...: runs a command inside the container.
C() { InContainer "$machine" "$@"; }
# Show UNIT PROPERTY: one property of a unit, as systemd has it now.
Show() { C systemctl show -P "$2" "$1"; }
# In FILE: a file of the container, read from here.
In() { echo "/proc/${container_pid1[$machine]}/root$1"; }

# Powers the container off (killing what is left of it) and removes its cgroups.
CleanUp() {
    StopContainer "$machine"
    echo "(the container's output and every command's: $run_log)"
    echo "$passed passed, $failed failed"
}
trap 'CleanUp; [ "$failed" -eq 0 ] || exit 1' EXIT
trap 'Fatal "interrupted"' INT TERM

# ------------------------------------------------------ what is checked

# Greeting: an operator on the host connects and gets "SESSION <n>" (which
# korvelctl shows as "session <n>").
# The status server answers /status from inside the sandbox.
StatusAnswers() {
    local answer
    answer=$(exec 3<>"/dev/tcp/127.0.0.1/$status_port" &&
        printf 'GET /status HTTP/1.0\r\n\r\n' >&3 && timeout 5 cat <&3) || return 1
    case "$answer" in *'"version"'*) return 0 ;; *) return 1 ;; esac
}
Greeting() {
    timeout 15 "$korvelctl" "127.0.0.1:$port" --run "sleep 0" --linger 0 | grep -q "^session [0-9]"
}
# CheckExposure WHAT MAX: systemd's exposure score of the loaded service unit.
CheckExposure() {
    local score
    score=$(C systemd-analyze security tlKorvel.service |
        sed -n 's/.*Overall exposure level for tlKorvel.service: \([0-9.]*\).*/\1/p')
    Check "$1's exposure ${score:-unknown}, at most $2" awk -v s="${score:-99}" -v m="$2" 'BEGIN { exit !(s <= m) }'
}
# Lines of a file of the container that hold the text.
Count() { grep -c -- "$1" "$(In "$2")" 2>/dev/null || true; }
Has() { [ "$(Count "$1" "$2")" -ge "${3:-1}" ]; }
Journal() { C journalctl "$1" | grep -q -- "$2"; }
Is() { [ "$(Show "$1" "$2")" = "$3" ]; }
IsNot() { [ "$(Show "$1" "$2")" != "$3" ]; }
AtLeast() { [ "$(Show "$1" "$2")" -ge "$3" ]; }
# Absent: what is still there is listed in the log, to show why.
Absent() { [ ! -e "$(In "$1")" ] || { ls -la "$(In "$1")" >&2; false; }; }
NoStartLimitHit() { IsNot tlKorvel.service ActiveState failed && ! Journal -utlKorvel "Start request repeated too quickly"; }
Not() { ! "$@"; }
ActiveAfterRestart() { [ "$(Show tlKorvel.service NRestarts)" -gt "$1" ] && Is tlKorvel.service ActiveState active; }
ManPage() { C man -P cat tlKorvel | grep -q "lets CCTV operators"; }
# The sandbox as the kernel holds it for the running service.
Sandboxed() {
    local status
    status=$(In "/proc/$(Show tlKorvel.service MainPID)/status")
    grep -q "^Uid:[[:space:]]*$(C id -u tlkorvel)[[:space:]]" "$status" &&
        grep -q "^Groups:.*[[:space:]]$(C getent group dialout | cut -d: -f3)\b" "$status" &&
        grep -q "^CapBnd:[[:space:]]*0000000000000000$" "$status" &&
        grep -q "^NoNewPrivs:[[:space:]]*1$" "$status" && grep -q "^Seccomp:[[:space:]]*2$" "$status"
}
ReadyNotified() { Is tlKorvel.service Type notify && Is tlKorvel.service StatusText Running; }
reloaded="Reloaded tlKorvel.xml: 0 users added, 0 users removed, 0 cameras added, 0 cameras removed, 0 cameras changed, 0 NVRs changed."
user_added="Reloaded tlKorvel.xml: 1 user added, 0 users removed, 0 cameras added, 0 cameras removed, 0 cameras changed, 0 NVRs changed."
# Reloaded [SUMMARY]: the status is the reload's summary, at once.
Reloaded() { Is tlKorvel.service StatusText "${1:-$reloaded}"; }
# StayedActive PID SINCE RESTARTS: the same process, active since the same time.
StayedActive() {
    Is tlKorvel.service ActiveState active && Is tlKorvel.service MainPID "$1" &&
        Is tlKorvel.service ActiveEnterTimestampMonotonic "$2" && Is tlKorvel.service NRestarts "$3"
}
source "$source_dir/tests/support/free-port.sh"

[ "$(id -u)" -eq 0 ] || Fatal "the container tests need root"
[ -f "$deb" ] || Fatal "no package in $build (make package)"
package_dir="$build/system-package" # the container sees the package alone
rm -rf "$package_dir" && mkdir -p "$package_dir" && cp "$deb" "$package_dir/"
for tool in systemd-nspawn debootstrap lintian nsenter; do
    command -v "$tool" > /dev/null || Fatal "$tool is missing (make test-system installs it)"
done
: > "$run_log"
echo "package: $deb"

# lintian, once, while the root file system is made.
lintian --allow-root --fail-on error,warning "$deb" > "$build/system-lintian.out" 2>&1 &
lintian_run=$!
MakeRoot "$root_cache" "$deb"
wait "$lintian_run"
lintian_status=$?
echo "lintian:"
tee -a "$run_log" < "$build/system-lintian.out"
Check "lintian finds no error and no warning" test "$lintian_status" -eq 0
BootContainer "$machine" -D "$root" --volatile=overlay --bind-ro="$package_dir:/srv/package"
Pass "systemd $(C systemctl --version | head -n 1 | cut -d' ' -f2) boots in the container"

# Installing starts and enables nothing.
Check "apt installs the package" C apt-get install -y -q "/srv/package/$(basename "$deb")"
Check "installing starts no service" Is tlKorvel.service ActiveState inactive
Check "installing enables no timer" Is tlKorvel.timer UnitFileState disabled
Check "the package makes the service's account" C id tlkorvel
Check "man tlKorvel works" ManPage
Check "the Prometheus alerting rules are in the documentation's examples, as shipped" \
    cmp "$source_dir/packaging/prometheus/tlkorvel-alerts.yml" \
    "$(In /usr/share/doc/tlkorvel/examples/prometheus/tlkorvel-alerts.yml)"
Check "the packaged unit keeps RestartSec=60" Has "^RestartSec=60$" /lib/systemd/system/tlKorvel.service
Check "the packaged unit keeps StartLimitIntervalSec=0" Has "^StartLimitIntervalSec=0$" /lib/systemd/system/tlKorvel.service
CheckExposure "the packaged unit" 2.5

# The cameras and the NVR run inside the container, where the serial
# camera's pseudo-terminal is; the simulators come from the package.
C systemd-run -q --unit=cameras -p StandardOutput=file:/run/cameras.out \
    camsim --listen 127.0.0.1:0 --listen 127.0.0.2:0 --pty
C systemd-run -q --unit=recorder -p StandardOutput=file:/run/recorder.out \
    -p StandardInput=file:/usr/share/doc/tlkorvel/examples/demo/nvrsim-setup.txt nvrsim --listen 127.0.0.1:0
WaitFor 10 Has "^camera " /run/cameras.out 3 && WaitFor 10 Has "^ok" /run/recorder.out 4 ||
    Fatal "the simulators did not start"
cameras=$(In /run/cameras.out)
recorder=$(In /run/recorder.out)
pty=$(sed -n 's/^camera on pseudo-terminal \(.*\)$/\1/p' "$cameras")
# Like a serial port, the pseudo-terminal belongs to the group dialout.
C chgrp dialout "$pty" && C chmod 660 "$pty"
port=$(FreePort)
status_port=$(FreePort)
sed -e "s|@CLIENT_PORT@|$port|" \
    -e "s|@STATUS_PORT@|$status_port|" \
    -e "s|@NVR_PORT@|$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$recorder")|" \
    -e "s|@GATE_PORT@|$(sed -n 's/^camera listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$cameras")|" \
    -e "s|@YARD_PORT@|$(sed -n 's/^camera listening on 127\.0\.0\.2:\([0-9]*\)$/\1/p' "$cameras")|" \
    -e "s|@LOADING_BAY_DEVICE@|$pty|" \
    "$source_dir/examples/demo/tlKorvel.xml" > "$build/system-test.xml"
C sh -c 'cat > /etc/tlkorvel/tlKorvel.xml' < "$build/system-test.xml"

# Test drop-ins: the timer fires a few seconds from now instead of two
# minutes after boot, and restarts come after 2 s instead of 60 s.
booted=$(C systemctl show -P UserspaceTimestampMonotonic)
on_boot=$(( $(date +%s) - $(date -d "$(C systemctl show -P UserspaceTimestamp)" +%s) + 5 ))
C mkdir -p /etc/systemd/system/tlKorvel.timer.d /etc/systemd/system/tlKorvel.service.d
printf '[Timer]\nOnBootSec=\nOnBootSec=%ss\nAccuracySec=1s\n' "$on_boot" |
    C sh -c 'cat > /etc/systemd/system/tlKorvel.timer.d/test.conf'
printf '[Service]\nRestartSec=2\n' | C sh -c 'cat > /etc/systemd/system/tlKorvel.service.d/test.conf'
C systemctl daemon-reload

# The delayed start.
Check "systemctl enable --now tlKorvel.timer" C systemctl enable --now tlKorvel.timer
Check "the service waits for the timer" Is tlKorvel.service ActiveState inactive
Check "the timer starts the service after boot" WaitFor 30 Is tlKorvel.service ActiveState active
started=$(( ($(Show tlKorvel.service ExecMainStartTimestampMonotonic) - booted) / 1000000 ))
Check "... ${started} s after boot, not before ${on_boot} s" test "$started" -ge "$on_boot"
Check "the unit became active on READY=1" ReadyNotified
Check "an operator on the host gets the greeting" WaitFor 10 Greeting
Check "the running service has its own account, no capabilities, a system call filter" Sandboxed

# The sandbox lets it reach what it works with.
Check "it reaches both network cameras" WaitFor 10 Has " connection from " /run/cameras.out 2
Check "it reaches the NVR" WaitFor 15 Has "Adding .*camera name" /opt/tlkorvel/tlKorvel.log 3
Check "its status server answers" WaitFor 10 StatusAnswers
"$korvelctl" "127.0.0.1:$port" --run "login operator demo; cam 1; left 20; cam 3; right 20; stop" \
    >> "$run_log" 2>&1
Check "a frame reaches the network camera" WaitFor 5 Has "127\.0\.0\.1:[0-9]* camera 1 " /run/cameras.out
Check "a frame reaches the serial camera" WaitFor 5 Has "$pty camera 3 " /run/cameras.out

# A reload of the file with a user added: systemctl reload returns once the
# service has reloaded, and the service stays active in the same process
# throughout.
pid=$(Show tlKorvel.service MainPID)
active_since=$(Show tlKorvel.service ActiveEnterTimestampMonotonic)
restarts=$(Show tlKorvel.service NRestarts)
sed -i '/<User Name="operator"/i\    <User Name="added" Password="added" Priority="1" />' "$build/system-test.xml"
C sh -c 'cat > /etc/tlkorvel/tlKorvel.xml' < "$build/system-test.xml"
Check "systemctl reload tlKorvel" C systemctl reload tlKorvel
Check "when it returns, the status is the reload's summary" Reloaded "$user_added"
Check "the reload is logged" Has "^\[.*\] $user_added$" /opt/tlkorvel/tlKorvel.log
Check "the service stayed active, in the same process" StayedActive "$pid" "$active_since" "$restarts"
Check "an operator gets the greeting after the reload" WaitFor 10 Greeting

# A directory account: a system account of the container logs in through
# the shipped PAM service, with the drop-in that the machine's own accounts
# need, its group giving its priority; the sandbox still rates as before.
DirectoryLogin() {
    timeout 20 "$korvelctl" "127.0.0.1:$port" --run "login watcher $1" --linger 0 >> "$run_log" 2>&1
}
Check "the package ships /etc/pam.d/tlkorvel" Has "^@include common-auth$" /etc/pam.d/tlkorvel
C groupadd -f cctv
C useradd -M -G cctv -s /usr/sbin/nologin watcher
echo 'watcher:watchword' | C chpasswd
C cp /usr/share/doc/tlkorvel/examples/local-accounts.conf /etc/systemd/system/tlKorvel.service.d/
C systemctl daemon-reload
sed -i '/<\/KorvelControl>/i\    <Directory Service="tlkorvel"><Group Name="cctv" Priority="5" /></Directory>' \
    "$build/system-test.xml"
C sh -c 'cat > /etc/tlkorvel/tlKorvel.xml' < "$build/system-test.xml"
C systemctl restart tlKorvel
Check "an operator gets the greeting with directory accounts on" WaitFor 10 Greeting
Check "a system account logs in through PAM" DirectoryLogin watchword
Check "... with its group's priority" Has "Login from 127\.0\.0\.1 by user watcher with priority 5" /opt/tlkorvel/tlKorvel.log
Check "... and not with a wrong password" Not DirectoryLogin wrongword
CheckExposure "the unit with the local accounts' drop-in" 2.0
C rm /etc/systemd/system/tlKorvel.service.d/local-accounts.conf
C systemctl daemon-reload

# Stop.
stops=$(Count "Received Stop request from Service Control Manager" /opt/tlkorvel/tlKorvel.log)
Check "systemctl stop tlKorvel" C systemctl stop tlKorvel
Check "the stop is logged" Has "Received Stop request from Service Control Manager" /opt/tlkorvel/tlKorvel.log $((stops + 1))
Check "Result=success" Is tlKorvel.service Result success
Check "exit status 0" Is tlKorvel.service ExecMainStatus 0
stop_ms=$(( ($(Show tlKorvel.service InactiveEnterTimestampMonotonic) -
              $(Show tlKorvel.service ActiveExitTimestampMonotonic)) / 1000 ))
Check "stopped within a second (${stop_ms} ms)" test "$stop_ms" -lt 1000
Check "the journal has \"Service started.\"" Journal -ttlKorvel "Service started\."
Check "the journal has \"Service stopped.\"" Journal -ttlKorvel "Service stopped\."

# Crashes are restarted.
Check "systemctl start tlKorvel" C systemctl start tlKorvel
for signal in SIGKILL SIGSEGV; do
    restarts=$(Show tlKorvel.service NRestarts)
    C systemctl kill --kill-who=main --signal="$signal" tlKorvel
    Check "restarted after $signal" WaitFor 20 ActiveAfterRestart "$restarts"
    Check "an operator gets the greeting after $signal" WaitFor 10 Greeting
done

# A run that ends by itself: its port is taken (by an NVR simulator).
C systemctl stop tlKorvel 2> /dev/null # the timer could start it again: it is not needed here
C systemd-run -q --unit=squatter nvrsim --listen "127.0.0.1:$port"
WaitFor 10 sh -c "grep -qi ':$(printf %04X "$port") ' /proc/net/tcp" || Fatal "nothing took the port"
restarts=$(Show tlKorvel.service NRestarts)
C systemctl start tlKorvel
Check "a run that ends by itself is restarted more than five times" \
    WaitFor 40 AtLeast tlKorvel.service NRestarts $((restarts + 6))
Check "... without hitting a start limit" NoStartLimitHit
Check "... each run logs the taken port" Has "Exception: bind: Address already in use" /opt/tlkorvel/tlKorvel.log 6
Check "... and ends with exit status 1" Journal -utlKorvel "status=1/FAILURE"
Check "the journal has \"Service run ended unexpectedly.\"" Journal -ttlKorvel "Service run ended unexpectedly\."
# The control: a start limit of three does stop it, so the check above can fail.
printf '[Unit]\nStartLimitIntervalSec=1h\nStartLimitBurst=3\n' |
    C sh -c 'cat > /etc/systemd/system/tlKorvel.service.d/limit.conf'
C systemctl daemon-reload
C systemctl reset-failed tlKorvel
Check "the control with StartLimitBurst=3 hits the start limit" WaitFor 30 Is tlKorvel.service ActiveState failed
Check "... and the check above sees it" Not NoStartLimitHit
C rm /etc/systemd/system/tlKorvel.service.d/limit.conf
C systemctl daemon-reload
C systemctl stop squatter
C systemctl reset-failed tlKorvel
Check "with the port free again it starts" C systemctl start tlKorvel
Check "an operator gets the greeting" WaitFor 10 Greeting

# Reinstall, remove, purge.
Check "reinstalling works" C apt-get install -y -q --reinstall "/srv/package/$(basename "$deb")"
Check "reinstalling keeps the edited configuration" cmp "$build/system-test.xml" "$(In /etc/tlkorvel/tlKorvel.xml)"
Check "the configuration is root:tlkorvel 640" test "$(C stat -c '%U:%G %a' /etc/tlkorvel/tlKorvel.xml)" = "root:tlkorvel 640"
C mkdir -p /srv/manual
C cp /opt/tlkorvel/tlKorvel /srv/manual/tlKorvel # for -install, below
Check "apt remove" C apt-get remove -y -q tlkorvel
Check "removing stops the service" Is tlKorvel.service ActiveState inactive
Check "removing disables the timer" Absent /etc/systemd/system/timers.target.wants/tlKorvel.timer
Check "removing keeps the configuration" test -f "$(In /etc/tlkorvel/tlKorvel.xml)"
Check "apt purge" C apt-get purge -y -q tlkorvel
Check "purging removes the configuration" Absent /etc/tlkorvel
Check "purging removes the log and the program folder" Absent /opt/tlkorvel

# tlKorvel -install: root, in the same sandbox, its own folder writable.
C rm -r /etc/systemd/system/tlKorvel.timer.d /etc/systemd/system/tlKorvel.service.d
C sh -c 'cat > /srv/manual/tlKorvel.xml' < "$build/system-test.xml"
Check "tlKorvel -install" C /srv/manual/tlKorvel -install
Check "-install enables the timer" Is tlKorvel.timer UnitFileState enabled
CheckExposure "-install's unit" 4.0
Check "the installed service starts" C systemctl start tlKorvel
Check "an operator gets the greeting" WaitFor 10 Greeting
Check "it writes its log in its own folder" Has "Starting tlKorvel version" /srv/manual/tlKorvel.log
Check "systemctl reload of -install's unit" C systemctl reload tlKorvel
Check "... returns with the reload's summary as status" Reloaded
Check "tlKorvel -uninstall" C /srv/manual/tlKorvel -uninstall
Check "-uninstall stops it" WaitFor 10 IsNot tlKorvel.service ActiveState active
