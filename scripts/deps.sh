#!/usr/bin/env bash
# Installs the Debian packages Tovik builds, tests and benchmarks with.
# Idempotent: packages already present are left as they are.
set -euo pipefail
packages=(
  g++ cmake ninja-build pkg-config
  nlohmann-json3-dev libargon2-dev libdeflate-dev libedit-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-pytest python3-argon2 argon2 python3-pip python3-setuptools
  sqlite3 clang-16 libclang-rt-16-dev gcovr clang-format
  postgresql
  man-db groff lintian dpkg-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}"
fi
