#!/usr/bin/env bash
# A real OpenVPN server on this machine for development: it runs in a network
# namespace of its own, joined to this one by a veth pair with private
# addresses that exist only here, and accepts the development user of the
# development web API.
#
#   dev-vpn-server.sh up       builds the namespace and starts the server
#                              (a leftover of a killed run is removed first)
#   dev-vpn-server.sh down     stops the server, removes namespace and veth
#   dev-vpn-server.sh status   exit 0 when the server runs
#
# Files (certificates, server log, and webapi/: a data folder for
# tools/devwebapi/devwebapi.py whose CA and server list match this server)
# are kept in the state folder. Environment, all optional:
#   VARVEX_DEVSTACK_DIR     state folder             (build/devstack)
#   VARVEX_DEVSTACK_NS      namespace name           (varvex-devsrv)
#   VARVEX_DEVSTACK_VETH    veth name prefix, <= 12  (vvxdev)
#   VARVEX_DEVSTACK_LINK    first three octets of the veth /30 (10.213.9):
#                           .1 is the server, .2 this machine
#   VARVEX_DEVSTACK_TUNNEL  tunnel network /24       (10.8.213.0)
#   VARVEX_DEVSTACK_PUSH_DNS  1: a DNS server (dnsmasq) at the tunnel's .1,
#                           pushed to the clients, knowing the name
#                           devsrv.varvex.test and no other (0)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
state=${VARVEX_DEVSTACK_DIR:-$root/build/devstack}
ns=${VARVEX_DEVSTACK_NS:-varvex-devsrv}
veth=${VARVEX_DEVSTACK_VETH:-vvxdev}
link=${VARVEX_DEVSTACK_LINK:-10.213.9}
tunnel=${VARVEX_DEVSTACK_TUNNEL:-10.8.213.0}
tunnel_server=${tunnel%.*}.1
push_dns=${VARVEX_DEVSTACK_PUSH_DNS:-0}
dns_name=devsrv.varvex.test
server_address=$link.1
local_address=$link.2
openvpn=${VARVEX_OPENVPN:-/usr/sbin/openvpn}
data=$root/tools/devwebapi/data
dev_token=devtoken

. "$root/scripts/lib/vpn-test-server.sh"
. "$root/scripts/lib/netns.sh"

die() { echo "dev-vpn-server: $*" >&2; exit 1; }

server_running() {
    [ -f "$state/server.pid" ] && netns_exists "$ns" || return 1
    ip netns pids "$ns" 2>/dev/null | grep -qx "$(cat "$state/server.pid")"
}

down() {
    netns_remove "$ns"
    # Deleting the namespace takes its end of the pair, and with it ours;
    # this only matters after a half-finished "up".
    ip link delete "$veth-r" 2>/dev/null || true
    rm -f "$state/server.pid"
}

# CA and server certificate, made once per state folder. The server's common
# name is its address: OpenVPN reports it as the peer the client reached.
make_certificates() {
    local pki=$state/pki
    if [ -f "$pki/server.crt" ] && [ -f "$pki/ca.crt" ] \
        && openssl x509 -in "$pki/server.crt" -noout -subject | grep -q "CN *= *$server_address\$"; then
        return 0
    fi
    rm -rf "$pki"
    mkdir -p "$pki"
    chmod 700 "$pki"
    vpn_make_certificates "$pki" "Varvex Development CA" "$server_address" 3650 \
        || { rm -rf "$pki"; die "openssl failed"; }
}

# The web API's data with this server's CA, and the server list pointing the
# "Local test server" at this server.
write_webapi_data() {
    local out=$state/webapi
    mkdir -p "$out"
    cp "$data/users.json" "$out/users.json"
    cp "$state/pki/ca.crt" "$out/ca.crt"
    python3 - "$data/servers.json" "$out/servers.json" "$server_address" <<'PY'
import json, sys
source, target, host = sys.argv[1:]
with open(source, "rb") as f:
    servers = json.load(f)
servers["Local test server"] = {"code": "UK", "host": host}
with open(target + ".new", "w") as f:
    json.dump(servers, f, indent=4)
    f.write("\n")
import os
os.replace(target + ".new", target)
PY
}

write_server_config() {
    local user_file=$state/login
    # The account the development web API hands out for its token.
    python3 - "$data/users.json" "$dev_token" > "$user_file.new" 2>/dev/null <<'PY' \
        || die "$data/users.json has no user for the token $dev_token"
import json, sys
user = json.load(open(sys.argv[1], "rb"))[sys.argv[2]]
print(user["username"])
print(user["password"])
PY
    chmod 600 "$user_file.new"
    mv "$user_file.new" "$user_file"

    cat > "$state/verify-login.sh" <<SCRIPT
#!/bin/sh
# OpenVPN passes a file: the user name on the first line, the password on the second.
[ "\$(sed -n 1p "\$1")" = "\$(sed -n 1p '$user_file')" ] && [ "\$(sed -n 2p "\$1")" = "\$(sed -n 2p '$user_file')" ]
SCRIPT
    chmod 700 "$state/verify-login.sh"

    local dns=
    [ "$push_dns" != 1 ] || dns=$tunnel_server
    vpn_server_config "$server_address" "$tunnel" "$state/pki" "$state/verify-login.sh" "$state" $dns \
        > "$state/server.conf"
}

make_network() {
    ip netns add "$ns"
    ip link add "$veth-r" type veth peer name "$veth-s" netns "$ns"
    netns_no_ipv6 "$ns"
    link_no_ipv6 "$veth-r"
    ip netns exec "$ns" ip link set lo up
    ip netns exec "$ns" ip addr add "$server_address/30" dev "$veth-s"
    ip netns exec "$ns" ip link set "$veth-s" up
    ip addr add "$local_address/30" dev "$veth-r"
    ip link set "$veth-r" up
}

start_server() {
    local log=$state/server.log
    : > "$log"
    ip netns exec "$ns" "$openvpn" --config "$state/server.conf" --daemon varvex-devsrv \
        --writepid "$state/server.pid" --log "$log"
    for _ in $(seq 100); do
        grep -q "Initialization Sequence Completed" "$log" && return 0
        [ -f "$state/server.pid" ] && ! kill -0 "$(cat "$state/server.pid")" 2>/dev/null && break
        sleep 0.1
    done
    cat "$log" >&2
    return 1
}

# Answers on the tunnel address only, so only a connected client reaches it.
start_dns() {
    ip netns exec "$ns" dnsmasq --conf-file=/dev/null --no-resolv --no-hosts --bind-interfaces \
        --listen-address="$tunnel_server" --host-record="$dns_name,$tunnel_server" \
        --pid-file="$state/dnsmasq.pid" --user=root --log-facility="$state/dnsmasq.log"
}

up() {
    [ -e /dev/net/tun ] || die "/dev/net/tun is missing"
    if [ "$push_dns" = 1 ]; then
        command -v dnsmasq >/dev/null || die "dnsmasq is not installed (apt-get install dnsmasq-base)"
    fi
    [ -x "$openvpn" ] || die "$openvpn is not installed (apt-get install openvpn)"
    for tool in ip openssl python3; do
        command -v "$tool" >/dev/null || die "$tool is not installed"
    done
    [ ${#veth} -le 12 ] || die "VARVEX_DEVSTACK_VETH is longer than 12 characters"
    down
    mkdir -p "$state"
    chmod 700 "$state"
    make_certificates
    write_webapi_data
    write_server_config
    make_network || { down; die "could not build the network namespace $ns"; }
    start_server || { down; die "the OpenVPN server did not start (log above)"; }
    echo "OpenVPN test server on $server_address:443/udp, $tunnel_server inside the tunnel (namespace $ns, log $state/server.log)"
    if [ "$push_dns" = 1 ]; then
        start_dns || { down; die "dnsmasq did not start"; }
        echo "It pushes its DNS server $tunnel_server, which knows $dns_name only"
    fi
}

status() {
    if server_running; then
        echo "running: $server_address:443/udp in namespace $ns, pid $(cat "$state/server.pid")"
    else
        echo "not running"
        return 3
    fi
}

if [ "$(id -u)" -ne 0 ]; then
    die "must run as root (network namespaces and a tun device)"
fi
case "${1:-}" in
up) up ;;
down) down ;;
status) status ;;
*) echo "usage: $0 up|down|status" >&2; exit 2 ;;
esac
