#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# Warnings fail the build here, as in CI.
VARVEX_BUILD_DIR=build VARVEX_CMAKE_ARGS=-DVARVEX_WERROR=ON scripts/build.sh
ctest --test-dir build --output-on-failure -j2 --timeout 300
