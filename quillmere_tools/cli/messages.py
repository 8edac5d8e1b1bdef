"""How the command speaks: its name, error lines and human-sized numbers."""
from __future__ import annotations

import sys

from ..wording import human_size

PROG = "quillmere"


def report_error(message: str) -> None:
    print(f"{PROG}: error: {message}", file=sys.stderr)


# The codec's own figure is the samples at 4 bytes each (float32, its
# working precision), whatever the source file held: a float64 .npy and a
# 16-bit WAV of the same signal then show the same ratio, and compress,
# info, bench and demo agree.  It is always labelled, because it is not what
# a person checking the disk sees.
RATIO_BASIS = "vs float32"


def ratio_text(float32_bytes: float, stored_bytes: float) -> str:
    return f"{float32_bytes / stored_bytes:.2f}x {RATIO_BASIS}" if stored_bytes else "-"


def size_change_text(input_bytes: int, stored_bytes: int, float32_bytes: int | None) -> str:
    """How much smaller the output is than its input file, first; then the
    float32 figure, labelled.  An output larger than its input (a lossless
    or already compressed source, a tight bound) is said to be so."""
    if not stored_bytes or not input_bytes:
        return "-"
    text = f"{input_bytes / stored_bytes:.2f}x vs input"
    if stored_bytes > input_bytes:
        text += f", LARGER than the input by {human_size(stored_bytes - input_bytes)}"
    if float32_bytes:
        text += f"; {ratio_text(float32_bytes, stored_bytes)}"
    return text
