"""Smoke test of an installed wheel: the module, an error bound through the
tools, and the command line on a file. Run by scripts/wheel-smoke.sh inside
the environment the wheel was installed into."""
import importlib.resources
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

import quillmere
import quillmere_tools
from quillmere_tools.units.channel import decode_channel
from quillmere_tools.units.target import compress_to_target


def fail(msg: str) -> None:
    print(f"wheel smoke: FAILED: {msg}", file=sys.stderr)
    sys.exit(1)


def main() -> None:
    here = Path.cwd().resolve()
    import quillmere_tools._native as native

    for mod in (quillmere, quillmere_tools, native):
        where = Path(mod.__file__).resolve()
        if "site-packages" not in where.parts:
            fail(f"{mod.__name__} imported from {where}, not from the installed wheel")
    if not importlib.resources.files("quillmere_tools").joinpath("py.typed").is_file():
        fail("quillmere_tools ships no py.typed")

    rng = np.random.default_rng(7)
    t = np.arange(20_000) / 1000.0
    x = (np.sin(2 * np.pi * 3 * t) + 0.05 * rng.standard_normal(t.size)).astype(np.float32)

    blob = quillmere.compress_signal(x, quillmere.CompressionOptions())
    y = quillmere.decompress_signal(blob)
    if y.shape != x.shape or not np.max(np.abs(y - x)) < 0.1:
        fail("compress/decompress round trip is off")

    bound = 1e-3
    res = compress_to_target(x, max_error=bound)
    # The unit may carry corrections after the container: the tools decode it whole.
    z = decode_channel(res.unit)
    err = float(np.max(np.abs(z.astype(np.float64) - x)))
    if err > bound:
        fail(f"max error {err:.3g} exceeds the requested {bound}")

    with tempfile.TemporaryDirectory(dir=here) as d:
        src = Path(d) / "trace.npy"
        np.save(src, x)

        def run(*args):
            return subprocess.run(["quillmere", *args], capture_output=True, text=True)

        r = run("compress", "-q", "--max-error", str(bound), str(src))
        if r.returncode:
            fail(f"quillmere compress: {r.stderr.strip()}")
        r = run("decompress", "-q", "-o", str(Path(d) / "back.npy"), str(src) + ".qlm")
        if r.returncode:
            fail(f"quillmere decompress: {r.stderr.strip()}")
        back = np.load(Path(d) / "back.npy")
        err = float(np.max(np.abs(back.astype(np.float64) - x)))
        if back.shape != x.shape or err > bound:
            fail(f"CLI round trip: shape {back.shape}, max error {err:.3g}")
    print(f"wheel smoke: ok (ratio {x.nbytes / len(res.unit):.1f}x at max error "
          f"{bound}, python {sys.version.split()[0]}, {os.path.basename(quillmere.__file__)})")


if __name__ == "__main__":
    main()
