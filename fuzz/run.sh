#!/bin/sh
# Builds the fuzz targets and runs each for a bounded time.
#
#   fuzz/run.sh [target...]      default: every target
#
# Environment:
#   FUZZ_SECONDS   time per target (default 20)
#   FUZZ_BUILD     build directory (default build-fuzz at the repository root)
#   FUZZ_CXX       compiler for a new build directory (default g++: clang 14
#                  cannot compile the project's std::expected, see CMakeLists.txt)
#   FUZZ_JOBS      parallel build jobs (default 2)
#
# Each run starts from the seed corpus in fuzz/corpus/<target> (copied, so the
# inputs a run finds never land in the repository), writes what it finds to
# $FUZZ_BUILD/fuzz-work/<target>/, and fails on any crash, leak, timeout or
# sanitizer report, leaving the input as crash-input / timeout-input there.
# Reproduce one with: $FUZZ_BUILD/fuzz/fuzz_<target> <that file>
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${FUZZ_BUILD:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-20}
jobs=${FUZZ_JOBS:-2}
all="decode_request decode_response parse_json parse_shell_line parse_client_target load_registry store_open"
targets=${*:-$all}

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-g++}" \
    -DTOVIK_FUZZ=ON -DTOVIK_TESTS=OFF -DTOVIK_BENCH=OFF -DTOVIK_WERROR=ON
fi
executables=""
for t in $targets; do executables="$executables fuzz_$t"; done
# shellcheck disable=SC2086
ninja -C "$build" -j "$jobs" $executables

dictionary() {
  case "$1" in
    decode_request | decode_response | load_registry) echo "$here/dict/protocol.dict" ;;
    parse_json) echo "$here/dict/json.dict" ;;
    parse_shell_line | parse_client_target) echo "$here/dict/shell.dict" ;;
    *) echo "" ;;
  esac
}

max_len() {
  case "$1" in
    store_open) echo 8193 ;;  # flag byte and a whole 4096-byte start of each slot
    load_registry) echo 4200 ;;  # past the registry's 4,096-byte limit
    *) echo 4096 ;;
  esac
}

failed=""
for t in $targets; do
  work="$build/fuzz-work/$t"
  rm -rf "$work"
  mkdir -p "$work/corpus"
  cp "$here/corpus/$t/"* "$work/corpus/"
  dict=$(dictionary "$t")
  set -- "-max_total_time=$seconds" "-max_len=$(max_len "$t")" "-timeout=10" \
    "-artifact_prefix=$work/"
  if [ -n "$dict" ]; then set -- "$@" "-dict=$dict"; fi
  echo "== fuzz_$t for ${seconds}s"
  if "$build/fuzz/fuzz_$t" "$@" "$work/corpus" >"$work/log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE' "$work/log" || tail -n 1 "$work/log"
  else
    echo "!! fuzz_$t failed; log: $work/log"
    grep -E 'ERROR|runtime error|property broken|input written' "$work/log" | head -n 5 || true
    failed="$failed $t"
  fi
done

if [ -n "$failed" ]; then
  echo "fuzz targets with defects:$failed"
  exit 1
fi
echo "all fuzz targets clean"
