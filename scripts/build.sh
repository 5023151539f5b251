#!/usr/bin/env bash
# Configures and builds into build/ (or $VARVEX_BUILD_DIR); programs land in
# <build>/bin. Targets given as arguments are built alone, else everything.
# VARVEX_CMAKE_ARGS adds CMake options (for example -DVARVEX_WERROR=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VARVEX_BUILD_DIR:-build}
read -r -a extra <<< "${VARVEX_CMAKE_ARGS:-}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
targets=()
for target in "$@"; do targets+=(--target "$target"); done
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
