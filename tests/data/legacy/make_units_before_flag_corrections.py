"""Writes the corrections_v3_gamma_*.bin units in this folder.  They were
made once, with the code as it stood before the flag coding of the
corrections blob, so each carries a compact (version 3) blob in the gamma
coding (form bit 2 without bit 8) inside a compact side block;
they are kept so that readers stay able to decode them: do not regenerate
them with newer code.

Each case is NAME.bin (the unit) and NAME.npy (what decoding must return).
The signals are those of make_units_before_token_corrections.py, held to
bounds loose enough that a few hundred samples are corrected (where the
gamma coding is the smaller)."""
from pathlib import Path

import numpy as np
from make_units_before_token_corrections import _signal

from quillmere_tools.bounds import Bounds
from quillmere_tools.settings import Settings
from quillmere_tools.units.channel import decode_channel, encode_channel

HERE = Path(__file__).parent


def _form_byte(unit: bytes) -> int:
    """The form byte of the compact corrections blob in a compact side
    block (no non-finite runs), which holds the blob without its magic."""
    side = unit.rfind(b"QLMC")
    assert side > 0 and unit[side + 4] == 2, "no compact side block"
    flags = unit[side + 5]
    at = side + 6 + (8 if flags & 1 else 0)
    assert unit[at] == 3, "no compact corrections blob"
    return unit[at + 1]


def main():
    x32 = _signal(6000, np.float32)
    x64 = 1e6 + _signal(6000, np.float64)
    cases = {
        "corrections_v3_gamma_f32": encode_channel(x32, Settings(), Bounds(max_error=0.05)),
        "corrections_v3_gamma_f64_offset": encode_channel(x64, Settings(), Bounds(max_error=0.1)),
    }
    for name, unit in cases.items():
        form = _form_byte(unit)
        assert form & 2 and not form & 8, f"{name}: form {form:#x} is not the gamma coding"
        (HERE / f"{name}.bin").write_bytes(unit)
        np.save(HERE / f"{name}.npy", decode_channel(unit))


if __name__ == "__main__":
    main()
