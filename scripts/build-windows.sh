#!/usr/bin/env bash
# Cross-builds the Windows programs and their tests with MinGW-w64 into
# build-windows/ (or $VARVEX_WINDOWS_BUILD_DIR). Programs land in <build>/bin,
# tests in <build>/tests-bin, each with the DLLs it loads beside it.
#
# The Windows Qt comes from, in this order: $VARVEX_QT_MINGW (an unpacked
# qt5-mingw64 folder), the cache of scripts/build-qt-mingw.sh, or the tarball
# ../shared/toolchains/qt5-mingw64-5.15.8.tar.xz beside the repository, which
# is unpacked into the build folder. Exits 2 when there is no Windows Qt.
# Targets given as arguments are built alone, else everything.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${VARVEX_WINDOWS_BUILD_DIR:-build-windows}
mkdir -p "$build"
build=$(cd "$build" && pwd)
triplet=x86_64-w64-mingw32
qt_version=5.15.8
tarball=$root/../shared/toolchains/qt5-mingw64-$qt_version.tar.xz
cache=${VARVEX_QT_MINGW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/varvex/qt5-mingw64-$qt_version}

if ! command -v $triplet-g++-posix >/dev/null; then
  echo "No MinGW-w64 compiler ($triplet-g++-posix): run scripts/install-deps.sh" >&2
  exit 2
fi

qt=${VARVEX_QT_MINGW:-}
if [ -z "$qt" ] && [ -f "$cache/lib/cmake/Qt5/Qt5Config.cmake" ]; then
  qt=$cache
fi
if [ -z "$qt" ]; then
  qt=$build/qt5-mingw64
  if [ ! -f "$qt/.unpacked" ] || [ "$tarball" -nt "$qt/.unpacked" ]; then
    if [ ! -f "$tarball" ]; then
      echo "No Windows Qt: neither \$VARVEX_QT_MINGW, $cache nor $tarball (scripts/build-qt-mingw.sh makes one)" >&2
      exit 2
    fi
    rm -rf "$qt"
    tar -xJf "$tarball" -C "$build"
    touch "$qt/.unpacked"
  fi
fi

read -r -a extra <<< "${VARVEX_CMAKE_ARGS:-}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_PREFIX_PATH="$qt" \
  -DVARVEX_WINE_RUN="$root/scripts/wine-run.sh" "${extra[@]}" >/dev/null
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake --build "$build" -j"$(nproc)" "${targets[@]}"

# What windeployqt would gather: the Qt libraries, the platform plugins
# (qwindows for the desktop, qoffscreen for tests) and MinGW's runtime.
runtime=()
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll libssp-0.dll; do
  path=$($triplet-g++-posix -print-file-name=$dll)
  [ -f "$path" ] && runtime+=("$path")
done
for dir in "$build/bin" "$build/tests-bin"; do
  [ -d "$dir" ] || continue
  mkdir -p "$dir/platforms" "$dir/styles"
  cp -u "${runtime[@]}" "$qt"/bin/Qt5{Core,Gui,Network,Widgets}.dll "$dir/"
  cp -u "$qt/plugins/platforms/qwindows.dll" "$qt/plugins/platforms/qoffscreen.dll" "$dir/platforms/"
  cp -u "$qt/plugins/styles/qwindowsvistastyle.dll" "$dir/styles/"
done
[ -d "$build/tests-bin" ] && cp -u "$qt/bin/Qt5Test.dll" "$build/tests-bin/"
exit 0
