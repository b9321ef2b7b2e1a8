#!/bin/bash
# The Windows build under Wine: the console texts and exit statuses of the
# command line; install and uninstall, each twice; the service started with
# "net start", greeting an operator on Linux, forwarding frames to a network
# camera and to a serial camera (COM5, a pseudo-terminal) on Linux, logging
# in to a Linux nvrsim and creating its soft trigger; a reload by the
# parameter-change control; "net stop"; a stop answered once the service has
# stopped, and -uninstall of a running service logging its stop after the
# service's own lines; a run that ends by itself ending the process; the
# event records and the log beside the executable; the operator client and
# the zip.
#
# usage: tests/windows/wine-test.sh WINDOWS_BUILD LINUX_BUILD   (make test-windows)
#
# Wine is a smoke test of the Windows paths, not proof of Windows. Each run
# gets a fresh prefix in WINDOWS_BUILD/wine-test; its session (with the
# service manager) lives from the start of the run to its end. Wine keeps no
# event records, but prints the text of each one on the standard error of
# the process that reports it (WINEDEBUG=+eventlog): the session's for the
# service, each command's own for install and uninstall. Wine's sc has no
# "control", and its "stop" prints nothing: sc-control.exe, built for this
# test, sends a control request and prints the state the service manager
# answers with, as "sc control" and "sc stop" do on Windows. Wine's output
# lines end in CRLF, and exit statuses arrive cut to 8 bits (1063 as 39). Wine
# refuses delayed automatic start through the API, so installing logs that
# refusal and still succeeds.
#
# The last line of output is "N passed, N failed"; the exit status is 0 only
# when nothing failed.

set -u

windows=$(cd "${1:?usage: $0 WINDOWS_BUILD LINUX_BUILD}" && pwd) || exit 1
linux=$(cd "${2:?usage: $0 WINDOWS_BUILD LINUX_BUILD}" && pwd) || exit 1
work=$windows/wine-test
service=$work/service # the executable's folder: configuration and log
exe=$service/tlKorvel.exe
log=$service/tlKorvel.log
events=$work/session-events.txt # the session's standard error

passed=0
failed=0
pids=()

Pass() { passed=$((passed + 1)); echo "ok      $*"; }
Fail() { failed=$((failed + 1)); echo "FAILED  $*"; }
Check() {
    local what=$1
    shift
    if "$@" >> "$work/checks.log" 2>&1; then Pass "$what"; else Fail "$what"; fi
}
Finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}
# WaitFor SECONDS COMMAND...: polls the command every fifth of a second.
WaitFor() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >> "$work/checks.log" 2>&1; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}
Cleanup() {
    wineserver -k 2> /dev/null
    [ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2> /dev/null
    wait 2> /dev/null
}
trap Cleanup EXIT

# The session auto-starts an installed service, so the test picks the
# service's port itself. Wine reports a port in use as "Access denied".
source "$(dirname "$0")/../support/free-port.sh"

# FirstMatch FILE PATTERN: the first match's group 1, waiting up to 10 s for it.
FirstMatch() {
    WaitFor 10 grep -qE "$2" "$1" && sed -nE "s#.*$2.*#\1#p" "$1" | head -n 1
}
# Windows TEXT: what the Windows side wrote, without its carriage returns.
Unix() { tr -d '\r'; }

rm -rf "$work"
mkdir -p "$work/prefix" "$service"
cp "$windows/src/host/tlKorvel.exe" "$service/"
cd "$work" || exit 1

export WINEPREFIX=$work/prefix WINEDLLOVERRIDES=winemenubuilder.exe=d WINEDEBUG=-all
# One session for the whole run, started by a console that waits for input
# (a pipe this script holds open until it ends); the session's first program
# also makes the prefix. Every program started later joins that session. A
# prefix made by a wineboot of its own would leave that session's service
# manager behind beside the new one, each answering from what it knows.
# The service manager prints the service's event records on the standard
# error of the session's first program.
wineserver -p
mkfifo "$work/hold"
WINEDEBUG=-all,+eventlog wine cmd /c pause < "$work/hold" > /dev/null 2> "$events" &
pids+=($!)
exec 4> "$work/hold"
# No other Wine program may start before the session's service manager is
# up: whichever comes first starts it, with its own standard error.
SessionServiceManager() {
    local pid
    for pid in $(pgrep -f 'services\.exe'); do
        [ "$(readlink "/proc/$pid/fd/2")" = "$events" ] && return 0
    done
    return 1
}
SessionReady() {
    WaitFor 120 SessionServiceManager && WaitFor 30 sh -c 'wine sc query eventlog | grep -q RUNNING'
}
Check "a Wine prefix and session" SessionReady

# ---------------------------------------------------------------- console

usage='Service management options:
  -install    to install the service.
  -uninstall  to remove the service.
To start or stop tlKorvel after it has been installed as a service use
    net start tlKorvel
or
    net stop tlkorvel


Use -d to run in command line mode'
must_run='Must be run with command line options or installed as a service

'
hint="This application is designed to be run as a Windows service.
It cannot be run from the command line.

To install as a service, run using the command line option  /install
then start it from the Windows Services panel.
The service name to look for is 'tlKorvel'.
You may also start the installed service from a command prompt with the command
    sc start tlKorvel"

# Console STATUS EXPECTED [ARGUMENT]: one run of the program, its output and
# exit status compared; its event records and what Wine reports as errors
# go to $work/command-events.txt.
Console() {
    local status=$1 expected=$2
    shift 2
    local output actual
    WINEDEBUG=-all,err+all,+eventlog wine "$exe" "$@" > "$work/command.out" \
        2> "$work/command-events.txt"
    actual=$?
    output=$(Unix < "$work/command.out")
    cat "$work/command-events.txt" >> "$work/all-command-events.txt"
    if [ "$output" == "$expected" ] && [ "$actual" == "$status" ]; then
        Pass "tlKorvel $* prints its text, status $status"
    else
        Fail "tlKorvel $* prints its text, status $status (got status $actual)"
        diff <(echo "$expected") <(echo "$output") | head -n 20
        grep -v ':eventlog:' "$work/command-events.txt" | head -n 20 # what Wine said of it
    fi
}
Event() { grep -qF "ReportEventW L\"$2\"" "$1"; }
Logged() { grep -qF "] $1" "$log"; }
# LoggedInOrder FIRST TEXT...: from the last line with FIRST on, lines with
# each TEXT follow, in this order.
LoggedInOrder() {
    local start
    start=$(grep -nF "] $1" "$log" | tail -n 1 | cut -d: -f1)
    [ -n "$start" ] || return 1
    shift
    tail -n +"$start" "$log" | awk -v texts="$(printf '%s\n' "$@")" '
        BEGIN { n = split(texts, want, "\n"); i = 1 }
        i <= n && index($0, "] " want[i]) { i++ }
        END { exit !(i > n) }'
}

Console 0 "$usage" -x
Console 0 "$usage" /
Console 0 "$usage" --install

Console 0 "Service installed successfully" -INSTALL
Check "install: event \"Installed service.\"" Event "$work/command-events.txt" "Installed service."
Check "install: Wine's refusal of delayed start logged" \
    Logged "Unable to set service to delayed autostart during install."
Check "install: \"Installed service.\" logged" Logged "Installed service."
Check "the log is beside the executable" test ! -e "$work/tlKorvel.log"
Console 0 "The service is already installed" /Install
Console 0 "Service uninstalled successfully" -uninstall
Check "uninstall: event \"Deleted service.\"" Event "$work/command-events.txt" "Deleted service."
Console 0 "The service is not installed" /UNINSTALL
Check "sc query: no such service" sh -c '! wine sc query tlKorvel | grep -q SERVICE_NAME'

# ---------------------------------------------------------------- Linux peers

"$linux/tools/camsim/camsim" --listen 127.0.0.1:0 --pty > "$work/camsim.out" 2>&1 &
pids+=($!)
"$linux/tools/nvrsim/nvrsim" --listen 127.0.0.1:0 --control 127.0.0.1:0 < /dev/null \
    > "$work/nvrsim.out" 2>&1 &
pids+=($!)
camera_port=$(FirstMatch "$work/camsim.out" 'camera listening on 127\.0\.0\.1:([0-9]+)')
pty=$(FirstMatch "$work/camsim.out" 'camera on pseudo-terminal (/dev/[^ ]+)')
nvr_port=$(FirstMatch "$work/nvrsim.out" '^listening on 127\.0\.0\.1:([0-9]+)')
control_port=$(FirstMatch "$work/nvrsim.out" '^control on 127\.0\.0\.1:([0-9]+)')
if [ -z "$camera_port" ] || [ -z "$pty" ] || [ -z "$nvr_port" ] || [ -z "$control_port" ]; then
    Fail "camsim and nvrsim start"
    Finish
fi

# NvrControl COMMAND...: the answers of nvrsim's control port, up to "ok".
NvrControl() {
    local answer
    exec 3<> "/dev/tcp/127.0.0.1/$control_port" || return 1
    printf '%s\n' "$@" >&3
    while read -r -t 10 answer <&3; do
        echo "$answer"
        case $answer in ok | error:*) break ;; esac
    done
    exec 3>&-
}
NvrControl "user korvel secret" "camera 7 127.0.0.1 Gate" > /dev/null

# The serial camera: COM5 of the prefix is the pseudo-terminal.
ln -s "$pty" "$WINEPREFIX/dosdevices/com5"
client_port=$(FreePort)
status_port=$(FreePort)
while [ "$status_port" = "$client_port" ]; do status_port=$(FreePort); done
cat > "$service/tlKorvel.xml" << EOF
<tlKorvel>
  <Options RetryIntervalSecs="1" ClientAddress="127.0.0.1" ClientPort="$client_port"
           StatusAddress="127.0.0.1" StatusPort="$status_port" />
  <KorvelControl LockTime="5" RequireLogin="0">
    <User Name="op" Password="pw" Priority="10" />
    <User Name="chief" Password="boss" Priority="1" Supervisor="1" />
  </KorvelControl>
  <NVR Address="127.0.0.1" Port="$nvr_port" Login="korvel" Password="secret">
    <Camera Address="127.0.0.1" PelcoNumber="1" Port="$camera_port" />
    <Camera Address="dome" PelcoNumber="2" Port="COM5" BaudRate="9600" />
  </NVR>
</tlKorvel>
EOF

# ---------------------------------------------------------------- the service

Console 0 "Service installed successfully" -install
Check "net start tlKorvel" wine net start tlKorvel
# "net start" returns once the service's process has begun, and the service
# reports itself running a moment later.
ServiceState() { wine sc query tlKorvel | grep -q "STATE.*$1"; }
Check "sc query: RUNNING" WaitFor 10 ServiceState RUNNING
Check "event \"Service started.\"" WaitFor 10 Event "$events" "Service started."
Check "logged in to nvrsim" WaitFor 20 Logged "TLAPI_Login succeeded on NVR 127.0.0.1"
TriggerMade() { NvrControl dump | grep -q 'trigger 1 name="Korvel Control" guid=KORVEL_7'; }
Check "its soft trigger on nvrsim" WaitFor 20 TriggerMade

"$linux/tools/korvelctl/korvelctl" "127.0.0.1:$client_port" --linger 1 \
    --run "login op pw; cam 1; left 20; cam 2; right 30" > "$work/operator.out" 2>&1
Check "an operator on Linux is greeted" grep -qE '^session [0-9]+$' "$work/operator.out"
Check "and logged in" grep -qx 'login accepted' "$work/operator.out"
Check "the network camera gets its frame" WaitFor 10 grep -q 'pan left' "$work/camsim.out"
Check "the serial camera on COM5 gets its frame" WaitFor 10 grep -q 'pan right' "$work/camsim.out"

# A supervisor on Linux reserves the network camera on the service's API and
# releases it.
Admin() {
    KORVELCTL_TOKEN_FILE="$work/korvelctl-token" KORVEL_URL="http://127.0.0.1:$status_port/" \
        "$linux/tools/korvelctl/korvelctl" admin "$@"
}
AdminLogin() { echo boss | Admin login chief; }
ReservedByChief() { Admin status | grep -E '^1 +.*[(]nobody[)] +chief '; }
NotReserved() { ! Admin status | grep -q chief; }
Check "korvelctl admin login" AdminLogin
Check "korvelctl admin reserve 1 for nobody" Admin reserve 1 --minutes 5
Check "korvelctl admin status shows the reservation" ReservedByChief
Check "korvelctl admin release 1" Admin release 1
Check "korvelctl admin status shows it ended" NotReserved

# A reload: the parameter-change control, which the service accepts beside
# stop and shutdown (SERVICE_ACCEPT_STOP | SHUTDOWN | PARAMCHANGE = 0xd).
reloaded="Reloaded tlKorvel.xml: 0 users added, 0 users removed, 0 cameras added, 0 cameras removed, 0 cameras changed, 0 NVRs changed."
# Control REQUEST: sc-control.exe's answer, on one line.
Control() { wine "$windows/tests/windows/sc-control.exe" tlKorvel "$1" 2>> "$work/checks.log" | Unix | tr '\n' ' '; }
Check "sc control tlKorvel paramchange answers RUNNING (4), accepting stop, shutdown and parameter change" \
    test "$(Control paramchange)" = "STATE : 4 CONTROLS_ACCEPTED : 0xd "
Check "the reload is logged" WaitFor 10 Logged "$reloaded"
Check "sc query: still RUNNING" ServiceState RUNNING

Check "net stop tlKorvel" wine net stop tlKorvel
Check "logged: the stop request" Logged "Received Stop request from Service Control Manager"
Check "event \"Service stopped.\"" WaitFor 10 Event "$events" "Service stopped."
Check "sc query: STOPPED" WaitFor 10 ServiceState STOPPED

# The service manager's answer to a stop comes once the service has stopped:
# the state it answers with, which sc stop prints on Windows, is STOPPED.
wine net start tlKorvel >> "$work/checks.log" 2>&1
Check "started again" WaitFor 10 ServiceState RUNNING
Check "sc stop tlKorvel answers STOPPED (1)" test "$(Control stop)" = "STATE : 1 CONTROLS_ACCEPTED : 0xd "
# -uninstall of a running service: the service's stop is logged before
# -uninstall's own lines.
wine net start tlKorvel >> "$work/checks.log" 2>&1
Check "started again" WaitFor 10 ServiceState RUNNING
Console 0 "Service uninstalled successfully" -uninstall
Check "-uninstall: the service stopped before \"Stopped the service in order to uninstall\"" \
    LoggedInOrder "Received Stop request from Service Control Manager" \
    "Closing connection to NVR at 127.0.0.1." "Stopped the service in order to uninstall" \
    "Deleted service."
Console 0 "Service installed successfully" -install

# A run that ends by itself (an operator address that does not parse) ends
# the service's process, so that the service manager may start it again.
sed -i 's/ClientAddress="127.0.0.1"/ClientAddress="no-address"/' "$service/tlKorvel.xml"
wine net start tlKorvel >> "$work/checks.log" 2>&1
Check "a run that ends by itself: event" \
    WaitFor 20 Event "$events" "Service run ended unexpectedly."
# (Wine's service manager does not notice, and keeps it stopping.)
ServiceGone() { ! grep -qs 'tlKorvel[.]exe' /proc/[0-9]*/cmdline; }
Check "and its process ends" WaitFor 20 ServiceGone
Console 0 "Service uninstalled successfully" -uninstall

# ---------------------------------------------------------------- the rest

# Last, with no service starting: under Wine a program that calls the
# dispatcher without having been started by the service manager takes up the
# control channel of a service being started, if there is one.
Console 39 "$must_run$usage
$hint"
Console 39 "$must_run$usage
$hint" install

Check "korvelctl.exe --help" sh -c "wine '$windows/tools/korvelctl/korvelctl.exe' --help |
    grep -q '^usage: korvelctl'"
zip=$(ls "$windows"/tlKorvel-*.zip 2> /dev/null | tail -n 1)
Check "the zip holds both programs, the configuration and the instructions" \
    sh -c "cmake -E tar tf '$zip' | sed 's|^[^/]*/||' | sort | tr '\n' ' ' |
        grep -qx 'korvelctl.exe tlKorvel.exe tlKorvel.xml windows.md '"

Finish
