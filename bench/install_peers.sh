#!/usr/bin/env bash
# Installs everything bench/compare.py needs: the Debian packages that ship the
# test speech, the peer codecs (the `compare` extra of pyproject.toml) and,
# unless it already imports, Quillmere itself from this checkout.  Safe to run
# again.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(dirname "$here")"
py="${PYTHON:-python3}"

need_apt=()
[ -d /usr/share/sounds/alsa ] || need_apt+=(alsa-utils)
dpkg -s pocketsphinx-testdata >/dev/null 2>&1 || need_apt+=(pocketsphinx-testdata)
if [ ${#need_apt[@]} -gt 0 ]; then
  sudo_=""
  [ "$(id -u)" -eq 0 ] || sudo_="sudo"
  $sudo_ apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_ apt-get install -y -qq --no-install-recommends "${need_apt[@]}"
fi

if "$py" -c "import quillmere" >/dev/null 2>&1; then
  # Only the extra's packages: reinstalling the project would replace the
  # module under test with a fresh build of this checkout.
  mapfile -t peers < <("$py" "$here/compare_setup.py")
  "$py" -m pip install -q "${peers[@]}"
else
  "$py" -m pip install -q "$root[compare]"
fi
