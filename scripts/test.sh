#!/usr/bin/env bash
# Builds kpt and runs every test: the regular build, then the same suite
# under AddressSanitizer and UndefinedBehaviorSanitizer, then under
# ThreadSanitizer, then each fuzz target for a short fixed time.
#   scripts/test.sh            all four passes (what CI runs)
#   scripts/test.sh --quick    the regular build only
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

# run_suite DIR [CMAKE_ARGS...] [-- CTEST_ARGS...]
run_suite() {
  local dir=$1; shift
  local cm=() ct=()
  while (($#)) && [ "$1" != "--" ]; do cm+=("$1"); shift; done
  (($#)) && shift && ct=("$@")
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cm[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 300 "${ct[@]}"
}

echo "== regular build"
run_suite build
if [ "${1:-}" != "--quick" ]; then
  # The instrumented builds are optimised less and carry line tables only:
  # enough for every report's stack, at half the build time.
  lean=("-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
        "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" -DKPT_BENCH=OFF)
  echo "== sanitizer build (ASan+UBSan)"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan -DKPT_SANITIZE=ON "${lean[@]}"
  # Any report fails its test.  Not run here: the UDP sink's tests.  The
  # sink is one thread (nothing to check), and ThreadSanitizer holds back
  # a signal that arrives while it waits in pselect() until the next call
  # it intercepts, which the program never makes, so SIGINT never ends it.
  echo "== thread sanitizer build"
  # atexit_sleep_ms=0: a process exiting beside a thread that sleeps (the
  # device layer's unmapper of kept rings) is not held back a second, which
  # the programs' run-time checks would see.
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 atexit_sleep_ms=0 suppressions=$PWD/scripts/tsan.supp" \
    run_suite build-tsan -DKPT_TSAN=ON "${lean[@]}" -- -E '^SinkTest\.'
  if command -v clang++ >/dev/null; then
    scripts/fuzz.sh 20
  else
    echo "== no clang: the fuzz targets are not run"
  fi
fi
echo "== all tests passed"
