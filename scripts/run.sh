#!/usr/bin/env bash
# Installs what is missing, builds, and runs Varvex on this machine: a local
# OpenVPN test server in a network namespace of its own, the development web
# API, the service in the foreground, and the client on the current display.
# Closing the client stops everything.
#
# Run as root (sudo keeps DISPLAY); the client runs as the user who called sudo.
# VARVEX_BUILD_DIR builds into and runs from another folder than build/.
# VARVEX_SERVICE_CONFIG, when set, is used instead of the development
# settings file (build/devstack/service.conf).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ "$(id -u)" -ne 0 ]; then
  echo "run.sh must run as root: the service drives OpenVPN (try: sudo $0)" >&2
  exit 1
fi
if [ -z "${DISPLAY:-}" ]; then
  echo "DISPLAY is not set: start run.sh from a graphical session (sudo keeps DISPLAY)" >&2
  exit 1
fi

scripts/install-deps.sh
build=$(mkdir -p "${VARVEX_BUILD_DIR:-build}" && cd "${VARVEX_BUILD_DIR:-build}" && pwd)
VARVEX_BUILD_DIR=$build scripts/build.sh varvexservice varvexclient openvpn-launcher
bin=$build/bin
export VARVEX_DEVSTACK_DIR=$build/devstack

# The client loads its fonts from "Fonts" in its working directory.
scripts/link-fonts.sh "$bin/Fonts"

pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  "$root/scripts/dev-vpn-server.sh" down || true
}
trap stop_all EXIT
trap 'exit 130' INT TERM HUP

# The service's socket lives in a folder only root can write (the service
# creates it); both programs must agree on it.
export VARVEX_SOCKET_DIR=${VARVEX_SOCKET_DIR:-/run/varvex}

# The test server pushes a DNS server of its own, as a provider's does.
export VARVEX_DEVSTACK_PUSH_DNS=${VARVEX_DEVSTACK_PUSH_DNS:-1}
scripts/dev-vpn-server.sh up

api_log=$VARVEX_DEVSTACK_DIR/webapi.log
# HTTPS with a development authority of its own, which both programs are
# told to trust besides the system's.
python3 tools/devwebapi/devwebapi.py --port 0 --data "$VARVEX_DEVSTACK_DIR/webapi" \
  --tls-dir "$VARVEX_DEVSTACK_DIR/webapi-tls" >"$api_log" 2>&1 &
pids+=($!)
address=
for _ in $(seq 50); do
  address=$(sed -n 's/^devwebapi listening on //p' "$api_log")
  if [ -n "$address" ]; then break; fi
  sleep 0.1
done
if [ -z "$address" ]; then
  echo "the development web API did not start:" >&2
  cat "$api_log" >&2
  exit 1
fi
export VARVEX_API_HOST=$address
export VARVEX_API_CA_FILE=$VARVEX_DEVSTACK_DIR/webapi-tls/web-ca.crt
echo "Development web API on https://$address (log: $api_log)"

# The installer token "devtoken" makes the service provision the development
# account. QSettings reads "\\" in an INI value as one backslash.
if [ -z "${VARVEX_SERVICE_CONFIG:-}" ]; then
  export VARVEX_SERVICE_CONFIG=$VARVEX_DEVSTACK_DIR/service.conf
  printf '[General]\nInstallerName=%s\nLogLevel=3\n' 'C:\\Downloads\\varvex-setup-devtoken.exe' >"$VARVEX_SERVICE_CONFIG"
fi

"$bin/varvexservice" -e &
service_pid=$!
pids+=("$service_pid")
for _ in $(seq 100); do
  if [ -S "$VARVEX_SOCKET_DIR/Varvex" ]; then break; fi
  kill -0 "$service_pid" 2>/dev/null || { echo "varvexservice ended at start-up (see $bin/varvexservice.log)" >&2; exit 1; }
  sleep 0.1
done

# Run the client as the desktop's user, with that user's session bus when
# there is one (for the tray), from the folder that holds Fonts.
cd "$bin"
client=(env DISPLAY="$DISPLAY" VARVEX_SOCKET_DIR="$VARVEX_SOCKET_DIR")
for var in XAUTHORITY VARVEX_API_HOST VARVEX_API_CA_FILE VARVEX_WEB_HOST QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS; do
  if [ -n "${!var:-}" ]; then client+=("$var=${!var}"); fi
done
user=${SUDO_USER:-root}
if [ "$user" != root ]; then
  runtime=/run/user/$(id -u "$user")
  if [ -d "$runtime" ]; then
    client+=(XDG_RUNTIME_DIR="$runtime" DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus")
  fi
  client=(runuser -u "$user" -- "${client[@]}")
  # Where the group varvex exists only its members reach the service; the
  # provisioned log-in goes only to root and members in any case.
  if ! id -nG "$user" | tr ' ' '\n' | grep -qx varvex; then
    if getent group varvex >/dev/null; then
      echo "$user is not in the group varvex and cannot reach the service: usermod -aG varvex $user" >&2
      exit 1
    fi
    echo "$user is not in the group varvex: the log-in fields stay empty; log in as devuser / devpassword"
    echo "(to have them filled: groupadd varvex; usermod -aG varvex $user; then run this again)"
  fi
fi
echo "In the client: Settings, open the server list, pick \"Local test server\", press Connect."
# Waited on rather than run in the foreground, so that a signal to this
# script stops everything at once instead of after the client has ended.
"${client[@]}" "$bin/varvexclient" &
client_pid=$!
pids+=("$client_pid")
set +e
wait "$client_pid"
code=$?
set -e
echo "varvexclient ended with exit code $code"
exit "$code"
