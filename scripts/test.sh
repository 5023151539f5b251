#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# Warnings fail the build here, as in CI.
VARVEX_BUILD_DIR=build VARVEX_CMAKE_ARGS=-DVARVEX_WERROR=ON scripts/build.sh
ctest --test-dir build --output-on-failure -j2 --timeout 300

# The Windows build, cross-compiled, and its tests under Wine. Without a
# Windows Qt (scripts/build-qt-mingw.sh makes one) it is skipped.
status=0
VARVEX_WINDOWS_BUILD_DIR=build-windows VARVEX_CMAKE_ARGS=-DVARVEX_WERROR=ON scripts/build-windows.sh || status=$?
if [ $status -eq 2 ]; then
  echo "SKIP: the Windows build and its Wine tests (no MinGW-w64 compiler or no Windows Qt)"
elif [ $status -ne 0 ]; then
  exit $status
else
  ctest --test-dir build-windows --output-on-failure -j2 --timeout 300
fi
