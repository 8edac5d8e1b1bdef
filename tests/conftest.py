"""Shared helpers for the tests of the `quillmere` extension module."""

from __future__ import annotations

import importlib.machinery
import os
import subprocess
import sys
from pathlib import Path

# quillmere_tools carries a compiled companion module (_native) that only the
# installed package holds; `python -m pytest` from the repository root would
# import the source folder instead.  Test what is installed, as the command
# line tests (which run the installed script) already do.
_ROOT = Path(__file__).resolve().parents[1]
if "quillmere_tools" not in sys.modules:
    sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != _ROOT]

import numpy as np  # noqa: E402
import pytest  # noqa: E402
import quillmere  # noqa: E402

# The repository root holds a quillmere/ directory (the C++ library). It is no
# Python package, so an installed extension always wins the import; without
# one, `import quillmere` would quietly give an empty namespace package.
if not isinstance(getattr(quillmere, "__loader__", None), importlib.machinery.ExtensionFileLoader):
    pytest.exit(
        f"`import quillmere` found {getattr(quillmere, '__path__', quillmere)!r}, not the "
        "extension module: install it first (pip install .)",
        returncode=4,
    )

HEADER_LEN = 52


# Test modules take these through fixtures: with several conftest.py files
# outside packages, `import conftest` could find the wrong one.


def _make_signal(n: int = 1000, seed: int = 0, dtype=np.float32) -> np.ndarray:
    """A sine with a little noise: compresses well and decodes close to itself."""
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    x = np.sin(t / 25.0) + 0.3 * np.sin(t / 3.7) + 0.01 * rng.standard_normal(n)
    return x.astype(dtype)


def _header_fields(container: bytes) -> dict:
    """The header fields the Python layer decides on (method, scale, coder,
    multiplier) plus the sample count, read by the tools' one header parser."""
    from quillmere_tools.qlm.container_header import parse_header

    header = parse_header(container)
    return {
        "method_tag": header["method_tag"],
        "scale": header["scale"],
        "coder": header["coder_id"],
        "sample_count": header["sample_count"],
        "multiplier": header["multiplier"],
    }


def _run_python(code: str, *, env: dict | None = None, cwd: str | None = None) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (for process-wide state such as the
    lazily loaded NumPy table) and returns the finished process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=full_env, cwd=cwd, timeout=120
    )


@pytest.fixture(scope="session")
def make_signal():
    return _make_signal


@pytest.fixture(scope="session")
def signal() -> np.ndarray:
    return _make_signal()


@pytest.fixture(scope="session")
def header_fields():
    return _header_fields


@pytest.fixture(scope="session")
def run_python():
    return _run_python
