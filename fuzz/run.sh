#!/bin/sh
# Builds the fuzz targets with clang and libFuzzer and runs each for a bounded
# time, or minimises the corpora.
#
#   fuzz/run.sh [target...]           run each target (default: every target)
#   fuzz/run.sh --merge [target...]   minimise each target's corpus into fuzz/corpus
#
# Environment:
#   FUZZ_SECONDS   time per target (default 20)
#   FUZZ_BUILD     build directory (default build-fuzz at the repository root)
#   FUZZ_CXX       clang for a new build directory (default clang++-16)
#   FUZZ_JOBS      parallel build jobs (default 2)
#
# A run starts from the corpus in fuzz/corpus/<target> (copied, so the inputs
# it finds never land in the repository), with the target's dictionary and
# value profiles, and writes what it finds to $FUZZ_BUILD/fuzz-work/<target>/.
# It fails on any crash, leak, timeout, out-of-memory or sanitizer report,
# leaving the input there as crash-*, leak-*, timeout-* or oom-*; the report's
# first lines, that file's name and (for a short input) its Base64 are printed,
# so a CI log is enough to rebuild the input.
# Reproduce one with: $FUZZ_BUILD/fuzz/fuzz_<target> <that file>
#
# --merge keeps a small set of inputs from fuzz/corpus/<target> and the last
# run's fuzz-work/<target>/corpus that reaches all of their coverage, and puts
# it in fuzz/corpus/<target> in place of what was there: after a long run, for
# a person to review and commit.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${FUZZ_BUILD:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-20}
jobs=${FUZZ_JOBS:-2}
merge=false
if [ "${1:-}" = "--merge" ]; then
  merge=true
  shift
fi
all="decode_request decode_response parse_json parse_shell_line parse_client_target load_registry store_open import_lines query_filter"
targets=${*:-$all}

if [ -f "$build/CMakeCache.txt" ] && ! grep -q '^CMAKE_CXX_COMPILER:.*clang' "$build/CMakeCache.txt"; then
  echo "$build was configured with another compiler; remove it so it is made again with clang" >&2
  exit 1
fi
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++-16}" \
    -DTOVIK_FUZZ=ON -DTOVIK_TESTS=OFF -DTOVIK_BENCH=OFF -DTOVIK_WERROR=ON
fi
executables=""
for t in $targets; do executables="$executables fuzz_$t"; done
# shellcheck disable=SC2086
ninja -C "$build" -j "$jobs" $executables

dictionary() {
  case "$1" in
    decode_request | decode_response | load_registry) echo "$here/dict/protocol.dict" ;;
    parse_json | import_lines) echo "$here/dict/json.dict" ;;
    parse_json) echo "$here/dict/json.dict" ;;
    query_filter) echo "$here/dict/filter.dict" ;;
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

if $merge; then
  for t in $targets; do
    work="$build/fuzz-work/$t"
    merged="$build/fuzz-work/$t.merged"
    rm -rf "$merged"
    mkdir -p "$merged" "$work/corpus"
    echo "== merging fuzz_$t"
    # A set cover over edges and hit counts, without value profiles: the value
    # profile features would keep about twice the inputs, and a run
    # finds them again in seconds.
    if ! "$build/fuzz/fuzz_$t" -set_cover_merge=1 -use_value_profile=0 "-max_len=$(max_len "$t")" \
      "$merged" "$here/corpus/$t" "$work/corpus" >"$work/merge.log" 2>&1; then
      echo "!! merging fuzz_$t failed; log: $work/merge.log"
      exit 1
    fi
    rm -rf "$here/corpus/$t"
    mv "$merged" "$here/corpus/$t"
    echo "   $(find "$here/corpus/$t" -type f | wc -l) inputs, $(cat "$here/corpus/$t"/* | wc -c) bytes"
  done
  exit 0
fi

failed=""
for t in $targets; do
  work="$build/fuzz-work/$t"
  rm -rf "$work"
  mkdir -p "$work/corpus"
  cp "$here/corpus/$t/"* "$work/corpus/"
  dict=$(dictionary "$t")
  set -- "-max_total_time=$seconds" "-max_len=$(max_len "$t")" "-timeout=10" \
    "-use_value_profile=1" "-print_final_stats=1" "-artifact_prefix=$work/"
  if [ -n "$dict" ]; then set -- "$@" "-dict=$dict"; fi
  echo "== fuzz_$t for ${seconds}s"
  if "$build/fuzz/fuzz_$t" "$@" "$work/corpus" >"$work/log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE' "$work/log" || tail -n 1 "$work/log"
    grep -E '^stat::average_exec_per_sec' "$work/log" || true
  else
    echo "!! fuzz_$t failed; log: $work/log"
    grep -E 'ERROR|runtime error|property broken|Test unit written|Base64' "$work/log" | head -n 6 || true
    failed="$failed $t"
  fi
done

if [ -n "$failed" ]; then
  echo "fuzz targets with defects:$failed"
  exit 1
fi
echo "all fuzz targets clean"
