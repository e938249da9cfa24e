#!/bin/sh
# Installs what is missing, builds everything, runs the fuzzers briefly, the threaded tests
# under ThreadSanitizer, then every test.
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

# The tests of the code that runs threads of its own, under ThreadSanitizer: a race fails its
# test.
cmake -S . -B build/tsan -G Ninja -DQVEX_TSAN=ON -DQVEX_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build/tsan -j "$jobs" threaded_tests
ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L threaded

# Every test, with AddressSanitizer and UndefinedBehaviorSanitizer, warnings as errors.
cmake -S . -B build/test -G Ninja -DQVEX_SANITIZE=ON -DQVEX_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"
