"""How the command speaks: its name, error lines and human-sized numbers."""
from __future__ import annotations

import sys

PROG = "quillmere"


def report_error(message: str) -> None:
    print(f"{PROG}: error: {message}", file=sys.stderr)


def human_size(n: float) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if abs(n) < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000.0
    return f"{n:.1f} GB"  # pragma: no cover


# Every ratio the tools print has one basis: the samples at 4 bytes each
# (float32, the codec's working precision), whatever the source file held.
# A float64 .npy and a 16-bit WAV of the same signal then show the same
# ratio, and compress, info, bench and demo agree.
RATIO_BASIS = "vs float32"


def ratio_text(float32_bytes: float, stored_bytes: float) -> str:
    return f"{float32_bytes / stored_bytes:.2f}x {RATIO_BASIS}" if stored_bytes else "-"
