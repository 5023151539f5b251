# Network namespaces of the test servers: whether one exists, switching
# IPv6 off, and removing one with whatever still runs inside. Sourced by
# scripts/dev-vpn-server.sh and by the tunnel test's fixture; plain sh, and
# every variable it sets starts with netns_, so that it clobbers none of the
# caller's.

# netns_exists <namespace>
netns_exists() {
    ip netns list | grep -q "^$1\( \|$\)"
}

# netns_no_ipv6 <namespace>
# Link-local IPv6 chatter is of no use to the tests and would move the
# counters they read. The "default" entry is among the ones set, so devices
# made later (the tunnel's) get none either.
netns_no_ipv6() {
    ip netns exec "$1" sh -c 'for f in /proc/sys/net/ipv6/conf/*/disable_ipv6; do echo 1 > "$f"; done' 2>/dev/null || true
}

# link_no_ipv6 <device>
# The same for one device of this namespace.
link_no_ipv6() {
    echo 1 > "/proc/sys/net/ipv6/conf/$1/disable_ipv6" 2>/dev/null || true
}

# netns_remove <namespace>
# Asks everything inside to end, waits up to 3 s, kills what is left and
# deletes the namespace (which takes its devices with it). Nothing to do
# when it does not exist; otherwise the status of the delete.
netns_remove() {
    netns_exists "$1" || return 0
    netns_pids=$(ip netns pids "$1" 2>/dev/null || true)
    [ -z "$netns_pids" ] || kill -TERM $netns_pids 2>/dev/null || true
    netns_wait=0
    while [ $netns_wait -lt 30 ] && [ -n "$(ip netns pids "$1" 2>/dev/null)" ]; do
        sleep 0.1
        netns_wait=$((netns_wait + 1))
    done
    netns_pids=$(ip netns pids "$1" 2>/dev/null || true)
    [ -z "$netns_pids" ] || kill -KILL $netns_pids 2>/dev/null || true
    ip netns delete "$1"
}
