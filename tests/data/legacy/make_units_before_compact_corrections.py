"""Writes the corrections_v2_*.bin units in this folder.  They were made once,
with the code as it stood before the compact header of the corrections blob
(version 3), so each carries a version 2 (token form, fixed header) blob;
they are kept so that readers stay able to decode them: do not regenerate
them with newer code.

Each case is NAME.bin (the unit) and NAME.npy (what decoding must return).
The signals are those of make_units_before_token_corrections.py."""
from pathlib import Path

import numpy as np
from make_units_before_token_corrections import _signal

from quillmere_tools.bounds import Bounds
from quillmere_tools.settings import Settings
from quillmere_tools.units.channel import decode_channel, encode_channel

HERE = Path(__file__).parent


def main():
    x32 = _signal(6000, np.float32)
    x64 = 1e6 + _signal(6000, np.float64)
    x64[100:103] = np.nan
    cases = {
        "corrections_v2_f32": encode_channel(x32, Settings(), Bounds(max_error=0.03)),
        # A float64 source around a large offset, with non-finite samples.
        "corrections_v2_f64_offset": encode_channel(x64, Settings(), Bounds(max_error=0.1)),
    }
    for name, unit in cases.items():
        at = unit.find(b"QLMK")
        assert at > 0 and unit[at + 4] == 2, f"{name}: no version 2 corrections blob"
        (HERE / f"{name}.bin").write_bytes(unit)
        np.save(HERE / f"{name}.npy", decode_channel(unit))


if __name__ == "__main__":
    main()
