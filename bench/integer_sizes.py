"""Sizes of the units compress_to_target writes where the integer unit
codes: each LibriVox signal and the membrane trace at max_error 0.1 % of
range, the LibriVox signals as int16 PCM codes at 0.49 (their own integers),
and the membrane trace exactly on its 12-bit grid (step 2/4095) beside
pcodec's bytes of its codes. Run it in two environments (before and after a
change to the integer coder) and compare the columns.

    python bench/integer_sizes.py
"""
from __future__ import annotations

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import signals  # noqa: E402

MEMBRANE_STEP = 2.0 / 4095.0


def coder_of(unit: bytes) -> int:
    return unit[14]  # the container header's coder id (4: the integer unit)


def main() -> None:
    import quillmere_tools as qt
    from quillmere_tools.bounds import Bounds
    from quillmere_tools.settings import Settings
    from quillmere_tools.units import channel as frames

    rows = []
    for s in signals.pocketsphinx_signals() + signals.membrane_signal():
        x = s.load()
        cases = {"0.1%": (x, "0.1%")}
        if "librivox" in s.name:
            pcm = np.round(x.astype(np.float64) * 32768.0).clip(-32768, 32767).astype(np.float32)
            cases["pcm-0.49"] = (pcm, 0.49)
        for tag, (y, bound) in cases.items():
            unit = bytes(qt.compress_to_target(y, max_error=bound, threads=1).unit)
            rows.append((s.name, tag, len(unit), coder_of(unit)))
        if "membrane" in s.name:
            unit, _ = frames.encode_with_report(x, Settings(), Bounds(max_error=0.49 * MEMBRANE_STEP),
                                                grid_step=MEMBRANE_STEP)
            codes = np.rint(x.astype(np.float64) / MEMBRANE_STEP).astype(np.int32)
            import pcodec

            peer = len(pcodec.standalone.simple_compress(codes, pcodec.ChunkConfig()))
            rows.append((s.name, f"grid (pcodec {peer})", len(unit), coder_of(bytes(unit))))
    for name, tag, size, coder in rows:
        print(f"{name:24s} {tag:20s} {size:8d} B  coder {coder}")


if __name__ == "__main__":
    main()
