#!/usr/bin/env bash
# Runs one Windows program under Wine in a prefix of its own, bounded in
# time, and leaves nothing behind: the prefix's wineserver is ended and the
# prefix removed however the program ends. Exits with the program's code,
# 124 on the time limit, 77 (a skipped test) when Wine is not installed.
#
# The private prefix is a copy of a template made once per build folder (a
# fresh one takes Wine about 20 s): <build>/wine-template, where <build> is
# the folder above the program's own, or $VARVEX_WINE_TEMPLATE.
# VARVEX_WINE_TIMEOUT bounds the run in seconds (default 120).
# --qtest before the program: a Qt Test program, whose results are printed.
# (Without a console, Qt Test writes them to the debugger's output, which
# Wine drops; they go to a file in the prefix instead.)
set -uo pipefail

find_wine_tool() {
  command -v "$1" 2>/dev/null || { [ -x "/usr/lib/wine/$1" ] && echo "/usr/lib/wine/$1"; }
}
wine=$(find_wine_tool wine64)
wineserver=$(find_wine_tool wineserver)
if [ -z "$wine" ] || [ -z "$wineserver" ]; then
  echo "SKIP: Wine is not installed (package wine64)" >&2
  exit 77
fi
qtest=false
if [ "${1:-}" = --qtest ]; then qtest=true; shift; fi
[ $# -ge 1 ] || { echo "usage: $0 [--qtest] program.exe [arguments...]" >&2; exit 2; }

program=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
template=${VARVEX_WINE_TEMPLATE:-$(dirname "$(dirname "$program")")/wine-template}
limit=${VARVEX_WINE_TIMEOUT:-120}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko download prompts: nothing here needs .NET or HTML.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
export WINEARCH=win64

# The template, made under a lock so that parallel tests share one.
mkdir -p "$(dirname "$template")"
(
  flock 9
  if [ ! -f "$template/.complete" ]; then
    rm -rf "$template"
    mkdir -p "$template"
    WINEPREFIX=$template timeout 180 "$wine" wineboot -i >/dev/null 2>&1
    # A service's first start loads its DLLs cold, which can take Wine
    # longer than the service manager's usual 10 s wait for it.
    WINEPREFIX=$template timeout 60 "$wine" reg add 'HKLM\System\CurrentControlSet\Control' \
      /v ServicesPipeTimeout /t REG_DWORD /d 60000 /f >/dev/null 2>&1
    WINEPREFIX=$template timeout 30 "$wineserver" -w
    touch "$template/.complete"
  fi
) 9>"$template.lock"
if [ ! -f "$template/.complete" ]; then
  echo "Could not make the Wine prefix template $template" >&2
  exit 1
fi

# Wine refuses a prefix that is not its user's: the copy is made by that user.
prefix=$(mktemp -d "${TMPDIR:-/tmp}/varvex-wine.XXXXXX")
cleanup() {
  WINEPREFIX=$prefix timeout 20 "$wineserver" -k >/dev/null 2>&1
  WINEPREFIX=$prefix timeout 20 "$wineserver" -w >/dev/null 2>&1
  rm -rf "$prefix"
}
trap cleanup EXIT
trap 'exit 143' TERM INT
# The system files are shared by hard links (nothing here writes them); the
# registry, which every test changes, is copied.
cp -al "$template/drive_c" "$template/dosdevices" "$prefix/" 2>/dev/null || cp -a "$template/drive_c" "$template/dosdevices" "$prefix/"
cp "$template"/*.reg "$template"/.update-timestamp "$prefix/"

results=()
if $qtest; then
  results=(-o "Z:${prefix//\//\\}\\results.txt,txt")
fi
WINEPREFIX=$prefix timeout --kill-after=5 "$limit" "$wine" "$program" "${results[@]}" "$@"
status=$?
$qtest && [ -f "$prefix/results.txt" ] && cat "$prefix/results.txt"
[ $status -eq 124 ] && echo "Timed out after ${limit}s: $(basename "$program") $*" >&2
exit $status
