"""Plain-text tables: columns padded to their widest cell."""
from __future__ import annotations

from typing import Sequence


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
