#!/usr/bin/env bash
# Builds the C++ libraries and tests with AddressSanitizer + UndefinedBehaviorSanitizer
# and runs every C++ test under them.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/sanitize
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLMERE_TESTS=ON -DQUILLMERE_SANITIZE=ON -DQUILLMERE_WERROR=ON
cmake --build "$build" -j2
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$build" --output-on-failure -j2
