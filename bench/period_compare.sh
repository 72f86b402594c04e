#!/usr/bin/env bash
# Builds the period benchmark in release mode and runs it: a whole period of
# safe mode (1,000 small + 10 large files) ended with EndSafety and undone,
# beside `zip -r` and `cp -a` of the same files (with and without a final
# sync, since every MakeFileSafe flushes its archive and its log).
#   bench/period_compare.sh [SCRATCH_FOLDER]   (default: build/period-bench)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/period-bench"
scratch="${1:-$build}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target period_bench -j"$(nproc)" >/dev/null
mkdir -p "$scratch"
BK_BENCH_DIR="$scratch" "$build/bench/period_bench" --benchmark_counters_tabular=true
