#!/usr/bin/env bash
# Installs what is needed, builds warning-free, and runs every test: the unit
# tests plain and under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# end-to-end suite against the real binary.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/deps.sh

# The shape of the tree: file and function lengths, formatting.
python3 scripts/structure.py
scripts/build.sh build
ctest --test-dir build --output-on-failure --no-tests=error -j "$(nproc)" -L unit
scripts/build.sh build-asan -DTOVIK_SANITIZE=ON -DTOVIK_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure --no-tests=error -j "$(nproc)" -L unit
ctest --test-dir build --output-on-failure --no-tests=error -L e2e
# Every fuzz target for a bounded time under AddressSanitizer + UBSan.
FUZZ_SECONDS="${FUZZ_SECONDS:-10}" sh fuzz/run.sh
