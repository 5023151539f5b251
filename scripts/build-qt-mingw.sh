#!/usr/bin/env bash
# Builds Qt Base 5.15.8 for Windows (MinGW-w64) from Debian's own source
# package into a cache folder, for scripts/build-windows.sh. About an hour on
# two cores; run it once on a machine without the prepared tarball.
#
# Cache: $VARVEX_QT_MINGW_CACHE, else ~/.cache/varvex/qt5-mingw64-5.15.8
# (the folder build-windows.sh looks in). Needs a deb-src entry for bookworm.
set -euo pipefail
cd "$(dirname "$0")/.."
version=5.15.8
debian_version=5.15.8+dfsg-11+deb12u3
cache=${VARVEX_QT_MINGW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/varvex/qt5-mingw64-$version}
work=${VARVEX_QT_MINGW_WORK:-${XDG_CACHE_HOME:-$HOME/.cache}/varvex/qt5-mingw64-build}
triplet=x86_64-w64-mingw32

if [ -f "$cache/lib/cmake/Qt5/Qt5Config.cmake" ]; then
  echo "Already built: $cache"
  exit 0
fi

packages=(g++-mingw-w64-x86-64-posix mingw-w64-tools libwine-dev dpkg-dev xz-utils make perl python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "Missing packages: ${missing[*]} (run as root to install them)" >&2; exit 1; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

mkdir -p "$work"
cd "$work"
source_dir=$work/qtbase-everywhere-src-$version
if [ ! -d "$source_dir" ]; then
  apt-get source --download-only "qtbase-opensource-src=$debian_version"
  tar -xJf qtbase-opensource-src_${version}+dfsg.orig.tar.xz
fi

# Debian's source leaves out the tablet headers the windows platform plugin
# includes: Wine's, behind a header that gives them what Wine's own build
# would define.
wintab=$source_dir/src/3rdparty/wintab
if [ ! -f "$wintab/wintab.h" ]; then
  mkdir -p "$wintab"
  cp /usr/include/wine/wine/windows/wintab.h "$wintab/wintab_wine.h"
  cp /usr/include/wine/wine/windows/pktdef.h "$wintab/pktdef.h"
  cat > "$wintab/wintab.h" <<'HEADER'
#ifndef VARVEX_WINTAB_H
#define VARVEX_WINTAB_H
#include <windows.h>
#define API WINAPI
#define WINELIB_NAME_AW(x) x##W
#define DECL_WINELIB_TYPE_AW(type) typedef WINELIB_NAME_AW(type) type;
#include "wintab_wine.h"
#endif
HEADER
fi

build=$work/build
mkdir -p "$build"
cd "$build"
"$source_dir/configure" -xplatform win32-g++ \
  -device-option CROSS_COMPILE=$triplet- \
  -prefix "$cache" -opensource -confirm-license -release \
  -optimize-size -strip -nomake examples -nomake tests -no-opengl \
  -no-dbus -no-icu -no-sql-sqlite -no-sql-odbc -no-feature-sql \
  -qt-zlib -qt-pcre -qt-libpng -no-libjpeg -qt-freetype -qt-harfbuzz \
  -no-openssl
make -j"$(nproc)"
make install
echo "Built: $cache"
