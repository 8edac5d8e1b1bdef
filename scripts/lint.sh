#!/usr/bin/env bash
# Lints the Python sources (ruff) and type-checks the public surface of
# quillmere_tools and the stubs of the two compiled modules (mypy, strict
# there). Both read their settings from pyproject.toml; install them with
# requirements-dev.txt (QUILLMERE_WITH_TESTS=1 scripts/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m ruff check .
python3 -m mypy
