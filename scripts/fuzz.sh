#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 20), as many at once as there are processors, from its seed corpus in
# tests/fuzz/corpus/<target> (with the target's dictionary, if it has one).  New inputs go to build-fuzz/corpus/<target>,
# never into the source tree; a finding fails the run and is kept in
# build-fuzz/findings/ with the target's name.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-20}
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(fuzz_rss fuzz_pcap fuzz_ats fuzz_rx_ring fuzz_dispatch fuzz_ctl fuzz_settings)
fi
jobs=$(nproc 2>/dev/null || echo 2)
root=$PWD
out=$root/build-fuzz

echo "== fuzz targets (${secs} s each)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKPT_FUZZ=ON -DKPT_TESTS=OFF -DKPT_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target "${targets[@]}"
mkdir -p "$out/findings"

# One target: its log in $out/<target>.log, status 0 when it found nothing.
run_target() {
  local t=$1
  mkdir -p "$out/corpus/$t"
  local args=(-max_total_time="$secs" -timeout=30 -print_final_stats=1
              -artifact_prefix="$out/findings/$t-")
  [ -f "tests/fuzz/$t.dict" ] && args+=(-dict="$root/tests/fuzz/$t.dict")
  # Paths are absolute: some targets work in a scratch directory of their own.
  "$out/bin/$t" "${args[@]}" "$out/corpus/$t" "$root/tests/fuzz/corpus/$t" >"$out/$t.log" 2>&1
}

# As many targets at once as there are processors; the results in order.
failed=()
for ((i = 0; i < ${#targets[@]}; i += jobs)); do
  batch=("${targets[@]:i:jobs}")
  pids=()
  for t in "${batch[@]}"; do
    run_target "$t" &
    pids+=($!)
  done
  for k in "${!batch[@]}"; do
    t=${batch[$k]}
    echo "-- $t"
    if ! wait "${pids[$k]}"; then
      tail -n 60 "$out/$t.log"
      failed+=("$t")
      continue
    fi
    grep -E '^#[0-9]+ +DONE' "$out/$t.log" || true
    grep -E 'average_exec_per_sec' "$out/$t.log" || true
  done
done
if ((${#failed[@]})); then
  echo "fuzz targets with a finding: ${failed[*]} (inputs kept in $out/findings/)"
  exit 1
fi
