import os
import shutil
import subprocess
import sys

import numpy as np
import pytest


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "dask: starts a dask.distributed LocalCluster (worker processes); ~20 s")


@pytest.fixture(scope="session")
def ecg():
    from quillmere_tools.demo import ecg as make

    return make(seconds=20.0)


def _cli_prefix():
    # Prefer the console script of the environment running the tests (what a
    # person runs), never another one that happens to be first on PATH.
    exe = shutil.which("quillmere", path=os.path.dirname(sys.executable))
    return [exe] if exe else [sys.executable, "-m", "quillmere_tools"]


class CLIResult:
    def __init__(self, proc):
        self.code = proc.returncode
        self.out = proc.stdout
        self.err = proc.stderr

    def __repr__(self):
        return f"<exit {self.code}\nstdout:\n{self.out}\nstderr:\n{self.err}>"


@pytest.fixture
def cli(tmp_path):
    """Run ``quillmere ARGS...`` in tmp_path as a separate process."""
    prefix = _cli_prefix()

    def run(*args, cwd=None, timeout=300):
        proc = subprocess.run(prefix + [str(a) for a in args], cwd=cwd or tmp_path,
                              capture_output=True, text=True, timeout=timeout,
                              env={**os.environ, "MPLBACKEND": "Agg"})
        return CLIResult(proc)

    return run


def one_line_error(res):
    """The failure contract: non-zero exit, no traceback, every stderr line
    a one-line ``quillmere: error:`` message."""
    assert res.code != 0, res
    assert "Traceback" not in res.err, res
    lines = [l for l in res.err.splitlines() if l.strip()]
    assert lines, res
    assert all(l.startswith("quillmere: error: ") for l in lines), res
    return lines


@pytest.fixture
def files(tmp_path, ecg):
    """One file of every supported kind, as a person would have them."""
    sf = pytest.importorskip("soundfile")
    np.save(tmp_path / "ecg.npy", ecg)
    (tmp_path / "ecg.csv").write_text("mV\n" + "\n".join(f"{v:.6f}" for v in ecg[:3000]) + "\n")
    t = np.arange(8000) / 8000.0
    stereo = np.stack([0.8 * np.sin(2 * np.pi * 440 * t), 0.5 * np.sin(2 * np.pi * 97 * t)], 1)
    sf.write(tmp_path / "tone.wav", stereo, 8000, subtype="PCM_24")
    return tmp_path
