#!/usr/bin/env bash
# The main job on an embedded default: a throwaway database and administrator
# in a temporary directory, served on a free loopback port, used through one
# batch session, then stopped and removed. Nothing is left behind.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
if [[ "${TOVIK_DEMO_SKIP_BUILD:-}" != 1 ]]; then
  scripts/deps.sh
  scripts/build.sh build >/dev/null
fi
tovik="${TOVIK_BIN:-$root/build/src/cli/tovik}"

work="$(mktemp -d "${TMPDIR:-/tmp}/tovik-demo.XXXXXX")"
server_pid=""
cleanup() {
  if [[ -n "$server_pid" ]] && kill -0 "$server_pid" 2>/dev/null; then
    kill -INT "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }

db="$work/demo.tovik"
# The administrator's password comes from the environment and is never printed.
TOVIK_PASSWORD="${TOVIK_PASSWORD:-$(head -c 18 /dev/urandom | base64 | tr -d '/+=')}"
export TOVIK_PASSWORD

step "$("$tovik" version)"
step "tovik init $db"
"$tovik" init "$db"
step "tovik setup $db admin   (password taken from TOVIK_PASSWORD)"
"$tovik" setup "$db" admin

step "tovik serve $db --bind 127.0.0.1:0"
mkfifo "$work/serve.out"
"$tovik" serve "$db" --bind 127.0.0.1:0 >"$work/serve.out" 2>"$work/serve.err" &
server_pid=$!
exec 3<"$work/serve.out"
if ! IFS= read -r -t 10 listening <&3; then
  echo "server did not start:" >&2
  cat "$work/serve.err" >&2
  exit 1
fi
echo "$listening"
address="$(sed -E 's/^Tovik listening on ([^ ]+) .*/\1/' <<<"$listening")"

commands=(
  'create warren shop'
  'use shop'
  'create den orders'
  'use orders'
  'put a1 {"item":"lamp","qty":2}'
  'insert a2 {"item":"desk","qty":1}'
  'insert a3 {"item":"lamp","qty":5}'
  'update a2 {"qty":3}'
  'get a2'
  'find item=lamp'
  'page 2'
  'page 2 "a2"'
  'show shinies'
  'stats'
  'check'
  'quit'
)
step "tovik batch $address   (one JSON line per command)"
printf '%s\n' "${commands[@]}" >"$work/batch.in"
"$tovik" batch "$address" <"$work/batch.in" >"$work/batch.out"
i=0
while IFS= read -r response; do
  printf '> %s\n  %s\n' "${commands[$i]}" "$response"
  i=$((i + 1))
done <"$work/batch.out"

step "stopping the server (Ctrl+C)"
kill -INT "$server_pid"
wait "$server_pid"
server_pid=""
cat <&3
exec 3<&-

step "tovik check $db   (offline, after the server released the file)"
"$tovik" check "$db"
step "tovik stats $db"
"$tovik" stats "$db"
step "done; the throwaway directory is removed"
