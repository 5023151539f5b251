#!/bin/sh
# Builds and removes a throw-away OpenVPN test network: two network
# namespaces joined by a veth pair, private addresses that exist only
# inside them, and the certificates and configuration of a small server.
#
#   tunnel-fixture.sh up <tag> <dir>   namespaces <tag>-srv and <tag>-cli, files in <dir>
#   tunnel-fixture.sh down <tag>       stops everything inside both, removes them
#   tunnel-fixture.sh sweep            removes what runs that were killed left behind
#
# The server: 10.213.1.1 on the veth (also its certificate's common name,
# which OpenVPN reports as the peer), 10.213.8.1 in the tunnel.
set -eu

SERVER_LINK=10.213.1.1
CLIENT_LINK=10.213.1.2
TUNNEL_NET=10.213.8.0

. "$(dirname "$0")/../../scripts/lib/vpn-test-server.sh"

in_ns() { ns=$1; shift; ip netns exec "$ns" "$@"; }

no_ipv6() {
    # Link-local IPv6 chatter would move the counters the test reads.
    in_ns "$1" sh -c 'for f in /proc/sys/net/ipv6/conf/*/disable_ipv6; do echo 1 > "$f"; done' 2>/dev/null || true
}

make_certificates() {
    vpn_make_certificates "$1" "Tunnel Test CA" "$SERVER_LINK" 2 || exit 1
}

write_server_config() {
    dir=$1
    cat > "$dir/verify-login.sh" <<'SCRIPT'
#!/bin/sh
# OpenVPN passes a file: the user name on the first line, the password on the second.
user=$(sed -n 1p "$1")
pass=$(sed -n 2p "$1")
[ "$user" = "tunnel-user" ] && [ "$pass" = "tunnel-pass" ]
SCRIPT
    chmod 755 "$dir/verify-login.sh"
    vpn_server_config "$SERVER_LINK" "$TUNNEL_NET" "$dir" "$dir/verify-login.sh" "$dir" > "$dir/server.conf"
}

up() {
    tag=$1 dir=$2
    srv=$tag-srv cli=$tag-cli
    ip netns add "$srv"
    ip netns add "$cli"
    ip link add "${tag}s" netns "$srv" type veth peer name "${tag}c" netns "$cli"
    no_ipv6 "$srv"
    no_ipv6 "$cli"
    in_ns "$srv" ip link set lo up
    in_ns "$cli" ip link set lo up
    in_ns "$srv" ip addr add "$SERVER_LINK/24" dev "${tag}s"
    in_ns "$cli" ip addr add "$CLIENT_LINK/24" dev "${tag}c"
    in_ns "$srv" ip link set "${tag}s" up
    in_ns "$cli" ip link set "${tag}c" up
    make_certificates "$dir"
    write_server_config "$dir"
}

stop_all_in() {
    ns=$1
    ip netns list | grep -q "^$ns\( \|$\)" || return 0
    pids=$(ip netns pids "$ns" 2>/dev/null || true)
    [ -n "$pids" ] && kill -TERM $pids 2>/dev/null || true
    i=0
    while [ $i -lt 20 ] && [ -n "$(ip netns pids "$ns" 2>/dev/null)" ]; do
        sleep 0.1
        i=$((i + 1))
    done
    pids=$(ip netns pids "$ns" 2>/dev/null || true)
    [ -n "$pids" ] && kill -KILL $pids 2>/dev/null || true
    ip netns delete "$ns" 2>/dev/null || true
}

down() {
    stop_all_in "$1-cli"
    stop_all_in "$1-srv"
}

sweep() {
    for ns in $(ip netns list | sed -n 's/^\(vvx[0-9]*\)-\(srv\|cli\).*/\1/p' | sort -u); do
        pid=${ns#vvx}
        [ -d "/proc/$pid" ] || down "$ns"
    done
}

case "${1:-}" in
up) up "$2" "$3" ;;
down) down "$2" ;;
sweep) sweep ;;
*) echo "usage: $0 up <tag> <dir> | down <tag> | sweep" >&2; exit 2 ;;
esac
