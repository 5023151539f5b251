#!/usr/bin/env bash
# The Debian package on a real Debian 12 system: a minimal root with systemd,
# dbus and systemd-resolved, booted with systemd-nspawn in a network namespace
# whose peer runs the OpenVPN test server (redirect-gateway, a DNS server and
# a domain) and the development web API. The package is installed with apt
# as a user would; an ordinary user connects through the socket; the service
# is killed, upgraded, removed and purged under the real service manager.
#
# Usage: system-test.sh BUILD_DIR SOCKETPROBE
#        (VARVEX_SYSTEM_TEST_HOLD=1: after a failure, keep the container until
#        the file named on standard output is removed)
#        system-test.sh --guard PID RUN_DIR   (internal: cleans up after PID)
#
# Exit status 0 passed, 1 failed, 77 skipped (with the reason on stdout).
# Everything it makes lives in BUILD_DIR/system-test: the cached root (one
# per day and set of dependencies) and one run folder, removed at the end,
# together with the container and both network namespaces, however the run
# ends (a guard process cleans up after a run that was killed outright).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
fixture=$source_dir/tests/integration/tunnel-fixture.sh
SKIP=77

# The fixture's addresses and the names its DNS server knows.
SERVER_LINK=10.213.1.1
SERVER_TUNNEL=10.213.8.1
TUNNEL_USER=tunnel-user
TUNNEL_PASSWORD=tunnel-pass
PUSHED_DOMAIN=tunnel.test
TUNNEL_ONLY_NAME=vpn-only.tunnel.test
TUNNEL_ONLY_ADDRESS=10.213.8.77
API_PORT=8080
API_TOKEN=devtoken
IPV6_TABLE=varvex_ipv6_block
LOCKDOWN_TABLE=varvex_lockdown
# Outside the local network, so that no exception of the kill switch lets it
# through; the client's default route sends it to the server's namespace,
# which counts it.
PROBE_ADDRESS=198.51.100.1
# Inside the container.
SOCKET=/run/varvex/Varvex
SETTINGS=/etc/varvex/service.conf
LOG=/var/log/varvex/varvexservice.log
RECORD=/run/varvex/network-changes
LOCKDOWN_RECORD=/run/varvex/lockdown
SHARED=/srv/varvex-test
MEMBER=vvxmember    # in the group varvex
OUTSIDER=vvxoutsider # not in it

# ---------------------------------------------------------------- clean-up

# Stops the container and removes the namespaces and the run folder. Safe to
# run more than once, and from the guard after the test itself was killed.
cleanup_run() {
    local run=$1 started=$SECONDS
    [ -d "$run" ] || return 0
    if [ -f "$run/nspawn.pid" ]; then
        local pid
        pid=$(cat "$run/nspawn.pid")
        if kill -0 "$pid" 2>/dev/null; then
            # systemd-nspawn powers the container off on SIGTERM; the
            # container is thrown away, so it gets a few seconds only, and
            # removing the namespace ends whatever is left.
            kill -TERM "$pid" 2>/dev/null || true
            for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
            kill -KILL "$pid" 2>/dev/null || true
        fi
    fi
    local container=$((SECONDS - started))
    if [ -f "$run/tag" ]; then
        "$fixture" down "$(cat "$run/tag")" >/dev/null 2>&1 || true
    fi
    local network=$((SECONDS - started - container))
    # The root may hold device nodes and mounts only inside the container's
    # own mount namespace, which is gone now; never cross into another file system.
    rm -rf --one-file-system "$run"
    echo "cleaned up: container ${container} s, network $network s, files $((SECONDS - started - container - network)) s"
}

if [ "${1:-}" = "--guard" ]; then
    pid=$2 run=$3
    while kill -0 "$pid" 2>/dev/null; do sleep 1; done
    cleanup_run "$run"
    exit 0
fi

build=$(cd "${1:?usage: $0 BUILD_DIR SOCKETPROBE}" && pwd)
probe=${2:?usage: $0 BUILD_DIR SOCKETPROBE}

skip() { echo "SKIP: $*"; exit $SKIP; }

[ "$(id -u)" -eq 0 ] || skip "the system test needs root (containers and network namespaces)."
for tool in systemd-nspawn mmdebstrap nsenter ip nft openvpn dnsmasq python3 dpkg-deb; do
    command -v "$tool" >/dev/null \
        || skip "the system test needs $tool (scripts/install-deps.sh installs systemd-container, mmdebstrap and the rest)."
done
[ -e /dev/net/tun ] || skip "the system test needs /dev/net/tun."
[ -x "$probe" ] || { echo "FAIL: $probe is not built"; exit 1; }

work=$build/system-test
mkdir -p "$work/cache"
# Run folders of runs whose guard could not clean up (a machine that stopped).
for old in "$work"/run-*; do
    [ -d "$old" ] || continue
    kill -0 "${old##*-}" 2>/dev/null || cleanup_run "$old"
done
run=$work/run-$$
tag=vvx$$
mkdir -p "$run/share" "$run/server" "$run/api"
echo "$tag" > "$run/tag"
# The test's own output: a signal's trap runs inside whatever redirection
# the interrupted command had (a step's log file, removed with the run).
exec 3>&1 4>&2
trap 'status=$?; trap - EXIT; exec 1>&3 2>&4; finish $status' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
setsid "$0" --guard $$ "$run" </dev/null >/dev/null 2>&1 3>&- 4>&- &

# ---------------------------------------------------------------- reporting

# Microseconds since the epoch.
now_us() { local t=$EPOCHREALTIME; echo $((${t%.*} * 1000000 + 10#${t#*.})); }
seconds_since() { local us=$(($(now_us) - $1)); printf '%d.%d' $((us / 1000000)) $((us % 1000000 / 100000)); }
phase_name=
phase_start=
test_start=$(now_us)
phase() {
    local now
    now=$(now_us)
    [ -z "$phase_name" ] || printf 'phase %-12s %6s s\n' "$phase_name" "$(seconds_since "$phase_start")"
    phase_name=$1
    phase_start=$now
    [ -z "$1" ] || echo "--- $1"
}

fail() {
    echo "FAIL ($phase_name): $*"
    exit 1
}

finish() {
    local status=$1
    if [ "$status" -ne 0 ] && [ "$status" -ne $SKIP ] && [ -n "${init_pid:-}" ]; then
        echo "--- service log (end)"
        in_box tail -n 200 "$LOG" 2>/dev/null | tr -d '\r' | grep -av '^[[:space:]]*$' | tail -n 60 || true
        echo "--- journal of varvex (end)"
        in_box journalctl -u varvex --no-pager -n 40 2>/dev/null || true
        if [ -n "${VARVEX_SYSTEM_TEST_HOLD:-}" ]; then
            echo "holding the container for a look: nsenter -t $init_pid -a bash; rm $run/hold to end"
            touch "$run/hold"
            while [ -e "$run/hold" ]; do sleep 1; done
        fi
    fi
    phase cleanup
    cleanup_run "$run"
    phase ""
    echo "total $(seconds_since "$test_start") s"
    exit "$status"
}

# ---------------------------------------------------------------- the container

in_box() { nsenter -t "$init_pid" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
# The container's network, seen with this machine's tools.
in_net() { nsenter -t "$init_pid" -n "$@"; }
as_user() { local user=$1; shift; in_box setpriv --reuid="$user" --regid="$user" --init-groups "$@"; }
probe_as() { local user=$1; shift; as_user "$user" "$SHARED/socketprobe" "$SOCKET" "$@"; }

# wait_for <seconds> <description> <command...>
wait_for() {
    local limit=$1 what=$2
    shift 2
    local end=$((SECONDS + limit))
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt "$end" ] || fail "$what (waited ${limit} s)"
        sleep 0.2
    done
}

# The root is cached per day and per set of dependencies, with the package's
# dependencies already fetched into apt's cache: the container's network
# reaches the test server only, as a VPN user's machine reaches its VPN.
ROOT_PACKAGES=systemd,systemd-sysv,dbus,systemd-resolved
make_root() {
    local deb=$1
    local key
    key=$( (echo "$ROOT_PACKAGES"; dpkg-deb -f "$deb" Depends Pre-Depends) | sha256sum | cut -c1-12)
    local cached=$work/cache/bookworm-$(date -u +%F)-$key.tar
    if [ ! -f "$cached" ]; then
        rm -f "$work"/cache/*.tar
        echo "making the Debian 12 root (cached in $work/cache for today)"
        # Only the package's dependencies stay in apt's cache, not the root's own.
        if ! mmdebstrap --variant=minbase --include="$ROOT_PACKAGES" \
            --skip=cleanup/apt/lists --skip=cleanup/apt/cache \
            --customize-hook='rm -f "$1"/var/cache/apt/archives/*.deb' \
            --customize-hook="APT_CONFIG=\$MMDEBSTRAP_APT_CONFIG apt-get install --download-only -y --no-install-recommends '$deb'" \
            bookworm "$work/cache/new.tar" > "$run/mmdebstrap.log" 2>&1; then
            rm -f "$work/cache/new.tar"
            if grep -q "Temporary failure resolving\|Could not connect\|Failed to fetch\|Unable to connect" "$run/mmdebstrap.log"; then
                skip "Debian's archive cannot be reached to make the container's root."
            fi
            tail -n 30 "$run/mmdebstrap.log"
            fail "mmdebstrap failed"
        fi
        mv "$work/cache/new.tar" "$cached"
    fi
    mkdir "$run/root"
    tar -C "$run/root" -xf "$cached"
}

boot() {
    # The test's own settings for the service: the web API of the test server.
    mkdir -p "$run/root/etc/systemd/system/varvex.service.d"
    # Plain HTTP: TLS to the web API is proven by the service's own tests;
    # here the web API only hands out the CA certificate and the credentials.
    printf '[Service]\nEnvironment=VARVEX_API_HOST=%s:%s VARVEX_API_SCHEME=http\n' "$SERVER_LINK" "$API_PORT" \
        > "$run/root/etc/systemd/system/varvex.service.d/system-test.conf"
    systemd-nspawn -q -D "$run/root" --boot --register=no --keep-unit --machine="$tag" \
        --network-namespace-path="/run/netns/$tag-cli" --capability=CAP_NET_ADMIN,CAP_NET_RAW \
        --resolv-conf=off --timezone=off --link-journal=no --console=read-only \
        --bind-ro="$run/share:$SHARED" > "$run/console.log" 2>&1 </dev/null 3>&- 4>&- &
    echo $! > "$run/nspawn.pid"
    local nspawn=$!
    # The container's init is the one process of the namespace whose parent
    # is systemd-nspawn.
    local end=$((SECONDS + 20))
    init_pid=
    while [ -z "$init_pid" ]; do
        # Before the container's init runs, nothing of the package is in it:
        # this machine cannot run containers (a container itself, say).
        kill -0 "$nspawn" 2>/dev/null \
            || skip "systemd-nspawn cannot boot a container here: $(tail -n 3 "$run/console.log" | tr '\n' ' ')"
        [ $SECONDS -lt "$end" ] || fail "no init process in the container"
        for pid in $(ip netns pids "$tag-cli"); do
            [ "$(awk '/^PPid:/ {print $2}' "/proc/$pid/status" 2>/dev/null)" = "$nspawn" ] && init_pid=$pid
        done
        [ -n "$init_pid" ] || sleep 0.1
    done
    wait_for 60 "the container's systemd did not finish booting" \
        sh -c "nsenter -t $init_pid -a systemctl is-system-running --wait | grep -qx 'running\|degraded'"
    in_box systemctl is-active --quiet systemd-resolved || fail "systemd-resolved is not running in the container"
}

# apt as an administrator runs it; dpkg skips its fsyncs, the container is thrown away.
apt_in_box() { in_box env DEBIAN_FRONTEND=noninteractive apt-get -o Dpkg::Options::=--force-unsafe-io "$@"; }

# ---------------------------------------------------------------- checks

socket_is() {
    local want=$1 got
    got=$(in_box stat -c '%U:%G %a %F' "$SOCKET")
    [ "$got" = "$want" ] || fail "socket is '$got', expected '$want'"
    echo "socket: $got"
}

main_pid() { in_box systemctl show -p MainPID --value varvex; }
restarted_from() { local pid; pid=$(main_pid); [ "$pid" != 0 ] && [ "$pid" != "$1" ]; }

# What the tunnel leaves behind when it is gone, or nothing; with
# "but-the-block", the kill switch's table and its record are not counted.
leftovers() {
    local found=
    in_net ip route show exact "$SERVER_LINK/32" | grep -q . && found+="host route to the server; "
    in_net ip link show tun0 >/dev/null 2>&1 && found+="tun0; "
    in_net nft list table ip6 "$IPV6_TABLE" >/dev/null 2>&1 && found+="table ip6 $IPV6_TABLE; "
    if [ "${1:-}" != but-the-block ]; then
        in_net nft list table inet "$LOCKDOWN_TABLE" >/dev/null 2>&1 && found+="table inet $LOCKDOWN_TABLE; "
        in_box test -e "$LOCKDOWN_RECORD" && found+="$LOCKDOWN_RECORD; "
    fi
    in_box resolvectl status 2>/dev/null | grep -q "$SERVER_TUNNEL\|$PUSHED_DOMAIN" && found+="resolved settings; "
    in_box test -e "$RECORD" && found+="$RECORD; "
    printf '%s' "$found"
}

expect_clean() {
    local left
    left=$(leftovers)
    [ -z "$left" ] || fail "$1 left: $left"
}
# The same, for an undo that runs after the status has changed.
await_clean() {
    local end=$((SECONDS + 10))
    while [ -n "$(leftovers)" ] && [ $SECONDS -lt "$end" ]; do sleep 0.2; done
    expect_clean "$1"
}

# The tunnel as a user sees it: address, pushed DNS on its link, a name only
# the tunnel's DNS server knows, the default route through it.
expect_tunnel() {
    in_net ip -4 -o addr show dev tun0 | grep -q "inet 10\.213\.8\." || fail "tun0 has no tunnel address"
    local dns domain
    dns=$(in_box resolvectl dns tun0)
    domain=$(in_box resolvectl domain tun0)
    echo "resolvectl: $dns / $domain"
    [[ $dns == *"$SERVER_TUNNEL"* ]] || fail "resolved has not the pushed server on tun0: $dns"
    [[ $domain == *"~."* && $domain == *"$PUSHED_DOMAIN"* ]] || fail "resolved has not the pushed domain on tun0: $domain"
    local found
    found=$(as_user "$MEMBER" getent hosts "$TUNNEL_ONLY_NAME" || true)
    [[ $found == "$TUNNEL_ONLY_ADDRESS "* ]] || fail "$TUNNEL_ONLY_NAME did not resolve through resolved: '$found'"
    in_net ip route get 198.51.100.1 | grep -q " dev tun0 " || fail "outside traffic is not routed through the tunnel"
}

# Datagrams from the member to the probe address (ordinary and DNS ports)
# and DNS to a resolver on the local network, counted where they would
# leave: at the server's end of the link.
send_probes() {
    as_user "$MEMBER" bash -c "for i in 1 2 3 4 5; do echo x > /dev/udp/$PROBE_ADDRESS/9;
        echo x > /dev/udp/$PROBE_ADDRESS/53; echo x > /dev/udp/$SERVER_LINK/53; done" 2>/dev/null || true
}
probes_seen() {
    ip netns exec "$tag-srv" nft list counter inet vvxsystest probes | sed -n 's/.*packets \([0-9]*\).*/\1/p'
}
reset_probes() { ip netns exec "$tag-srv" nft reset counter inet vvxsystest probes >/dev/null; }

# The service's log from a mark on: the undo of a tunnel runs after the
# status has changed.
mark_log() { log_lines=$(in_box wc -l "$LOG" | cut -d' ' -f1); }
logged_since_mark() { in_box tail -n +$((log_lines + 1)) "$LOG" | grep -aqF "$1"; }

status_is() { [ "$(probe_as "$MEMBER" status)" = "STATUS $1" ]; }

start_vpn_server() {
    : > "$run/server/openvpn.log"
    in_srv openvpn --config "$run/server/server.conf" --log "$run/server/openvpn.log" --writepid "$run/server/openvpn.pid" &
    wait_for 15 "the OpenVPN test server did not start" grep -q "Initialization Sequence Completed" "$run/server/openvpn.log"
}

connect_member() {
    local answer
    answer=$(probe_as "$MEMBER" connect "$SERVER_LINK" "$TUNNEL_USER" "$TUNNEL_PASSWORD") \
        || fail "connect: $answer"
    [ "$answer" = "CONNECTED $SERVER_LINK" ] || fail "connect answered '$answer'"
    echo "$answer"
}

# ---------------------------------------------------------------- the run

phase setup
"$fixture" sweep >/dev/null 2>&1 || true
"$fixture" up "$tag" "$run/server" >/dev/null || fail "the test network could not be built"
# Everything in the server's namespace ends with it (netns removal) or with this script.
in_srv() { ip netns exec "$tag-srv" setpriv --pdeathsig TERM "$@"; }
start_vpn_server
ip netns exec "$tag-srv" nft -f - <<NFT
table inet vvxsystest {
    counter probes { }
    chain incoming {
        type filter hook prerouting priority -300;
        iifname "${tag}s" ip daddr $PROBE_ADDRESS counter name probes
        iifname "${tag}s" udp dport 53 counter name probes
    }
}
NFT
in_srv dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts --bind-dynamic \
    --listen-address="$SERVER_TUNNEL" --host-record="$TUNNEL_ONLY_NAME,$TUNNEL_ONLY_ADDRESS" \
    --pid-file= --user=root --log-facility="$run/server/dnsmasq.log" &
cp "$source_dir/tools/devwebapi/data/users.json" "$source_dir/tools/devwebapi/data/servers.json" "$run/api/"
cp "$run/server/ca.crt" "$run/api/ca.crt"
web_api_options=()
grep -q -- '"--http"' "$source_dir/tools/devwebapi/devwebapi.py" && web_api_options+=(--http)
in_srv python3 "$source_dir/tools/devwebapi/devwebapi.py" "${web_api_options[@]}" --address "$SERVER_LINK" \
    --port "$API_PORT" --data "$run/api" > "$run/server/webapi.log" 2>&1 &
wait_for 10 "the web API did not start" grep -q "listening on" "$run/server/webapi.log"

# The package from this build's programs, and the same one with a higher
# version and a service program that differs by a byte: the upgrade must
# leave the new one running.
"$source_dir/scripts/package.sh" --prebuilt "$build" --no-lintian "$run/package" > "$run/package.log" 2>&1 \
    || { tail -n 30 "$run/package.log"; fail "the package could not be built"; }
deb=$(tail -n 1 "$run/package.log")
version=$(dpkg-deb -f "$deb" Version)
next_version=$version+systemtest1
dpkg-deb -R "$deb" "$run/next"
sed -i "s/^Version: .*/Version: $next_version/" "$run/next/DEBIAN/control"
printf 'varvex system test %s\n' "$next_version" >> "$run/next/usr/lib/varvex/varvexservice"
(cd "$run/next" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum > DEBIAN/md5sums)
dpkg-deb --root-owner-group -b "$run/next" "$run/share/varvex_next.deb" >/dev/null
next_service_sum=$(sha256sum < "$run/next/usr/lib/varvex/varvexservice")
cp "$deb" "$run/share/varvex.deb"
cp "$probe" "$run/share/socketprobe"
make_root "$deb"

phase boot
boot
in_box useradd -m "$MEMBER"
in_box useradd -m "$OUTSIDER"

phase install
accounts_before=$(in_box getent passwd | cut -d: -f1 | sort)
# As a user installs it; what a desktop would add on top is resolved but not fetched.
in_box apt-get install -s "$SHARED/varvex.deb" > "$run/apt-simulate.log" 2>&1 \
    || { cat "$run/apt-simulate.log"; fail "apt cannot resolve the package's dependencies and recommendations"; }
apt_in_box install -y --no-install-recommends "$SHARED/varvex.deb" \
    > "$run/apt-install.log" 2>&1 || { tail -n 30 "$run/apt-install.log"; fail "apt install failed"; }
in_box systemctl is-active --quiet varvex || fail "varvex is not active after install"
in_box systemctl is-enabled --quiet varvex || fail "varvex is not enabled after install"

phase access
wait_for 10 "the socket did not appear" in_box test -S "$SOCKET"
socket_is "root:root 666 socket"
# The unit's confinement as the real service manager rates it.
exposure=$(in_box systemd-analyze security --no-pager varvex | tail -n 1)
echo "$exposure"
score=$(sed -n 's/.*: \([0-9.]*\) .*/\1/p' <<< "$exposure")
awk -v s="$score" -v max=2.5 'BEGIN { exit !(s != "" && s <= max) }' \
    || fail "the unit is rated '$score', more than 2.5"
# Only the group's members may use the VPN once the group exists.
in_box groupadd --system varvex
in_box usermod -aG varvex "$MEMBER"
in_box systemctl restart varvex
wait_for 10 "the socket did not come back" in_box test -S "$SOCKET"
socket_is "root:varvex 660 socket"
answer=$(probe_as "$OUTSIDER" status) && fail "a user outside the group reached the service: $answer"
[[ $answer == UNREACHABLE* ]] || fail "a user outside the group got '$answer'"
answer=$(probe_as "$MEMBER" status) || fail "a member of the group got '$answer'"
[ "$answer" = "STATUS 3" ] || fail "a fresh service says '$answer'"
# The administrator's settings, kept by the upgrade below: every line
# logged, and the installer whose token provisions credentials.
in_box sed -i "s/^LogLevel=.*/LogLevel=4/" "$SETTINGS"
echo "InstallerName=/home/$MEMBER/Downloads/Varvex-Setup-$API_TOKEN.exe" | in_box tee -a "$SETTINGS" >/dev/null
in_box systemctl restart varvex
wait_for 20 "no credentials were provisioned" in_box grep -q "^Credentials=." "$SETTINGS"

phase tunnel
connect_member
expect_tunnel
in_box grep -q "DNS: systemd-resolved, tun0, $SERVER_TUNNEL" "$LOG" || fail "the log does not say DNS went to systemd-resolved"
# The kill switch is on by default; its block covers IPv6 too.
in_net nft list table inet "$LOCKDOWN_TABLE" >/dev/null || fail "no kill switch block while connected"
mark_log
answer=$(probe_as "$MEMBER" abort) || fail "abort: $answer"
wait_for 10 "DNS was not restored" logged_since_mark "DNS restored: systemd-resolved, tun0"
await_clean "a disconnect"

phase killswitch
# Without the block, the probes reach the server's side: the count works.
send_probes
[ "$(probes_seen)" -gt 0 ] || fail "the probes are not counted without a tunnel"
reset_probes
connect_member
# The server goes away: OpenVPN gives up on it and the service waits to reconnect.
kill "$(cat "$run/server/openvpn.pid")"
wait_for 40 "the service did not start waiting to reconnect" status_is 4
in_net nft list table inet "$LOCKDOWN_TABLE" >/dev/null || fail "no block while waiting to reconnect"
send_probes
[ "$(probes_seen)" = 0 ] || fail "$(probes_seen) probes left outside the tunnel while waiting to reconnect"
start_vpn_server

phase kill
# The whole unit killed at once, held still first: the launcher would
# otherwise see the service go and end OpenVPN in order (routes, DNS)
# before its own SIGKILL came, and the restart would have less to undo.
# systemd restarts it (Restart=on-failure).
kill_service() {
    local before
    in_net ip route show exact "$SERVER_LINK/32" | grep -q . || fail "no host route to the server before the kill"
    before=$(main_pid)
    mark_log
    in_box systemctl kill -s STOP varvex
    in_box systemctl kill -s KILL varvex
    # Once every process of it is gone and before systemd restarts it
    # (RestartSec=2): what the killed tunnel left.
    wait_for 5 "systemd did not see the service end" sh -c \
        "nsenter -t $init_pid -a systemctl show -p SubState --value varvex | grep -qx auto-restart"
    route_after_kill=$(in_net ip route show exact "$SERVER_LINK/32")
    wait_for 30 "systemd did not restart the killed service" restarted_from "$before"
    wait_for 20 "the restarted service is not active" in_box systemctl is-active --quiet varvex
    echo "restarted: pid $before -> $(main_pid)"
}
# Once in a while the host route is gone with the killed tunnel already;
# when it outlived the kill, the restart removed it.
expect_route_undone() {
    if [ -n "$route_after_kill" ]; then
        logged_since_mark "Routes: removed the host route to $SERVER_LINK" \
            || fail "the restarted service's log does not say it removed the host route"
    else
        echo "the host route went with the killed tunnel: nothing for the restart to remove"
    fi
}
# Connect from the wait to reconnect.
connect_member
kill_service
wait_for 10 "the restarted service's log does not say the block is kept" logged_since_mark \
    "Warning: Kill switch: the tunnel to $SERVER_LINK was still wanted when the service ended; its block is kept until Connect or Disconnect."
# The restarted service undoes what the killed one left (host route, DNS),
# and since the tunnel was still wanted, keeps the block and waits for the user.
left=$(leftovers but-the-block)
[ -z "$left" ] || fail "the restarted service did not undo what the killed one left: $left"
expect_route_undone
answer=$(probe_as "$MEMBER" status) || fail "after the restart: $answer"
[ "$answer" = "STATUS 4" ] || fail "the restarted service says '$answer', not waiting to reconnect"
in_net nft list table inet "$LOCKDOWN_TABLE" >/dev/null || fail "the restart lifted the block"
send_probes
[ "$(probes_seen)" = 0 ] || fail "$(probes_seen) probes left outside the tunnel after the restart"
answer=$(probe_as "$MEMBER" abort) || fail "abort after the restart: $answer"
await_clean "the abort after the restart"

# Without the kill switch, the IPv6 block of a tunnel that carries none is
# what a killed service leaves besides the host route.
kill_switch_setting() {
    in_box sed -i "s/^KillSwitch=.*/KillSwitch=$1/" "$SETTINGS"
    in_box systemctl restart varvex
    wait_for 10 "the socket did not come back" in_box test -S "$SOCKET"
}
kill_switch_setting false
connect_member
in_net nft list table ip6 "$IPV6_TABLE" >/dev/null || fail "IPv6 is not blocked while the tunnel carries none"
kill_service
await_clean "the restarted service, without the kill switch,"
expect_route_undone
answer=$(probe_as "$MEMBER" status) || fail "after the restart: $answer"
[ "$answer" = "STATUS 3" ] || fail "the restarted service says '$answer' without the kill switch"
kill_switch_setting true

phase upgrade
# While connected: the new service keeps the block and waits for the user.
connect_member
log_lines=$(in_box wc -l "$LOG" | cut -d' ' -f1)
settings_before=$(in_box cat "$SETTINGS")
log_start=$(in_box head -n 3 "$LOG")
apt_in_box install -y --no-install-recommends "$SHARED/varvex_next.deb" \
    > "$run/apt-upgrade.log" 2>&1 || { tail -n 30 "$run/apt-upgrade.log"; fail "the upgrade failed"; }
[ "$(in_box dpkg-query -W -f='${Version}' varvex)" = "$next_version" ] || fail "the upgrade did not take"
[ "$(in_box cat "$SETTINGS")" = "$settings_before" ] || fail "the upgrade changed $SETTINGS"
[ "$(in_box wc -l "$LOG" | cut -d' ' -f1)" -ge "$log_lines" ] && [ "$(in_box head -n 3 "$LOG")" = "$log_start" ] \
    || fail "the upgrade lost the log"
in_box systemctl is-active --quiet varvex || fail "varvex is not active after the upgrade"
running_sum=$(in_box sh -c "sha256sum < /proc/\$(systemctl show -p MainPID --value varvex)/exe")
[ "$running_sum" = "$next_service_sum" ] || fail "the service does not run the new program"
answer=$(probe_as "$MEMBER" status) || fail "after the upgrade: $answer"
[ "$answer" = "STATUS 4" ] || fail "after an upgrade while connected the service says '$answer', not waiting to reconnect"
in_net nft list table inet "$LOCKDOWN_TABLE" >/dev/null || fail "the upgrade lifted the block"
connect_member
expect_tunnel

phase remove
package_files=$(in_box dpkg -L varvex | grep varvex)
apt_in_box remove -y varvex > "$run/apt-remove.log" 2>&1 \
    || { tail -n 30 "$run/apt-remove.log"; fail "apt remove failed"; }
in_box systemctl is-active --quiet varvex && fail "varvex still runs after apt remove"
in_box systemctl is-enabled --quiet varvex 2>/dev/null && fail "varvex is still enabled after apt remove"
# Stopping the service took the tunnel down with everything it changed;
# the block it keeps over a stop goes with the package.
expect_clean "apt remove"
in_box test -f "$SETTINGS" || fail "apt remove took the settings"

phase purge
apt_in_box purge -y varvex > "$run/apt-purge.log" 2>&1 \
    || { tail -n 30 "$run/apt-purge.log"; fail "apt purge failed"; }
[ -z "$(in_box dpkg-query -W -f='${db:Status-Abbrev}' varvex 2>/dev/null | grep -v '^un\|^pn')" ] \
    || fail "dpkg still knows the package"
for path in $package_files /etc/varvex /var/log/varvex /var/lib/varvex /run/varvex \
    /etc/systemd/system/multi-user.target.wants/varvex.service; do
    in_box test -e "$path" && fail "$path is left after purge"
done
# The group varvex is the administrator's; any account the package made goes.
accounts_after=$(in_box getent passwd | cut -d: -f1 | sort)
[ "$accounts_after" = "$accounts_before" ] \
    || fail "accounts differ after purge: $(diff <(echo "$accounts_before") <(echo "$accounts_after") | grep '^[<>]' | tr '\n' ' ')"
tables=$(in_net nft list tables | grep -i varvex || true)
[ -z "$tables" ] || fail "nftables tables left after purge: $tables"
expect_clean "apt purge"

phase ""
echo "PASS"
