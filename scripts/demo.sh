#!/usr/bin/env bash
# The main job on an embedded default: a throwaway database in a temporary
# directory, created, inspected and removed again.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/deps.sh
scripts/build.sh build
tovik="$root/build/src/cli/tovik"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
db="$work/demo.tovik"
echo "== $("$tovik" version)"
echo "== tovik init $db"; "$tovik" init "$db"
echo "== tovik status";   "$tovik" status "$db"
echo "== tovik stats";    "$tovik" stats "$db"
