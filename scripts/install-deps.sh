#!/usr/bin/env bash
# Installs what building and testing needs on a fresh Debian 12 machine with
# Python 3.11. Idempotent: anything already present is left alone.
set -euo pipefail

# hdf5-tools: h5dump reads files written through the HDF5 filter plugin in
# the tests (the plugin itself builds and runs without any libhdf5 package).
debian_packages=(cmake ninja-build g++ zlib1g-dev libgtest-dev hdf5-tools)
# The fuzzers need the clang that scripts/fuzz.sh uses (it says why 19).
if [[ "${QUILLMERE_WITH_FUZZ:-0}" == "1" ]]; then
  debian_packages+=(clang-19 libclang-rt-19-dev llvm-19)
fi
"$(dirname "$0")/ensure-apt-packages.sh" "${debian_packages[@]}"

python3 -m pip install -q --disable-pip-version-check -r requirements-dev.txt
