#!/bin/bash
# Runs the whole system on one machine: nvrsim (an NVR with three cameras),
# camsim (two network cameras and one serial camera on a pseudo-terminal) and
# tlKorvel -d wired to them, in the run folder BUILD/demo. Shows what camsim
# receives, nvrsim's answers and the service's log, prefixed, in this
# terminal; lines typed here go to nvrsim as control commands. Ctrl-C (or
# SIGTERM) stops everything.
#
# usage: scripts/demo.sh [BUILD_DIR]      (make demo builds first, then runs this)
#
# TLKORVEL_DEMO_PORT: the operator port (default 55272).
# TLKORVEL_DEMO_STATUS_PORT: the status page's port (default 55280).
# TLKORVEL_DEMO_DIR: the run folder (default BUILD_DIR/demo).

set -u

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" 2>/dev/null && pwd) || {
    echo "demo: no build folder ${1:-$root/build}; run make demo" >&2
    exit 1
}
run=${TLKORVEL_DEMO_DIR:-$build/demo}
clientPort=${TLKORVEL_DEMO_PORT:-55272}
statusPort=${TLKORVEL_DEMO_STATUS_PORT:-55280}

service="$build/src/host/tlKorvel"
camsim="$build/tools/camsim/camsim"
nvrsim="$build/tools/nvrsim/nvrsim"
korvelctl="$build/tools/korvelctl/korvelctl"
for program in "$service" "$camsim" "$nvrsim" "$korvelctl"; do
    if [ ! -x "$program" ]; then
        echo "demo: $program is missing; run make demo" >&2
        exit 1
    fi
done

# Children: the programs (stopped in this order) and the log display.
servicePid=""
nvrsimPid=""
camsimPid=""
logTailPid=""

Say() {
    printf 'demo    | %s\n' "$*"
}

Fail() {
    printf 'demo    | %s\n' "$*" >&2
    exit 1
}

Alive() {
    [ -n "$1" ] && kill -0 "$1" 2>/dev/null
}

Gone() {
    ! Alive "$1"
}

# Lines of the file that match the pattern; 0 while the file does not exist.
Count() {
    local count
    count=$(grep -c -- "$1" "$2" 2>/dev/null)
    echo "${count:-0}"
}

# Waits up to $1 tenths of a second for the command to succeed.
WaitFor() {
    local tenths=$1
    shift
    while ! "$@"; do
        tenths=$((tenths - 1))
        [ "$tenths" -gt 0 ] || return 1
        sleep 0.1
    done
}

# Sends the signal, then waits up to five seconds; what is left is killed.
StopProcess() {
    local pid=$1 signal=$2
    Alive "$pid" || return 0
    kill "-$signal" "$pid" 2>/dev/null
    WaitFor 50 Gone "$pid" || kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

stopping=""
StopAll() {
    [ -n "$stopping" ] && return
    stopping=yes
    [ -n "$camsimPid" ] || return 0 # nothing started yet
    trap '' INT TERM
    echo
    Say "stopping"
    StopProcess "$servicePid" TERM
    exec 3>&-
    StopProcess "$nvrsimPid" TERM
    StopProcess "$camsimPid" INT
    # The log display has shown the service's last lines after a moment.
    sleep 0.5
    StopProcess "$logTailPid" TERM
    wait 2>/dev/null
    Say "stopped; the run folder $run keeps the configuration and the logs"
}
trap 'StopAll; exit 0' INT TERM
trap 'StopAll' EXIT
# A write to nvrsim after it has gone must not end this script unannounced.
trap '' PIPE

if ! [ "$clientPort" -gt 0 ] 2>/dev/null || [ "$clientPort" -gt 65535 ]; then
    Fail "TLKORVEL_DEMO_PORT must be a port number, not '$clientPort'"
fi
if (exec 9<>"/dev/tcp/127.0.0.1/$clientPort") 2>/dev/null; then
    Fail "something already listens on 127.0.0.1:$clientPort (another demo?); stop it or set TLKORVEL_DEMO_PORT"
fi
if ! [ "$statusPort" -gt 0 ] 2>/dev/null || [ "$statusPort" -gt 65535 ]; then
    Fail "TLKORVEL_DEMO_STATUS_PORT must be a port number, not '$statusPort'"
fi
if (exec 9<>"/dev/tcp/127.0.0.1/$statusPort") 2>/dev/null; then
    Fail "something already listens on 127.0.0.1:$statusPort (another demo?); stop it or set TLKORVEL_DEMO_STATUS_PORT"
fi

if ! mkdir -p "$run" || ! cd "$run"; then
    Fail "cannot make the run folder $run"
fi
run=$(pwd)
# What an earlier run left; nothing else in the folder is touched.
rm -f tlKorvel tlKorvel.xml tlKorvel.log tlKorvel.log.old tlKorvel.out \
      camsim.out nvrsim.out nvrsim.in audit.log audit.log.[1-5]

# Each program's output goes to a file of its own and, prefixed, to this
# terminal. The display ignores Ctrl-C, so that it shows the programs' last
# words; it ends when they have closed their output. (Programs started in
# the background here ignore Ctrl-C unless they handle it themselves, as
# tlKorvel, camsim and nvrsim do; the display in a process substitution
# would not.)
Show() {
    local label=$1 file=$2
    trap '' INT
    tee "$file" | sed -u "s/^/$label| /"
}

# camsim: two network cameras and one serial camera.
"$camsim" --listen 127.0.0.1:0 --listen 127.0.0.2:0 --pty > >(Show "camsim  " camsim.out) 2>&1 &
camsimPid=$!
CamerasReported() {
    [ "$(Count '^camera ' camsim.out)" -ge 3 ]
}
WaitFor 100 CamerasReported || Fail "camsim did not report its cameras"
gatePort=$(sed -n 's/^camera listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' camsim.out)
yardPort=$(sed -n 's/^camera listening on 127\.0\.0\.2:\([0-9]*\)$/\1/p' camsim.out)
loadingBay=$(sed -n 's/^camera on pseudo-terminal \(.*\)$/\1/p' camsim.out)
if [ -z "$gatePort" ] || [ -z "$yardPort" ] || [ -z "$loadingBay" ]; then
    Fail "cannot read the cameras' places from camsim's output"
fi

# nvrsim: control commands come through a pipe that this script keeps open,
# first the recorder's set-up, then whatever is typed here.
mkfifo nvrsim.in || Fail "cannot make the pipe to nvrsim"
"$nvrsim" --listen 127.0.0.1:0 < nvrsim.in > >(Show "nvrsim  " nvrsim.out) 2>&1 &
nvrsimPid=$!
exec 3> nvrsim.in
NvrListening() {
    [ "$(Count '^listening on ' nvrsim.out)" -ge 1 ]
}
WaitFor 100 NvrListening || Fail "nvrsim did not start listening"
nvrPort=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' nvrsim.out)
[ -n "$nvrPort" ] || Fail "cannot read nvrsim's port from its output"
setupCommands=$(grep -c '^[a-z]' "$root/examples/demo/nvrsim-setup.txt")
cat "$root/examples/demo/nvrsim-setup.txt" >&3
NvrSetUp() {
    [ "$(Count '^ok$' nvrsim.out)" -ge "$setupCommands" ]
}
WaitFor 100 NvrSetUp || Fail "nvrsim did not take the demo's cameras"
grep -q '^error' nvrsim.out && Fail "nvrsim refused a set-up command"

# tlKorvel reads tlKorvel.xml beside its executable: a copy of it lives here.
cp "$service" "$run/tlKorvel" || Fail "cannot copy tlKorvel into $run"
sed -e "s|@CLIENT_PORT@|$clientPort|" -e "s|@STATUS_PORT@|$statusPort|" -e "s|@NVR_PORT@|$nvrPort|" \
    -e "s|@GATE_PORT@|$gatePort|" -e "s|@YARD_PORT@|$yardPort|" \
    -e "s|@LOADING_BAY_DEVICE@|$loadingBay|" \
    "$root/examples/demo/tlKorvel.xml" > "$run/tlKorvel.xml"
touch tlKorvel.log
tail -n +1 -F -s 0.2 --pid=$$ tlKorvel.log 2>/dev/null > >(Show "log     " /dev/null) &
logTailPid=$!
"$run/tlKorvel" -d > tlKorvel.out 2>&1 &
servicePid=$!
ServiceListening() {
    Alive "$servicePid" || return 0
    (exec 9<>"/dev/tcp/127.0.0.1/$clientPort") 2>/dev/null
}
if ! WaitFor 100 ServiceListening || Gone "$servicePid"; then
    if grep -q 'Address already in use' tlKorvel.log; then
        Fail "port $clientPort is taken; run again with another, for example TLKORVEL_DEMO_PORT=55300 make demo"
    fi
    Fail "tlKorvel did not start; see $run/tlKorvel.log"
fi

# The instructions come last, after the start-up lines: both network cameras
# connected, the NVR's camera names learnt (its soft triggers follow at once).
CamerasConnected() {
    [ "$(Count ' connection from ' camsim.out)" -ge 2 ]
}
NvrCamerasKnown() {
    [ "$(Count 'Adding .*camera name' tlKorvel.log)" -ge 3 ]
}
WaitFor 100 CamerasConnected || Say "the service has not connected to both network cameras yet"
WaitFor 100 NvrCamerasKnown || Say "the service has not learnt the cameras from nvrsim yet"
sleep 0.3

cat <<EOF

==================================== tlKorvel demo ====================================
 tlKorvel runs in $run, operators connect to 127.0.0.1:$clientPort
   Pelco 1  Gate         network camera 127.0.0.1:$gatePort   NVR camera 11
   Pelco 2  Yard         network camera 127.0.0.2:$yardPort   NVR camera 12
   Pelco 3  Loading bay  serial camera $loadingBay          NVR camera 7 (analog)
 users: operator (priority 10) and supervisor (priority 20), password demo

 Steer a camera: in another terminal run
     $korvelctl 127.0.0.1:$clientPort
 and type
     login operator demo
     cam 1
     left 20
     stop
 Every frame the service lets through shows up below as a "camsim" line.
 A third terminal with "login supervisor demo" takes camera 1 over; the operator is
 refused until 10 seconds after the supervisor's last command.

 Hand a camera over from the NVR: type "choose" in korvelctl, then type here
     fire KORVEL_7
 (KORVEL_11, KORVEL_12 and KORVEL_7 are the service's soft triggers on the NVR;
 "dump" shows the NVR's state, "help" lists nvrsim's commands.)

 Watch it all: open the status page http://127.0.0.1:$statusPort/ in a browser
 (/status and /metrics are its JSON and Prometheus forms). Who steered which
 camera when goes to $run/audit.log; read it with
     $korvelctl audit $run/audit.log

 Ctrl-C stops everything.
=======================================================================================

EOF

# Lines typed here go to nvrsim until the end of input; meanwhile, and after
# it, a program that ends by itself ends the demo.
inputOpen=yes
partial=""
while :; do
    for pid in "$servicePid" "$nvrsimPid" "$camsimPid"; do
        Alive "$pid" || Fail "a program of the demo ended by itself; see the lines above and $run"
    done
    if [ -z "$inputOpen" ]; then
        sleep 1
        continue
    fi
    line=""
    IFS= read -r -t 1 line
    status=$?
    if [ "$status" -gt 128 ]; then
        partial+=$line # the read timed out inside a line: keep what came
    elif [ "$status" -eq 0 ]; then
        printf '%s\n' "$partial$line" >&3 || Fail "nvrsim does not take commands any more"
        partial=""
    else
        inputOpen=""
    fi
done
