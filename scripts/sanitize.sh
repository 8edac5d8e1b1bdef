#!/usr/bin/env bash
# Builds the C++ libraries and tests with AddressSanitizer + UndefinedBehaviorSanitizer
# and runs every C++ test under them.
set -euo pipefail
cd "$(dirname "$0")/.."

# The preset sets the sanitizer options the tests run with.
cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize
