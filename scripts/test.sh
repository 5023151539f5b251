#!/usr/bin/env bash
# Installs what is missing, builds, runs every test and each fuzz target
# briefly. Non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# Warnings fail the build here, as in CI.
VARVEX_BUILD_DIR=build VARVEX_CMAKE_ARGS=-DVARVEX_WERROR=ON scripts/build.sh
status=0
ctest --test-dir build --output-on-failure -j2 --timeout 300 || status=$?
# Every fuzz target for 10 s; a crash keeps its input in build-fuzz/crashes/.
VARVEX_CMAKE_ARGS=-DVARVEX_WERROR=ON scripts/fuzz.sh 10 || status=1
exit "$status"
