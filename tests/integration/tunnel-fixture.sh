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
# which OpenVPN reports as the peer), 10.213.8.1 in the tunnel, where it
# also answers DNS (started by the test) and which it pushes as the DNS
# server together with redirect-gateway def1; the client knows it by the
# name vpn.tunnel.test too (its own /etc/netns/<tag>-cli/hosts). The client's default routes,
# IPv4 and IPv6, point at the server's veth address, so an address outside
# both namespaces has a route before the tunnel takes it over. The client
# has a resolver file of its own, /etc/netns/<tag>-cli/resolv.conf, which
# `ip netns exec` mounts over /etc/resolv.conf.
set -eu

SERVER_LINK=10.213.1.1
CLIENT_LINK=10.213.1.2
TUNNEL_NET=10.213.8.0
TUNNEL_SERVER=10.213.8.1
SERVER_LINK6=fd00:213:1::1
CLIENT_LINK6=fd00:213:1::2

. "$(dirname "$0")/../../scripts/lib/vpn-test-server.sh"
. "$(dirname "$0")/../../scripts/lib/netns.sh"

in_ns() { ns=$1; shift; ip netns exec "$ns" "$@"; }

# IPv6 on loopback and the veth only, with addresses that need no router
# discovery, so that the test can tell IPv6 blocked from IPv6 missing.
ipv6_on_link() {
    ns=$1 dev=$2 address=$3
    in_ns "$ns" sh -c "echo 0 > /proc/sys/net/ipv6/conf/lo/disable_ipv6; echo 0 > /proc/sys/net/ipv6/conf/$dev/disable_ipv6"
    in_ns "$ns" sysctl -q -w "net.ipv6.conf.$dev.accept_dad=0" "net.ipv6.conf.$dev.accept_ra=0" >/dev/null
    in_ns "$ns" ip -6 addr add "$address/64" dev "$dev" nodad
}

client_resolv_conf() {
    # The client's own resolver file; nothing answers at this address.
    mkdir -p "/etc/netns/$1"
    printf '# The client namespace of a tunnel test\nnameserver %s\noptions timeout:1 attempts:1\n' \
        "$SERVER_LINK" > "/etc/netns/$1/resolv.conf"
    # The server by name, as a provider's would be; no DNS is needed for it.
    printf '127.0.0.1 localhost\n%s vpn.tunnel.test\n' "$SERVER_LINK" > "/etc/netns/$1/hosts"
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
    vpn_server_config "$SERVER_LINK" "$TUNNEL_NET" "$dir" "$dir/verify-login.sh" "$dir" \
        "$TUNNEL_SERVER" redirect > "$dir/server.conf"
}

up() {
    tag=$1 dir=$2
    srv=$tag-srv cli=$tag-cli
    ip netns add "$srv"
    ip netns add "$cli"
    ip link add "${tag}s" netns "$srv" type veth peer name "${tag}c" netns "$cli"
    netns_no_ipv6 "$srv"
    netns_no_ipv6 "$cli"
    in_ns "$srv" ip link set lo up
    in_ns "$cli" ip link set lo up
    in_ns "$srv" ip addr add "$SERVER_LINK/24" dev "${tag}s"
    in_ns "$cli" ip addr add "$CLIENT_LINK/24" dev "${tag}c"
    in_ns "$srv" ip link set "${tag}s" up
    in_ns "$cli" ip link set "${tag}c" up
    in_ns "$cli" ip route add default via "$SERVER_LINK"
    ipv6_on_link "$srv" "${tag}s" "$SERVER_LINK6"
    ipv6_on_link "$cli" "${tag}c" "$CLIENT_LINK6"
    in_ns "$cli" ip -6 route add default via "$SERVER_LINK6"
    client_resolv_conf "$cli"
    make_certificates "$dir"
    write_server_config "$dir"
}

# The namespace with what runs inside, and its resolver file.
stop_all_in() {
    netns_remove "$1" 2>/dev/null || true
    rm -rf "/etc/netns/$1"
}

down() {
    stop_all_in "$1-cli"
    stop_all_in "$1-srv"
}

sweep() {
    for ns in $( (ip netns list; ls /etc/netns 2>/dev/null) | sed -n 's/^\(vvx[0-9]*\)-\(srv\|cli\).*/\1/p' | sort -u); do
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
