"""A long CSV table read in row batches: the text is parsed once, a batch
of rows at a time, into a private temporary file of float64 frames, which
is then read a run of a channel at a time. Values, errors and metadata are
those of the whole-file reader (table.py).

A table with a time column is read whole: the column's start, step and
exceptions are found from all of its values at once."""
from __future__ import annotations

import csv
import os
import tempfile
from pathlib import Path
from typing import Optional

import numpy as np

from ..channel_sources import NpySource
from ..io import InputError, _reason
from .table import RowParser, _time_index, table_meta

# Rows parsed before they are written out as float64.
_BATCH_ROWS = 1 << 16


def _spool_rows(path: Path, out) -> RowParser:
    parser = RowParser()
    batch: list[list[float]] = []
    try:
        with open(path, encoding="utf-8") as text:
            for row in parser.rows(csv.reader(text)):
                batch.append(row)
                if len(batch) == _BATCH_ROWS:
                    np.asarray(batch, dtype=np.float64).tofile(out)
                    batch.clear()
    except UnicodeDecodeError:
        raise InputError("not a text CSV file") from None
    except OSError as exc:
        raise InputError(_reason(exc)) from None
    if batch:
        np.asarray(batch, dtype=np.float64).tofile(out)
    out.flush()
    return parser


def open_table(path: Path, time_column: str = "auto",
               least_bytes: int = 0) -> Optional[NpySource]:
    """A piecewise reader of a table of more than ``least_bytes`` bytes
    without a time column; None for anything the whole-file reader takes."""
    if path.stat().st_size <= least_bytes:
        return None
    with open(path, encoding="utf-8", errors="replace") as text:
        first = next((row for row in csv.reader(text) if any(c.strip() for c in row)), None)
    if first is not None:
        # A header that names a time column (or an unknown column) is left to
        # the whole-file reader, which also words what is wrong.
        cells = [c.strip() for c in first]
        try:
            [float(c) for c in cells]
            names = None
        except ValueError:
            names = cells
        try:
            if _time_index(names, time_column, len(cells)) is not None:
                return None
        except InputError:
            return None
    spool = tempfile.TemporaryFile(prefix="quillmere-")
    try:
        parser = _spool_rows(path, spool)
        if not parser.count:
            spool.close()
            return None
        fd = os.dup(spool.fileno())
    finally:
        spool.close()
    source = NpySource(path, fd, np.dtype(np.float64), (parser.count, parser.width or 1),
                       False, 0, "columns")
    source.meta = table_meta(parser.header)
    source.source_bytes = path.stat().st_size
    return source
