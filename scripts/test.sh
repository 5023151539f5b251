#!/usr/bin/env bash
# Installs what is missing, builds, runs every test and each fuzz target
# briefly, then the Windows build and its tests under Wine. Non-zero on any
# failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# Warnings fail the build here, as in CI.
VARVEX_BUILD_DIR=build VARVEX_CMAKE_ARGS=-DVARVEX_WERROR=ON scripts/build.sh
status=0
ctest --test-dir build --output-on-failure -j2 --timeout 300 || status=$?
# Every fuzz target for 10 s; a crash keeps its input in build-fuzz/crashes/.
VARVEX_CMAKE_ARGS=-DVARVEX_WERROR=ON scripts/fuzz.sh 10 || status=1

# The Windows build, cross-compiled, and its tests under Wine. Without a
# Windows Qt (scripts/build-qt-mingw.sh makes one) it is skipped.
windows=0
VARVEX_WINDOWS_BUILD_DIR=build-windows VARVEX_CMAKE_ARGS=-DVARVEX_WERROR=ON scripts/build-windows.sh || windows=$?
if [ "$windows" -eq 2 ]; then
  echo "SKIP: the Windows build and its Wine tests (no MinGW-w64 compiler or no Windows Qt)"
elif [ "$windows" -ne 0 ]; then
  status=1
else
  ctest --test-dir build-windows --output-on-failure -j2 --timeout 300 || status=1
fi
exit "$status"
