"""How the command speaks: its name, error lines, human-sized numbers and
plain-text tables (columns padded to their widest cell)."""
from __future__ import annotations

import sys
from typing import Sequence

from .._core import human_size

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


def column_widths(rows: Sequence[Sequence[str]]) -> list[int]:
    return [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]


def left_aligned(rows: Sequence[Sequence[str]], indent: str = "  ") -> list[str]:
    """Every column left-aligned; trailing blanks trimmed."""
    widths = column_widths(rows)
    return [indent + "  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip()
            for row in rows]


def first_column_left(head: Sequence[str], body: Sequence[Sequence[str]]) -> list[str]:
    """A label column on the left, numbers right-aligned, a dashed rule under the head."""
    widths = column_widths([head, *body])
    rule = tuple("-" * w for w in widths)
    return ["  ".join(cell.ljust(widths[j]) if j == 0 else cell.rjust(widths[j])
                      for j, cell in enumerate(row))
            for row in [head, rule, *body]]
