# FreePort: a TCP port that no socket uses now, below the ephemeral ports
# that the tests running beside the caller connect from and listen on (they
# bind port 0), so that a service given a fixed port can bind it.
# Sourced by the container and Wine tests.
FreePort() {
    local port ephemeral
    read -r ephemeral _ < /proc/sys/net/ipv4/ip_local_port_range
    [ "$ephemeral" -gt 21000 ] || ephemeral=32768
    while :; do
        port=$((20000 + RANDOM % (ephemeral - 20000)))
        grep -qi ":$(printf '%04X' "$port") " /proc/net/tcp /proc/net/tcp6 || break
    done
    echo "$port"
}
