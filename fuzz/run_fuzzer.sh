#!/bin/sh
# run_fuzzer.sh <fuzzer> <seconds> <work corpus> <seed folder>
set -eu
mkdir -p "$3"
exec "$1" -max_total_time="$2" -rss_limit_mb=2048 -timeout=10 "$3" "$4"
