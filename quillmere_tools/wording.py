"""How values read in the tools' one-line messages, wherever they are raised:
a value as the user gave it (cut short when huge) and a byte count in
human units."""
from __future__ import annotations

import numbers


def short_repr(value) -> str:
    """``repr`` for a message, with a huge integer shown by its length."""
    text = repr(value)
    if isinstance(value, numbers.Integral) and len(text) > 24:
        return f"a {len(text.lstrip('-'))}-digit integer"
    return text if len(text) <= 60 else text[:57] + "..."


def human_size(n: float) -> str:
    for unit in ("B", "kB", "MB", "GB"):
        if abs(n) < 1000 or unit == "GB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1000.0
    return f"{n:.1f} GB"  # pragma: no cover
