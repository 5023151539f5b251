#!/usr/bin/env bash
# Builds the Debian package varvex_<version>_<arch>.deb with dpkg-buildpackage
# from a copy of the tree, into OUTDIR (default build/package), and checks it
# with lintian. Needs the packages of scripts/install-deps.sh.
#
# Usage: scripts/package.sh [--prebuilt BUILD_DIR] [--no-lintian] [OUTDIR]
#   --prebuilt BUILD_DIR  package the programs already built in BUILD_DIR
#                         (a CMake build of this tree) instead of building
#                         them again
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
prebuilt=
lintian=1
out=

while [ $# -gt 0 ]; do
  case $1 in
    --prebuilt) prebuilt=$(cd "${2:?--prebuilt needs a build folder}" && pwd); shift 2 ;;
    --no-lintian) lintian=0; shift ;;
    -*) echo "usage: $0 [--prebuilt BUILD_DIR] [--no-lintian] [OUTDIR]" >&2; exit 2 ;;
    *) out=$1; shift ;;
  esac
done
out=${out:-$root/build/package}
mkdir -p "$out"
out=$(cd "$out" && pwd)

for tool in dpkg-buildpackage dh; do
  command -v "$tool" >/dev/null || { echo "$tool not found (run scripts/install-deps.sh)" >&2; exit 1; }
done

# dpkg-buildpackage writes beside and into the source folder, so it works on
# a copy: debian/ alone when the programs are built already.
work=$(mktemp -d "$out/work.XXXXXX")
trap 'rm -rf "$work"' EXIT
src=$work/varvex
mkdir "$src"
if [ -n "$prebuilt" ]; then
  cp -a "$root/debian" "$src/"
else
  excludes=(--exclude=./.git --exclude=./build --exclude='./build-*' --exclude='./obj-*'
            --exclude=./debian/varvex --exclude=./debian/.debhelper)
  case $out/ in
    "$root"/*) excludes+=("--exclude=./${out#"$root"/}") ;; # never the copy itself
  esac
  tar -C "$root" "${excludes[@]}" -cf - . | tar -C "$src" -xf -
fi

options=(-b -us -uc)
if [ -n "$prebuilt" ]; then
  # Nothing is built, so the build dependencies need not be installed.
  options+=(-d)
fi
if [ "$(id -u)" -ne 0 ]; then
  command -v fakeroot >/dev/null || { echo "fakeroot not found (run scripts/install-deps.sh)" >&2; exit 1; }
  options+=(-rfakeroot)
fi
(cd "$src" && VARVEX_PREBUILT=$prebuilt dpkg-buildpackage "${options[@]}")

shopt -s nullglob
built=("$work"/*.deb)
[ ${#built[@]} -gt 0 ] || { echo "no package was built" >&2; exit 1; }
for file in "${built[@]}" "$work"/*.buildinfo "$work"/*.changes; do
  mv -f "$file" "$out/"
done

package=$(ls "$out"/varvex_*.deb | head -n 1)
if [ "$lintian" -eq 1 ]; then
  for tool in lintian desktop-file-validate appstreamcli; do
    command -v "$tool" >/dev/null || { echo "$tool not found (run scripts/install-deps.sh)" >&2; exit 1; }
  done
  lintian --fail-on error --info "$package"
  dpkg-deb -x "$package" "$work/unpacked"
  desktop-file-validate "$work"/unpacked/usr/share/applications/*.desktop
  # --no-net: the screenshots are on the web site, which the build never reaches.
  appstreamcli validate --no-net "$work"/unpacked/usr/share/metainfo/*.xml
fi
echo "$package"
