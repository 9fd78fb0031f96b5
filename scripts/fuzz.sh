#!/bin/bash
# Fuzzes both bridges' ring readers and velkin_bridge's intake with libFuzzer,
# RUNS executions per target (default 10 million), and prints the figures.
# Corpora are kept in build/fuzz/corpus/<target>.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-10000000}

scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DFUZZ=ON >/dev/null
cmake --build build/fuzz -j"$(nproc)" >/dev/null

for target in velkin_ring_fuzz velkin_intake_fuzz dornel_reader_fuzz; do
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  echo "== $target: $runs executions"
  (cd build/fuzz && "tests/fuzz/$target" -runs="$runs" -max_len=4096 -print_final_stats=1 \
    "corpus/$target" 2>&1) | grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)|ERROR|SUMMARY'
done
