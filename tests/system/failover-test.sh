#!/bin/bash
# A standby server that takes over: two booted Debian containers, a and b,
# each with the package built in BUILD_DIR and keepalived set up from the
# packaged example, on a private bridge with this host. The host plays the
# cameras (camsim), the recorder (nvrsim) and an operator (korvelctl
# --reconnect, steering camera 1 ten times a second through the floating
# address). Checked:
#   - the master serves operators at the floating address; the standby's
#     service is stopped and holds no camera or recorder connection;
#   - the master's service killed (kill -9: systemd would restart it only a
#     minute later): the standby takes the address, starts its service, and
#     the operator's frames reach the camera again through it;
#   - the new master's power cut (its link down, every process killed): the
#     first server takes over likewise;
#   - the recorder keeps one soft trigger of tlKorvel per camera;
#   - the server that lost its power, back, stays standby (nopreempt).
# Each takeover's time, from the failure to the first frame the camera gets
# through the new master, is shown.
#
# usage: tests/system/failover-test.sh BUILD_DIR [--measure RUNS]
#                                        (as root; make test-failover)
# --measure repeats each failure RUNS times and sums the times up instead.
#
# The containers run on overlays (BUILD_DIR/failover/NODE) of the root file
# system that the package test makes and shares (tests/system/containers.sh), so
# that a container keeps what was installed across its power cut. Each has a
# network namespace of its own, with an interface eth0 on the bridge.
#
# The last line of output is "N passed, N failed"; the exit status is 0 only
# when nothing failed.

set -u
export TZ=UTC

build=$(cd "${1:?usage: $0 BUILD_DIR [--measure RUNS]}" && pwd) || exit 1
measure=0
if [ "${2:-}" = --measure ]; then
    measure=${3:?usage: $0 BUILD_DIR --measure RUNS}
fi
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
korvelctl="$build/tools/korvelctl/korvelctl"
camsim="$build/tools/camsim/camsim"
nvrsim="$build/tools/nvrsim/nvrsim"
deb=$(ls "$build"/tlkorvel_*.deb 2>/dev/null | tail -n 1)
root_cache=${TLKORVEL_SYSTEM_ROOTS:-/var/cache/tlkorvel/system-roots}
work="$build/failover"
run_log="$build/failover-test.log" # the containers' output and journals, every command's output
tag=$$
bridge="tkbr$tag"
declare -A machine netns address
for node in a b; do
    machine[$node]="tlkorvel-failover-$node-$tag" # also the name of its cgroup
    netns[$node]="tkfo$tag$node"
done

passed=0
failed=0
host_pids=()

source "$source_dir/tests/system/containers.sh"
source "$source_dir/tests/support/free-port.sh"

# ---------------------------------------------------------------- harness

# N NODE COMMAND...: runs a command inside a node.
N() { InContainer "${machine[$1]}" "${@:2}"; }
Other() { [ "$1" = a ] && echo b || echo a; }
Info() { echo "        $*"; }
# Require DESCRIPTION COMMAND...: a check that the rest depends on.
Require() { Check "$@" || exit 1; }

# Unplugged NODE: its network is gone (a power cut, or the end of the test).
Unplug() {
    ip link del "tkv$tag$1" 2> /dev/null
    ip netns del "${netns[$1]}" 2> /dev/null
}

CleanUp() {
    local node pid
    for pid in "${host_pids[@]}"; do kill "$pid" 2> /dev/null; done
    for node in a b; do
        StopContainer "${machine[$node]}"
        mountpoint -q "$work/$node/root" && { umount "$work/$node/root" || umount -l "$work/$node/root"; }
        Unplug "$node"
    done
    ip link del "$bridge" 2> /dev/null
    echo "(every command's output and the containers' journals: $run_log)"
    echo "$passed passed, $failed failed"
}
trap 'CleanUp; [ "$failed" -eq 0 ] || exit 1' EXIT
trap 'Fatal "interrupted"' INT TERM

# ------------------------------------------------------------ the network

# A /24 of 10.0.0.0/8 that no route of this host reaches but the default.
PickSubnet() {
    local tries
    for tries in $(seq 50); do
        net="10.$((RANDOM % 200 + 50)).$((RANDOM % 256))"
        [ -z "$(ip -4 route show match "$net.0/24" | grep -v '^default')" ] && return 0
    done
    return 1
}

# PlugIn NODE: the node's network namespace, its eth0 on the bridge.
PlugIn() {
    local node=$1 host_end="tkv$tag$1" inner="tkc$tag$1"
    ip netns add "${netns[$node]}" &&
        ip link add "$host_end" type veth peer name "$inner" &&
        ip link set "$host_end" master "$bridge" up &&
        ip link set "$inner" netns "${netns[$node]}" &&
        ip -n "${netns[$node]}" link set "$inner" name eth0 &&
        ip -n "${netns[$node]}" addr add "${address[$node]}/24" dev eth0 &&
        ip -n "${netns[$node]}" link set eth0 up &&
        ip -n "${netns[$node]}" link set lo up
}

# StartNode NODE: boots the node (AwaitContainer waits for it).
StartNode() {
    PlugIn "$1" >> "$run_log" 2>&1 || Fatal "cannot give node $1 its network"
    StartContainer "${machine[$1]}" -D "$work/$1/root" --network-namespace-path="/run/netns/${netns[$1]}" \
        --bind-ro="$package_dir:/srv/package" --capability=CAP_NET_ADMIN
}

# PowerCut NODE: its link goes down and every process of it ends at once.
PowerCut() {
    Unplug "$1"
    KillContainer "${machine[$1]}"
}

# ------------------------------------------------------ what is checked

HoldsAddress() { ip -n "${netns[$1]}" -4 addr show dev eth0 2> /dev/null | grep -q " $vip/"; }
ServiceIs() { [ "$(N "$1" systemctl show -P ActiveState tlKorvel.service)" = "$2" ]; }
# The state keepalived last entered on the node, from its journal.
VrrpState() {
    N "$1" journalctl -b -u keepalived -o cat --no-pager 2> /dev/null |
        sed -n 's/.*Entering \([A-Z]*\) STATE.*/\1/p' | tail -n 1
}
VrrpIs() { [ "$(VrrpState "$1")" = "$2" ]; }
Greets() { "$korvelctl" check --address "$vip" --port "$port" --timeout 3000; }
Serves() { HoldsAddress "$1" && ServiceIs "$1" active && Greets; }
StandsBy() { ! HoldsAddress "$1" && ServiceIs "$1" inactive && VrrpIs "$1" BACKUP; }
# NvrDump: the recorder's state, through its control port.
NvrDump() {
    timeout 5 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" && echo dump >&3 &&
        while read -r line <&3; do echo "$line"; [ "$line" = ok ] && exit 0; done; exit 1' _ "$nvr_control"
}
# CameraLines: lines of the cameras' output from line FROM on.
CameraLines() { tail -n "+$1" "$cameras"; }
# RecorderPeers NODE: the node's connections that the recorder lists.
RecorderPeers() {
    local dump
    dump=$(NvrDump) || return 1
    echo "$dump" | grep -o "peer=${address[$1]}:[0-9]*"
    return 0
}
# NoConnectionsFrom NODE FROM [PEERS]: neither a camera (since line FROM of
# their output) nor the recorder has a connection from the node, but for the
# recorder's PEERS (left from before a power cut: nothing closed them).
NoConnectionsFrom() {
    local peers
    peers=$(RecorderPeers "$1") || return 1
    ! CameraLines "$2" | grep -q "connection from ${address[$1]}:" &&
        [ "$peers" = "${3:-}" ]
}
RecorderSessionOf() { NvrDump | grep -q "^session .* peer=${address[$1]}:[0-9]* loggedin=yes"; }
# FrameThrough NODE FROM: the time stamp of the first frame for camera 1
# after the node connected to it, since line FROM of the cameras' output.
FrameThrough() {
    CameraLines "$2" | awk -v from="connection from ${address[$1]}:" \
        'index($0, from) { connected = 1 } connected && / camera 1 Pelco/ { print $1; found = 1; exit }
         END { exit !found }'
}
Reconnections() { grep -c "^reconnected to " "$operator_out"; }
# OperatorReconnected COUNT: after more than COUNT reconnections, camera 1
# is selected again.
OperatorReconnected() {
    awk -v count="$1" '/^reconnected to / { n++ } n > count && /^steering camera 1$/ { found = 1; exit }
        END { exit !found }' "$operator_out"
}
TriggersOnePerCamera() {
    local dump
    dump=$(NvrDump) || return 1
    echo "$dump" | grep '^trigger '
    [ "$(echo "$dump" | grep -c '^trigger ')" = 2 ] &&
        [ "$(echo "$dump" | grep -c '^trigger .*guid=KORVEL_11\b')" = 1 ] &&
        [ "$(echo "$dump" | grep -c '^trigger .*guid=KORVEL_12\b')" = 1 ]
}
# Clock times of this host and camsim's stamps, in seconds of the day (UTC).
Now() { date -u +%H:%M:%S.%N; }
Seconds() { awk -F: -v t="$1" 'BEGIN { split(t, f, ":"); printf "%.3f\n", f[1] * 3600 + f[2] * 60 + f[3] }'; }
Elapsed() {
    awk -v from="$(Seconds "$1")" -v to="$(Seconds "$2")" \
        'BEGIN { d = to - from; if (d < -43200) d += 86400; printf "%.1f\n", d }'
}

# Failover FAILURE MASTER: fails the master (kill: its service is killed;
# power: a power cut), waits until the standby serves, the operator has
# reconnected and a frame has reached the camera through the new master,
# and leaves the time that took in $took.
Failover() {
    local kind=$1 master=$2 standby mark reconnections started frame
    standby=$(Other "$master")
    mark=$(($(wc -l < "$cameras") + 1))
    reconnections=$(Reconnections)
    took=""
    started=$(Now)
    case "$kind" in
    kill) N "$master" systemctl kill --kill-who=main --signal=SIGKILL tlKorvel.service ;;
    power) PowerCut "$master" ;;
    esac
    Require "$standby takes the address and starts its service" WaitFor 60 Serves "$standby"
    Check "the operator reconnects to it and selects camera 1 again" WaitFor 30 OperatorReconnected "$reconnections"
    Check "its frames reach the camera through $standby" WaitFor 30 FrameThrough "$standby" "$mark"
    frame=$(FrameThrough "$standby" "$mark") && took=$(Elapsed "$started" "$frame") &&
        Info "the first frame through $standby came ${took} s after the failure"
    Check "$standby logs in to the recorder" WaitFor 30 RecorderSessionOf "$standby"
}

# Back NODE: boots a node again after its power cut; keepalived starts with it.
Back() {
    StartNode "$1"
    AwaitContainer "${machine[$1]}"
}

# -------------------------------------------------------------- set-up

[ "$(id -u)" -eq 0 ] || Fatal "the container tests need root"
[ -f "$deb" ] || Fatal "no package in $build (make package)"
for tool in systemd-nspawn debootstrap nsenter ip flock; do
    command -v "$tool" > /dev/null || Fatal "$tool is missing (make test-failover installs it)"
done
for program in "$korvelctl" "$camsim" "$nvrsim"; do
    [ -x "$program" ] || Fatal "$program is missing (make build)"
done
: > "$run_log"
echo "package: $deb"
package_dir="$build/failover-package" # the containers see the package alone
rm -rf "$package_dir" && mkdir -p "$package_dir" && cp "$deb" "$package_dir/"

MakeRoot "$root_cache" "$deb"
PickSubnet || Fatal "no free 10.x.y.0/24 for the bridge"
address[a]="$net.2"
address[b]="$net.3"
vip="$net.100"
ip link add "$bridge" type bridge mcast_snooping 0 >> "$run_log" 2>&1 &&
    ip link set "$bridge" up && ip addr add "$net.1/24" dev "$bridge" &&
    ip addr add "$net.4/24" dev "$bridge" || Fatal "cannot make the bridge $bridge"
for node in a b; do
    # An overlay left mounted by a run that was killed goes first.
    mountpoint -q "$work/$node/root" && umount -l "$work/$node/root"
    rm -rf "${work:?}/$node" && mkdir -p "$work/$node/upper" "$work/$node/work" "$work/$node/root"
    mount -t overlay overlay -o "lowerdir=$root,upperdir=$work/$node/upper,workdir=$work/$node/work" \
        "$work/$node/root" || Fatal "cannot mount an overlay of $root"
done
for node in a b; do StartNode "$node"; done
for node in a b; do AwaitContainer "${machine[$node]}"; done
Pass "two containers boot, on $net.0/24 with the floating address $vip"

# The cameras (Pelco 1 on $net.1, 2 on $net.4) and the recorder, on this host.
cameras="$work/cameras.out"
TZ=UTC "$camsim" --listen "$net.1:0" --listen "$net.4:0" > "$cameras" 2>&1 &
host_pids+=($!)
printf 'user korvel demo\ncamera 11 %s Gate\ncamera 12 %s Yard\n' "$net.1" "$net.4" > "$work/nvrsim-setup.txt"
"$nvrsim" --listen "$net.1:0" --control 127.0.0.1:0 < "$work/nvrsim-setup.txt" > "$work/recorder.out" 2>&1 &
host_pids+=($!)
WaitFor 10 grep -q "listening on $net.4:" "$cameras" && WaitFor 10 grep -q "^control on" "$work/recorder.out" ||
    Fatal "the simulators did not start"
nvr_control=$(sed -n 's/^control on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/recorder.out")
port=$(FreePort)
sed -e "s|@VIP@|$vip|" -e "s|@PORT@|$port|" -e "s|@NET@|$net|g" \
    -e "s|@NVR_PORT@|$(sed -n "s/^listening on $net\.1:\([0-9]*\)$/\1/p" "$work/recorder.out")|" \
    -e "s|@CAMERA_1_PORT@|$(sed -n "s/^camera listening on $net\.1:\([0-9]*\)$/\1/p" "$cameras")|" \
    -e "s|@CAMERA_2_PORT@|$(sed -n "s/^camera listening on $net\.4:\([0-9]*\)$/\1/p" "$cameras")|" \
    > "$work/tlKorvel.xml" << 'EOF'
<tlKorvel>
  <Options RetryIntervalSecs="2" ClientAddress="@VIP@" ClientPort="@PORT@" />
  <KorvelControl LockTime="5">
    <User Name="operator" Password="demo" Priority="10" />
  </KorvelControl>
  <NVR Address="@NET@.1" Port="@NVR_PORT@" Login="korvel" Password="demo">
    <Camera Address="@NET@.1" PelcoNumber="1" Port="@CAMERA_1_PORT@" />
    <Camera Address="@NET@.4" PelcoNumber="2" Port="@CAMERA_2_PORT@" />
  </NVR>
</tlKorvel>
EOF

# The package on both, the same configuration, keepalived from the example:
# b gets the higher priority, so that only nopreempt keeps it standby.
deb_name=$(basename "$deb")
installing=()
for node in a b; do
    N "$node" apt-get install -y -q "/srv/package/$deb_name" >> "$run_log" 2>&1 &
    installing[${#installing[@]}]=$!
done
for job in "${installing[@]}"; do wait "$job" || Fatal "apt could not install the package"; done
Pass "apt installs the package on both"
example="/proc/${container_pid1[${machine[a]}]}/root/usr/share/doc/tlkorvel/examples/keepalived.conf"
[ -f "$example" ] || Fatal "the package has no example keepalived.conf"
for node in a b; do
    N "$node" sh -c 'cat > /etc/tlkorvel/tlKorvel.xml' < "$work/tlKorvel.xml"
    priority=190
    [ "$node" = b ] && priority=200
    sed -e "s|192\.168\.10\.100|$vip|g" -e "s| 55272 | $port |" -e "s|priority 200|priority $priority|" \
        "$example" | N "$node" sh -c 'cat > /etc/keepalived/keepalived.conf'
done
Check "the check script passes where the service is stopped" N a /usr/lib/tlkorvel/keepalived-check "$vip" "$port"

# a starts first and becomes master; b, started after it, stays standby.
N a systemctl start keepalived
Require "a takes the floating address and serves operators there" WaitFor 30 Serves a
N b systemctl start keepalived
Require "b stands by" WaitFor 30 StandsBy b

# The operator: logs in, then steers camera 1 ten times a second.
operator_out="$work/operator.out"
: > "$operator_out"
rm -f "$work/operator.in" && mkfifo "$work/operator.in"
# Its lines go to operator.out as they are, and with the time each was
# read at to operator.timed, for a closer look at a takeover.
rm -f "$work/operator.timed" "$work/operator.pipe" && mkfifo "$work/operator.pipe"
while IFS= read -r line; do
    echo "$line" >> "$operator_out"
    now=$EPOCHREALTIME
    printf '%(%H:%M:%S)T.%s %s\n' "${now%.*}" "${now#*.}" "$line" >> "$work/operator.timed"
done < "$work/operator.pipe" &
host_pids+=($!)
"$korvelctl" "$vip:$port" --reconnect < "$work/operator.in" > "$work/operator.pipe" 2>&1 &
host_pids+=($!)
exec {feed}> "$work/operator.in"
echo "login operator demo" >&$feed
echo "cam 1" >&$feed
while echo "left 20" 2> /dev/null; do sleep 0.1; done >&$feed &
host_pids+=($!)
Check "a connects to both cameras" WaitFor 30 test "$(grep -c "connection from ${address[a]}:" "$cameras")" -ge 2
Require "the operator's frames reach camera 1 through a" WaitFor 30 FrameThrough a 1
Check "a logs in to the recorder" WaitFor 30 RecorderSessionOf a
Check "b holds no camera or recorder connection" NoConnectionsFrom b 1
Check "b's service is stopped" ServiceIs b inactive

if [ "$measure" -gt 0 ]; then
    master=a
    for kind in kill power; do
        times=()
        for run in $(seq "$measure"); do
            Failover "$kind" "$master"
            [ -n "$took" ] && times+=("$took")
            case "$kind" in
            kill) Check "$master stands by again" WaitFor 60 StandsBy "$master" ;;
            power) Back "$master" && Check "$master, back, stands by" WaitFor 60 StandsBy "$master" ;;
            esac
            master=$(Other "$master")
        done
        Info "$kind: ${times[*]} s; median $(printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }') s"
    done
    exit
fi

# The service killed on a: b takes over; a gives up the address and stands by.
Failover kill a
Check "a stops its service and stands by" WaitFor 60 StandsBy a

# A power cut of b: a takes over.
Failover power b
Check "the recorder keeps one soft trigger of tlKorvel per camera" TriggersOnePerCamera

# b back: it stays standby, though its priority is higher (nopreempt).
mark=$(($(wc -l < "$cameras") + 1))
peers=$(RecorderPeers b)
Back b
Check "b, back, enters the standby state" WaitFor 60 VrrpIs b BACKUP
# Long enough for b to have taken the address if it were going to:
# three advertisement intervals and more.
sleep 6
Check "b stays standby: a keeps the address and serves" Serves a
Check "... b's service stays stopped" StandsBy b
Check "... b connects to no camera or recorder" NoConnectionsFrom b "$mark" "$peers"
