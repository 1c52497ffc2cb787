#!/usr/bin/env bash
# Builds kpt, starts the simulated driver in a private directory and runs
# the demo against it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" >/dev/null

dev=$(mktemp -d /tmp/kpt-demo-XXXXXX)
simd_pid=""
cleanup() {
  [ -n "$simd_pid" ] && kill "$simd_pid" 2>/dev/null && wait "$simd_pid" 2>/dev/null
  rm -rf "$dev"
}
trap cleanup EXIT

export ZAL_DEV_DIR=$dev
coproc SIMD { exec build/bin/quor_simd --dir "$dev" --ports 2; }
simd_pid=$SIMD_PID
read -r ready <&"${SIMD[0]}"
echo "$ready"

build/bin/kpt_hello
build/bin/quor_simctl status
