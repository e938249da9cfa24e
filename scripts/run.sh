#!/bin/sh
# Installs what is missing, builds the program and starts it with the given arguments.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DQVEX_BUILD_TESTS=OFF -DQVEX_BUILD_BENCH=OFF >/dev/null
ninja -C build/release -j "$(nproc)"

if [ -x build/release/Qvex3 ]; then
    exec build/release/Qvex3 "$@"
fi
echo "Built the libraries in build/release. The program Qvex3 arrives with a later step;"
echo "until then, scripts/test.sh runs every test."
