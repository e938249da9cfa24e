#!/bin/sh
# Installs what is missing, builds the program and starts it with the given arguments
# (without arguments it shows what it can do; README.md has examples).
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQVEX_BUILD_TESTS=OFF -DQVEX_BUILD_BENCH=OFF >/dev/null
ninja -C build/release -j "$(nproc)" >/dev/null
exec build/release/ui/Qvex3 "$@"
