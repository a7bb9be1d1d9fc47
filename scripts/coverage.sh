#!/usr/bin/env bash
# Line and branch coverage of src/ reached by the unit and end-to-end tests.
#
#   scripts/coverage.sh
#
# Builds a tree of its own with g++ --coverage at -O0 (so every line and branch
# counted is one of the source), runs the unit tests and the end-to-end suite
# in it, and prints line and branch coverage per folder of src/ and in total.
# Branches that only throw, or that the compiler found unreachable, are left
# out of the count. A report per file and line is left in
# $COVERAGE_BUILD/coverage/index.html.
#
# Environment:
#   COVERAGE_BUILD   build directory (default build-coverage at the repository root)
#   COVERAGE_JOBS    parallel build and unit-test jobs (default 2)
#
# A failing test is reported and the figures are still printed; the script then
# exits non-zero.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${COVERAGE_BUILD:-$root/build-coverage}"
jobs="${COVERAGE_JOBS:-2}"
cd "$root"
scripts/deps.sh

cmake -S "$root" -B "$build" -G Ninja -DTOVIK_WERROR=ON -DTOVIK_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_EXE_LINKER_FLAGS=--coverage \
  >/dev/null
cmake --build "$build" -j "$jobs"

# Counts left by an earlier run would add to this one's.
find "$build" -name '*.gcda' -delete
status=0
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs" -L unit || status=1
ctest --test-dir "$build" --output-on-failure --no-tests=error -L e2e || status=1

mkdir -p "$build/coverage"
gcovr --root "$root" --object-directory "$build" --filter "$root/src/" \
  --exclude-throw-branches --exclude-unreachable-branches -j "$jobs" \
  --exclude-directories "$build/CMakeFiles" \
  --json-summary "$build/coverage/summary.json" \
  --html-details "$build/coverage/index.html"

python3 - "$build/coverage/summary.json" <<'EOF'
import json
import sys
from collections import defaultdict

files = json.load(open(sys.argv[1]))["files"]
folders = defaultdict(lambda: [0, 0, 0, 0])
for f in files:
    parts = f["filename"].split("/")
    folder = "/".join(parts[:2]) if len(parts) > 2 else parts[0]
    for i, key in enumerate(("line_covered", "line_total", "branch_covered", "branch_total")):
        folders[folder][i] += f[key]
        folders["total"][i] += f[key]


def percent(covered, total):
    return f"{100.0 * covered / total:5.1f}%" if total else "    -"


print(f"{'':14} {'lines':>21} {'branches':>21}")
for name in sorted(folders, key=lambda n: (n == "total", n)):
    lc, lt, bc, bt = folders[name]
    print(f"{name:14} {percent(lc, lt)} {lc:6}/{lt:<6}   {percent(bc, bt)} {bc:6}/{bt:<6}")
EOF
echo "per file and line: $build/coverage/index.html"
exit "$status"
