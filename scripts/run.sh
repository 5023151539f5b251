#!/usr/bin/env bash
# Installs what is missing, builds, and runs Varvex on this machine: the
# development web API (when present), the service in the foreground, and the
# client on the current display. Closing the client stops everything.
#
# Run as root (sudo keeps DISPLAY); the client runs as the user who called sudo.
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
scripts/build.sh
bin=$root/build/bin

# The client loads its fonts from "Fonts" in its working directory.
if [ -x scripts/link-fonts.sh ]; then
  scripts/link-fonts.sh "$bin/Fonts"
else
  mkdir -p "$bin/Fonts"
  find /usr/share/fonts/truetype/roboto/unhinted/ -name 'Roboto*.ttf' -exec ln -sfn {} "$bin/Fonts/" \;
fi

pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap stop_all EXIT
trap 'exit 130' INT TERM

# The service's socket lives in TMPDIR; both programs must agree on it.
export TMPDIR=${TMPDIR:-/tmp}

if [ -f tools/devwebapi/devwebapi.py ]; then
  api_log=$(mktemp)
  python3 tools/devwebapi/devwebapi.py --port 0 >"$api_log" 2>&1 &
  pids+=($!)
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
  echo "Development web API on $address (log: $api_log)"
fi

"$bin/varvexservice" -e &
service_pid=$!
pids+=("$service_pid")
for _ in $(seq 100); do
  if [ -S "$TMPDIR/Varvex" ]; then break; fi
  kill -0 "$service_pid" 2>/dev/null || { echo "varvexservice ended at start-up (see $bin/varvexservice.log)" >&2; exit 1; }
  sleep 0.1
done

# Run the client as the desktop's user, with that user's session bus when
# there is one (for the tray), from the folder that holds Fonts.
cd "$bin"
client=(env DISPLAY="$DISPLAY" TMPDIR="$TMPDIR")
for var in XAUTHORITY VARVEX_API_HOST VARVEX_WEB_HOST; do
  if [ -n "${!var:-}" ]; then client+=("$var=${!var}"); fi
done
user=${SUDO_USER:-root}
if [ "$user" != root ]; then
  runtime=/run/user/$(id -u "$user")
  if [ -d "$runtime" ]; then
    client+=(XDG_RUNTIME_DIR="$runtime" DBUS_SESSION_BUS_ADDRESS="unix:path=$runtime/bus")
  fi
  client=(runuser -u "$user" -- "${client[@]}")
fi
set +e
"${client[@]}" "$bin/varvexclient"
code=$?
set -e
echo "varvexclient ended with exit code $code"
exit "$code"
