#!/usr/bin/env bash
# Installs what is missing, builds, and runs every C++ and Python test.
set -euo pipefail
cd "$(dirname "$0")/.."

QUILLMERE_WITH_TESTS=1 ./scripts/install-deps.sh

# Configure lines live in CMakePresets.json, one preset per build folder.
cmake --preset release
cmake --build --preset release
ctest --preset release

python3 -m pip install -q --disable-pip-version-check ".[test,all]"
python3 -m pytest -q tests
