"""What the comparison bench needs before it can run: the peer codecs (the
`compare` extra of pyproject.toml) and the Debian packages that ship the
speech signals (bench/install_peers.sh installs both).

    python3 bench/compare_setup.py     # prints the peers' requirements, one a line
"""

from __future__ import annotations

import importlib
import os
import subprocess
import sys
from typing import List, Sequence

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import signals as sigs  # noqa: E402

PEER_MODULES = ("zfpy", "pysz", "pywt", "numcodecs", "pcodec")
EXTRA = "compare"


def peer_requirements(pyproject: str = os.path.join(ROOT, "pyproject.toml")) -> List[str]:
    """The requirement strings of the project's `compare` extra."""
    try:
        import tomllib
    except ImportError:  # Python < 3.11
        try:
            import tomli as tomllib
        except ImportError:
            sys.exit("reading pyproject.toml needs Python 3.11 or the tomli package")
    with open(pyproject, "rb") as f:
        extras = tomllib.load(f)["project"]["optional-dependencies"]
    if EXTRA not in extras:
        sys.exit(f"{pyproject}: no [project.optional-dependencies] {EXTRA} list")
    return list(extras[EXTRA])


def import_numcodecs():
    # numcodecs' optional zfpy shim parses zfpy's version as dotted integers
    # and dies on "1.0.1.post0" at import time. The bench calls zfpy itself,
    # so the shim is switched off rather than letting it break the import.
    sys.modules.setdefault("numcodecs.zfpy", None)
    return importlib.import_module("numcodecs")


def _missing_modules(names: Sequence[str]) -> List[str]:
    missing = []
    for name in names:
        try:
            if name == "numcodecs":
                import_numcodecs()
            else:
                importlib.import_module(name)
        except Exception:
            missing.append(name)
    return missing


def ensure_installed(want_plot: bool, allow_install: bool, with_quillmere: bool = True) -> None:
    names = list(PEER_MODULES) + (["quillmere"] if with_quillmere else []) + \
        (["matplotlib"] if want_plot else [])
    data_missing = not os.path.isdir(sigs.ALSA_DIR) or not sigs.package_files(
        sigs.POCKETSPHINX_PACKAGE)
    missing = _missing_modules(names)
    if not missing and not data_missing:
        return
    if not allow_install:
        sys.exit(f"missing: {missing or ''} {'signal packages' if data_missing else ''}; "
                 f"run bench/install_peers.sh")
    print(f"# installing what is missing: {missing} {'+ signal packages' if data_missing else ''}",
          file=sys.stderr)
    env = dict(os.environ, PYTHON=sys.executable)
    subprocess.run(["bash", os.path.join(HERE, "install_peers.sh")], check=True, env=env)
    importlib.invalidate_caches()
    still = _missing_modules(names)
    if still:
        sys.exit(f"still missing after install: {still}")


if __name__ == "__main__":
    print("\n".join(peer_requirements()))
