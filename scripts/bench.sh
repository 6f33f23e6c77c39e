#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them on the simulated board.
#   scripts/bench.sh [ROUNDS]      (default 7 rounds per image writer measurement,
#                                    15 for mfgtool against its floor)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${MFG_BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMFG_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"${MFG_BENCH_JOBS:-2}" --target image_bench tool_bench provision_bench >/dev/null
"$build/bench/image_bench" "$@"
echo
"$build/bench/tool_bench" "$@"
echo
"$build/bench/provision_bench" "$@"
