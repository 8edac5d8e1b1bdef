#!/usr/bin/env bash
# Installs what building needs on a fresh Debian 12 machine with Python 3.11;
# with QUILLMERE_WITH_TESTS=1 also what the test suites need (GoogleTest,
# pytest, hypothesis), which a user who only installs the package never gets.
# Idempotent: anything already present is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(cmake ninja-build g++ zlib1g-dev)
if [[ "${QUILLMERE_WITH_TESTS:-0}" == "1" ]]; then
  # hdf5-tools: h5dump reads files written through the HDF5 filter plugin in
  # the tests (the plugin itself builds and runs without any libhdf5 package).
  debian_packages+=(libgtest-dev hdf5-tools)
fi
# The fuzzers need the clang that scripts/fuzz.sh uses (it says why 19).
if [[ "${QUILLMERE_WITH_FUZZ:-0}" == "1" ]]; then
  debian_packages+=(clang-19 libclang-rt-19-dev llvm-19)
fi
"$(dirname "$0")/ensure-apt-packages.sh" "${debian_packages[@]}"

if [[ "${QUILLMERE_WITH_TESTS:-0}" == "1" ]]; then
  python3 -m pip install -q --disable-pip-version-check -r requirements-dev.txt
fi
