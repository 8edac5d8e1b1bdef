"""Writes the corrections_v1_*.bin units in this folder.  They were made once,
with the code as it stood before the token form of the corrections blob
(version 2), so each carries a version 1 (gamma form) blob; they are kept so
that readers stay able to decode them: do not regenerate them with newer code.

Each case is NAME.bin (the unit) and NAME.npy (what decoding must return)."""
from pathlib import Path

import numpy as np

from quillmere_tools.bounds import Bounds
from quillmere_tools.settings import Settings
from quillmere_tools.units.channel import decode_channel, encode_channel

HERE = Path(__file__).parent


def _signal(n, dtype):
    rng = np.random.default_rng(20261209)
    t = np.arange(n) / 100.0
    x = np.sin(2 * np.pi * 1.3 * t) + 0.3 * np.sin(2 * np.pi * (5 + 0.02 * t) * t)
    # Heavy-tailed noise: the search then corrects many samples rather than
    # refine the whole layer.
    return (x + 0.01 * rng.standard_t(2, size=n)).astype(dtype)


def main():
    x32 = _signal(6000, np.float32)
    x64 = 1e6 + _signal(6000, np.float64)
    x64[100:103] = np.nan
    cases = {
        "corrections_v1_f32": encode_channel(x32, Settings(), Bounds(max_error=0.03)),
        # A float64 source around a large offset, with non-finite samples.
        "corrections_v1_f64_offset": encode_channel(x64, Settings(), Bounds(max_error=0.1)),
    }
    for name, unit in cases.items():
        at = unit.find(b"QLMK")
        assert at > 0 and unit[at + 4] == 1, f"{name}: no version 1 corrections blob"
        (HERE / f"{name}.bin").write_bytes(unit)
        np.save(HERE / f"{name}.npy", decode_channel(unit))


if __name__ == "__main__":
    main()
