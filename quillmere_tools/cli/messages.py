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


def ratio_text(original_bytes: float, stored_bytes: float) -> str:
    return f"{original_bytes / stored_bytes:.2f}x" if stored_bytes else "-"
