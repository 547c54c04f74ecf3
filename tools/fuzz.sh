#!/bin/bash
# Fuzzes the Data.dat reader with libFuzzer (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) for the given number of seconds (default 600),
# then prints the executions and findings. Every input that failed is copied to
# tests/samples/fuzz-findings, which the ordinary test run replays.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-600}
bash tools/setup.sh
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKALVAREN_FUZZ=ON >/dev/null
cmake --build build/fuzz --target datadat_fuzzer -j "$(nproc)"

work=build/fuzz/run
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
cp tests/samples/datadat/*.dat tests/samples/fuzz-starters/*.dat tests/samples/fuzz-starters/*.raw \
    "$work/corpus/"
cp tests/samples/fuzz-findings/* "$work/corpus/" 2>/dev/null || true

set +e
build/fuzz/tests/fuzz/datadat_fuzzer "$work/corpus" -max_total_time="$seconds" \
    -rss_limit_mb=2048 -malloc_limit_mb=512 -timeout=10 -max_len=65536 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 >"$work/log.txt" 2>&1
status=$?
set -e

executions=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/log.txt" | grep -o '[0-9]*$' || echo 0)
findings=$(find "$work/artifacts" -type f | wc -l)
for f in "$work"/artifacts/*; do
    [[ -f "$f" ]] && cp "$f" tests/samples/fuzz-findings/
done
echo "fuzz: ${seconds} s, ${executions} executions, ${findings} findings (crashes, leaks, timeouts, out-of-memory), exit ${status}"
[[ $findings -eq 0 ]]
