#!/usr/bin/env bash
# Takes the client's screenshots into docs/: the login page, connecting,
# connected with a traffic graph, and disconnected with the server list open.
# Builds nothing: expects the programs in build/ (or $VARVEX_BUILD_DIR).
# Runs the client under Xvfb with trayer as the system tray, against
# tools/fake-service.py (a stand-in for the service and the web API).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VARVEX_BUILD_DIR:-$repo/build}
client=$build/bin/varvexclient
out=${1:-$repo/docs}
[ -x "$client" ] || { echo "No client at $client: build first (scripts/build.sh)" >&2; exit 1; }
for tool in Xvfb trayer import convert xdotool python3; do
  command -v "$tool" >/dev/null || { echo "Missing $tool: run scripts/install-deps.sh" >&2; exit 1; }
done
mkdir -p "$out"

work=$(mktemp -d)
pids=()
cleanup() {
  exec 4>&- 2>/dev/null || true
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/tmp" "$work/config" "$work/runtime"
chmod 700 "$work/runtime"
export TMPDIR=$work/tmp VARVEX_SOCKET_DIR=$work/tmp XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime
"$repo/scripts/link-fonts.sh" "$work/cwd/Fonts"

# A display with a neutral background and a tray.
Xvfb -displayfd 3 -screen 0 800x700x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")
display -window root -size 800x700 xc:'#dde1e6' 2>/dev/null || true
trayer --edge bottom --align right --widthtype request --height 24 >/dev/null 2>&1 &
pids+=($!)
sleep 1

# The fake service reads its commands from a pipe kept open here.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkfifo "$work/control"
python3 "$repo/tools/fake-service.py" --http-port "$port" <"$work/control" 2>"$work/service.log" &
pids+=($!)
exec 4>"$work/control"
send() { echo "$*" >&4; sleep "${pause:-1}"; }
for _ in $(seq 200); do [ -S "$VARVEX_SOCKET_DIR/Varvex" ] && break; sleep 0.1; done
[ -S "$VARVEX_SOCKET_DIR/Varvex" ] || { echo "The fake service did not start:" >&2; cat "$work/service.log" >&2; exit 1; }

# The fake service answers the web API over plain HTTP.
(cd "$work/cwd" && VARVEX_API_HOST=127.0.0.1:$port VARVEX_API_SCHEME=http QT_QPA_PLATFORM=xcb \
  DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent exec "$client") >"$work/client.log" 2>&1 &
pids+=($!)
window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Varvex Client$' | head -n1)
xdotool windowmove "$window" 40 40
sleep 2

# Grabs the window, or the window and what opens below it.
shot() {
  local name=$1 extra=${2:-0}
  eval "$(xdotool getwindowgeometry --shell "$window")"
  import -window root "$work/root.png"
  convert "$work/root.png" -crop "$((WIDTH + 40))x$((HEIGHT + 40 + extra))+$((X - 20))+$((Y - 20))" +repage \
    "$out/$name.png"
  echo "docs: $out/$name.png"
}

shot login
pause=2 send status 0
shot connecting
send status 1
pause=40 send bandwidth on
shot connected
send bandwidth off
pause=2 send status 3
# The right part of the server chooser opens the list. It is taken while
# the button is held: the release of the opening click closes the list.
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove $((X + 290)) $((Y + 103)) mousedown 1
sleep 2
shot server-list
xdotool mouseup 1
send quit
