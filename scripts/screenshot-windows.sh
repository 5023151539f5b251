#!/usr/bin/env bash
# Takes docs/windows-login.png: the Windows build's client window, drawn
# under Wine on an Xvfb display, beside the Windows service run with -e in
# the same Wine prefix. Builds nothing: expects build-windows/ (or
# $VARVEX_WINDOWS_BUILD_DIR) from scripts/build-windows.sh.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${VARVEX_WINDOWS_BUILD_DIR:-$repo/build-windows}
out=${1:-$repo/docs/windows-login.png}
for tool in Xvfb import xdotool; do
  command -v "$tool" >/dev/null || { echo "Missing $tool: run scripts/install-deps.sh" >&2; exit 1; }
done
[ -f "$build/bin/varvexclient.exe" ] || { echo "No Windows build in $build: run scripts/build-windows.sh" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

"$repo/scripts/link-fonts.sh" "$work/cwd/Fonts" >/dev/null
Xvfb -displayfd 3 -screen 0 800x700x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")
display -window root -size 800x700 xc:'#dde1e6' 2>/dev/null &
pids+=($!)

# One prefix for both programs: a batch file starts the service, waits for
# its pipe, then the client.
bin=Z:$(echo "$build/bin" | tr / '\\')
sed 's/$/\r/' > "$work/cwd/run.bat" <<BAT
start "" /b "$bin\\varvexservice.exe" -e
ping -n 4 127.0.0.1 >NUL
"$bin\\varvexclient.exe"
BAT
cmd=$build/wine-template/drive_c/windows/system32/cmd.exe
(cd "$work/cwd" && VARVEX_WINE_TIMEOUT=90 VARVEX_API_HOST=127.0.0.1:9 VARVEX_WINE_TEMPLATE=$build/wine-template \
  exec "$repo/scripts/wine-run.sh" "$cmd" /c run.bat) >"$work/client.log" 2>&1 &
pids+=($!)
if [ ! -f "$cmd" ]; then
  # wine-run.sh makes the template on its first run.
  for _ in $(seq 600); do [ -f "$cmd" ] && break; sleep 0.1; done
fi
window=$(timeout 60 xdotool search --sync --onlyvisible --name '^Varvex Client$' | head -n1)
[ -n "$window" ] || { echo "The client's window did not show:" >&2; cat "$work/client.log" >&2; exit 1; }
xdotool windowmove "$window" 40 40
sleep 3
import -window "$window" "$out"
echo "Wrote $out"
