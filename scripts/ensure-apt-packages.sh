#!/usr/bin/env bash
# Installs those of the named Debian packages that are missing, through sudo
# when not run as root. Nothing happens (not even apt-get update) when all
# are present, so every script can call it on each run.
#
#   scripts/ensure-apt-packages.sh cmake ninja-build ...
set -euo pipefail

missing=()
for pkg in "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
