#!/usr/bin/env bash
# Builds kpt and runs every test: the regular build, then the same suite
# under AddressSanitizer and UndefinedBehaviorSanitizer, then the ring
# diagnostics' tests under ThreadSanitizer.
#   scripts/test.sh            both builds
#   scripts/test.sh --quick    the regular build only
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 300
}

echo "== regular build"
run_suite build
if [ "${1:-}" != "--quick" ]; then
  echo "== sanitizer build (ASan+UBSan)"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan -DKPT_SANITIZE=ON -DKPT_BENCH=OFF
  # The threads and signal handler of the ring diagnostics against the rings
  # they read, under ThreadSanitizer (any report fails the test).
  echo "== thread sanitizer build (ring diagnostics)"
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKPT_TSAN=ON \
    -DKPT_BENCH=OFF >/dev/null
  cmake --build build-tsan -j"$jobs" --target test_rx_diag
  ctest --test-dir build-tsan -j"$jobs" --output-on-failure --timeout 300 -R '^DiagTest\.'
fi
echo "== all tests passed"
