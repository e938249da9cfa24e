#!/bin/sh
# Installs what is missing, builds everything, runs the fuzzers briefly, then every test.
# The last lines are CTest's summary of the whole suite.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/setup-test-peers.sh

jobs=$(nproc)

# libFuzzer targets (clang): each parser of outside input runs for a short while.
CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DQVEX_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQVEX_FUZZ_SECONDS="${QVEX_FUZZ_SECONDS:-20}" >/dev/null
ninja -C build/fuzz -j "$jobs"
ctest --test-dir build/fuzz --output-on-failure

# Every test, with AddressSanitizer and UndefinedBehaviorSanitizer, warnings as errors.
cmake -S . -B build/test -G Ninja -DQVEX_SANITIZE=ON -DQVEX_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"
