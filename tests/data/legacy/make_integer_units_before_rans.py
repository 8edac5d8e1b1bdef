"""Writes the integer units in this folder.  They were made once, with the
code as it stood before the integer coder could code a block's residuals
with rANS, and are kept so that readers stay able to decode them; do not
regenerate them with newer code.

Each case is NAME.bin (the bytes) and NAME.npy (what decoding must return).
Both units are integer units (coder id 4): int16-like PCM codes coded
exactly (LPC and fixed blocks, Rice residuals, runs of zeros), and a signal
of few distinct values (a palette)."""
from pathlib import Path

import numpy as np

from quillmere_tools.bounds import Bounds
from quillmere_tools.settings import Settings
from quillmere_tools.units.channel import decode_channel, encode_with_report

HERE = Path(__file__).parent
STEP = 2.0 ** -15


def _pcm(n):
    rng = np.random.default_rng(20261209)
    t = np.arange(n) / 8000.0
    x = 0.3 * np.sin(2 * np.pi * 220 * t) * np.sin(2 * np.pi * 1.5 * t) + 0.01 * rng.standard_normal(n)
    x[3000:3600] = 0.0  # silence: runs of zero residuals
    return (np.round(x * 32768) / 32768).astype(np.float32)


def _few_values(n):
    rng = np.random.default_rng(7)
    levels = np.sort(rng.integers(0, 40000, 12))
    return (levels[rng.integers(0, 12, n)] * 0.25 + 100.0).astype(np.float32)


def main():
    cases = {"unit_int_pcm16": (_pcm(9000), 0.49 * STEP), "unit_int_palette": (_few_values(5000), 0.1)}
    for name, (x, bound) in cases.items():
        unit, report = encode_with_report(x, Settings(), Bounds(max_error=bound))
        assert report.coder_code == 4, (name, report.coder_code)
        (HERE / f"{name}.bin").write_bytes(unit)
        np.save(HERE / f"{name}.npy", decode_channel(unit))


if __name__ == "__main__":
    main()
