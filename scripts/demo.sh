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
# Port 0's far end is a generator: a million test packets of random lengths
# (60 to 1514 bytes, 64 flows) at 500000 frames per second, about 3.3 Gbit/s,
# starting when the capture starts.
coproc SIMD { exec build/bin/quor_simd --dir "$dev" --ports 2 \
  --wire 0=gen:pps=500000,len=60-1514,count=1000000,flows=64; }
simd_pid=$SIMD_PID
read -r ready <&"${SIMD[0]}"
echo "$ready"

build/bin/kpt_hello
echo
build/bin/kpt_demo -p 0 -n 1000000
echo
build/bin/quor_simctl status
