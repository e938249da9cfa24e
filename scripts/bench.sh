#!/bin/sh
# Builds the benchmarks in Release and runs each with five repetitions (medians reported).
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQVEX_BUILD_TESTS=OFF >/dev/null
ninja -C build/bench -j "$(nproc)"
for bench in build/bench/bench/*_bench; do
    "$bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
done
# The window's benchmarks live beside it; they run on the offscreen platform.
QT_QPA_PLATFORM=offscreen build/bench/ui/window_bench --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true "$@"
QT_QPA_PLATFORM=offscreen build/bench/ui/log_page_bench
