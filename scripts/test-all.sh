#!/usr/bin/env bash
# Installs what is missing, builds, and runs every C++ and Python test.
set -euo pipefail
cd "$(dirname "$0")/.."

QUILLMERE_WITH_TESTS=1 ./scripts/install-deps.sh

build=build/release
cmake -S . -B "$build" -G Ninja -DQUILLMERE_TESTS=ON -DQUILLMERE_BENCH=ON -DQUILLMERE_WERROR=ON
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure -j2

python3 -m pip install -q --disable-pip-version-check ".[test,all]"
python3 -m pytest -q tests
