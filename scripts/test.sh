#!/usr/bin/env bash
# Sets everything up, builds and runs every test:
#   1. the installed packages (scripts/install-deps.sh),
#   2. the release build with all tests (core, headless front, live capture, windows offscreen, and
#      the person journeys on Xvfb with openbox and on weston with Xwayland, label person),
#   3. the core tests under AddressSanitizer and UndefinedBehaviorSanitizer,
#   4. the threading tests under ThreadSanitizer,
#   5. the fuzzers, each for a bounded time.
# Options: --quick runs step 2 only. FUZZ_SECONDS sets the time of each fuzzer (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
quick=0
[[ "${1:-}" == "--quick" ]] && quick=1

scripts/install-deps.sh

jobs=$(nproc)
export CTEST_OUTPUT_ON_FAILURE=1
step() { printf '\n=== %s ===\n' "$*"; }

step "release build and all tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --timeout 600
[[ $quick -eq 1 ]] && exit 0

step "core tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUELVAR_UI=OFF \
  -DQUELVAR_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j"$jobs" -L core --timeout 900

step "threading tests under ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUELVAR_UI=OFF \
  -DQUELVAR_SANITIZE=thread >/dev/null
cmake --build build-tsan -j"$jobs"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan -j"$jobs" -L threads --timeout 900

if [[ -d fuzz ]] && [[ -f fuzz/CMakeLists.txt ]]; then
  step "fuzzers"
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELVAR_UI=OFF -DQUELVAR_TESTS=OFF \
    -DQUELVAR_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build build-fuzz -j"$jobs"
  "$root/fuzz/run-all.sh" "$root/build-fuzz/bin" "${FUZZ_SECONDS:-30}"
fi
step "all tests passed"
