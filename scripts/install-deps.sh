#!/usr/bin/env bash
# Installs what building and testing needs on a fresh Debian 12 machine with
# Python 3.11. Idempotent: anything already present is left alone.
set -euo pipefail

# hdf5-tools: h5dump reads files written through the HDF5 filter plugin in
# the tests (the plugin itself builds and runs without any libhdf5 package).
debian_packages=(cmake ninja-build g++ zlib1g-dev libgtest-dev hdf5-tools)
if [[ "${QUILLMERE_WITH_FUZZ:-0}" == "1" ]]; then
  debian_packages+=(clang-14 libclang-rt-14-dev llvm-14)
fi
missing=()
for pkg in "${debian_packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

python3 -m pip install -q --disable-pip-version-check -r requirements-dev.txt
