#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ (clang, libFuzzer, the address and
# undefined-behaviour sanitizers) into build-fuzz/ and runs each for SECONDS
# (default 30), starting from its seeds in fuzz/corpus/<target>/ and what
# earlier runs kept in build-fuzz/corpus/<target>/. Ends with one line per
# target. Non-zero when a target crashed: the input stays in
# build-fuzz/crashes/ and the line names the command that replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=${VARVEX_FUZZ_BUILD_DIR:-build-fuzz}
read -r -a extra <<< "${VARVEX_CMAKE_ARGS:-}"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DVARVEX_FUZZ=ON -DVARVEX_BUILD_TESTS=OFF "${extra[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz

mkdir -p "$build/crashes" "$build/logs"
export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
summary=()
failed=0
for source in fuzz/*.cpp; do
    name=$(basename "$source" .cpp)
    program=$build/fuzz-bin/fuzz_$name
    corpus=$build/corpus/$name
    log=$build/logs/$name.log
    mkdir -p "$corpus"
    echo "Fuzzing $name for $seconds s"
    # Qt's frames carry no frame pointers: a suppression of one of Qt's own
    # leaks (fuzz/lsan.supp) matches only with the slow unwinder.
    asan=${ASAN_OPTIONS:-}
    case $name in server_list) asan="fast_unwind_on_malloc=0${asan:+:$asan}" ;; esac
    status=0
    # Bounds per input: 10 s, 2 GB; leaks count as crashes.
    ASAN_OPTIONS=$asan "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/crashes/$name-" "$corpus" "fuzz/corpus/$name" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    first=$(sed -n 's/.*INITED cov: \([0-9]*\).*/\1/p' "$log" | head -1)
    last=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' "$log" | tail -1)
    units=$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -1)
    crash=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    line="$name: ${runs:-0} executions, +$(( ${last:-0} - ${first:-0} )) coverage (${units:-0} new inputs), "
    if [ "$status" -ne 0 ] || [ -n "$crash" ]; then
        failed=1
        line+="1 crash: ${crash:-see $log} (replay: $program ${crash:-<input>}; log $log)"
        tail -n 40 "$log" >&2
    else
        line+="0 crashes"
    fi
    summary+=("$line")
done

echo
printf '%s\n' "${summary[@]}"
exit "$failed"
