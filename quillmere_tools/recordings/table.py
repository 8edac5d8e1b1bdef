"""CSV files: one column per channel, a header line of names or none, and
optionally a time column that becomes the sample rate instead of a channel.

The time column is the one named by ``time_column``, or, with the default
``"auto"``, a first column whose header reads like time (time, t, seconds,
timestamp, ...). It is stored as a start, a step and the significant digits
it was printed with, plus the rows that these do not rebuild exactly, so it
comes back with the values it went in with; a column too irregular for that
is refused. ``time_column="none"`` treats every column as a channel.

Samples are written in the shortest text that reads back as the
reconstruction's own value (9 significant digits for float32), and
``stored_values`` is what a reader gets from that text."""
from __future__ import annotations

import csv
import io as _io
import os
import re
import tempfile
from pathlib import Path
from typing import Any, Iterable, Iterator, Optional

import numpy as np

from .signal import InputError, OutputError, Signal, reason_text
from . import channel_source
from .channel_source import NpySource

READ_OPTIONS = ("time_column",)

_TIME_NAME = re.compile(r"^\s*(t|time|times|timestamp|seconds|secs?|s|elapsed)\s*([\[(].*[\])])?\s*$",
                        re.IGNORECASE)
# Rows a start and a step may fail to rebuild and still be kept exactly:
# enough for a few gaps or a printed column's odd rounding, few enough to
# stay far under the metadata's size limit.
_MAX_TIME_EXCEPTIONS = 16_384
# Legacy files stored no digits; they were written with 9.
_LEGACY_TIME_DIGITS = 9


class RowParser:
    """Rows of numbers from csv.reader rows: blank lines skipped, one width
    throughout, and a leading line that is not numbers kept as the column
    names (``header``)."""

    def __init__(self) -> None:
        self.header: Optional[list[str]] = None
        self.width: Optional[int] = None
        self.count = 0

    def rows(self, reader: Iterable[list[str]]) -> Iterator[list[float]]:
        for lineno, row in enumerate(reader, start=1):
            cells = [c.strip() for c in row]
            if not any(cells):
                continue
            if self.width is not None and len(cells) != self.width:
                raise InputError(f"line {lineno}: expected {self.width} columns, found {len(cells)}")
            self.width = len(cells)
            try:
                values = [float(c) for c in cells]
            except ValueError:
                # A leading line that is not numbers is the column names, and kept.
                if self.header is None and not self.count:
                    self.header = cells
                    continue
                bad = next(c for c in cells if not _is_number(c))
                raise InputError(f"line {lineno}: not a number: {bad[:40]!r}") from None
            self.count += 1
            yield values


def _parse_rows(text: str) -> tuple[Optional[list[str]], list[list[float]]]:
    parser = RowParser()
    rows = list(parser.rows(csv.reader(_io.StringIO(text))))
    return parser.header, rows


def table_meta(header: Optional[list[str]]) -> dict[str, Any]:
    """The metadata of a table without a time column."""
    meta: dict[str, Any] = {"format": "csv"}
    if header is not None:
        meta["columns"] = header
        meta["channel_info"] = [{"label": n} for n in header]
    return meta


def _is_number(text: str) -> bool:
    try:
        float(text)
        return True
    except ValueError:
        return False


def _time_index(header: Optional[list[str]], time_column: str, width: int) -> Optional[int]:
    if time_column == "none":
        return None
    if time_column == "auto":
        if header and _TIME_NAME.match(header[0]) and width > 1:
            return 0
        return None
    if header and time_column in header:
        return header.index(time_column)
    raise InputError(f"no column named {time_column!r} (columns: {', '.join(header or []) or 'unnamed'})")


def _significant_digits(v: float) -> int:
    """Digits of the shortest text that reads back as ``v``."""
    mantissa = repr(abs(v)).split("e")[0].replace(".", "").strip("0")
    return max(1, len(mantissa))


def _rebuilt(start: float, step: float, digits: int, n: int) -> np.ndarray:
    return np.array([float(f"{start + i * step:.{digits}g}") for i in range(n)])


def _time_fields(times: np.ndarray, name: str) -> dict[str, Any]:
    """Start, step, digits and the rows they miss, for a column that they
    rebuild value for value."""
    n = times.size
    if n < 2:
        raise InputError("a time column needs at least two rows")
    if not np.all(np.isfinite(times)):
        raise InputError(f"time column {name!r} holds a value that is not a finite number")
    digits = max(_significant_digits(v) for v in times.tolist())
    # Enough digits for the integer part, so 10000 prints as 10000, not 1e+04.
    top = float(np.max(np.abs(times)))
    digits = min(17, max(digits, int(np.floor(np.log10(top))) + 1 if top >= 1 else 1))
    rows = np.arange(n, dtype=np.float64)
    # Two estimates of the step: the end points, and the least-squares line
    # (printed times scatter around the true grid; the fit finds it).
    ends = (float(times[0]), (float(times[-1]) - float(times[0])) / (n - 1))
    slope = float(np.dot(rows - rows.mean(), times - times.mean())
                  / np.dot(rows - rows.mean(), rows - rows.mean()))
    fit = (float(times.mean() - slope * rows.mean()), slope)
    best = None
    for start, step in (ends, fit):
        if not step > 0:
            continue
        missed = np.flatnonzero(_rebuilt(start, step, digits, n) != times)
        if best is None or missed.size < best[2].size:
            best = (start, step, missed)
    if best is None or best[2].size > _MAX_TIME_EXCEPTIONS:
        raise InputError(f"time column {name!r} is not evenly spaced; give --time-column none "
                         "to compress it as a channel")
    start, step, missed = best
    fields: dict[str, Any] = {"time_start": start, "time_step": step, "time_digits": digits}
    if missed.size:
        fields["time_exceptions"] = [[int(i), float(times[i])] for i in missed]
    return fields


def _time_texts(meta: dict[str, Any], n: int, start_row: int = 0,
                stop_row: Optional[int] = None) -> list[str]:
    """The time column's texts of rows ``start_row`` to ``stop_row`` (all
    ``n``, by default) of a table of ``n`` rows."""
    stop_row = n if stop_row is None else stop_row
    start, step = float(meta["time_start"]), float(meta["time_step"])
    digits = meta.get("time_digits", _LEGACY_TIME_DIGITS)
    if isinstance(digits, bool) or not isinstance(digits, int) or not 1 <= digits <= 17:
        raise OutputError(f"metadata time_digits {digits!r} is not a digit count from 1 to 17")
    texts = [f"{start + i * step:.{digits}g}" for i in range(start_row, stop_row)]
    exceptions = meta.get("time_exceptions") or []
    if not isinstance(exceptions, list) or len(exceptions) > _MAX_TIME_EXCEPTIONS:
        raise OutputError("metadata time_exceptions is not a list of rows")
    for entry in exceptions:
        if (not isinstance(entry, list) or len(entry) != 2 or isinstance(entry[0], bool)
                or not isinstance(entry[0], int) or not 0 <= entry[0] < n
                or not isinstance(entry[1], (int, float)) or isinstance(entry[1], bool)):
            raise OutputError(f"metadata time_exceptions holds a bad row: {str(entry)[:40]}")
        if start_row <= entry[0] < stop_row:
            texts[entry[0] - start_row] = repr(float(entry[1]))
    return texts


def _sample_texts(y: np.ndarray) -> list[str]:
    """The shortest text that reads back as each value; float32 values
    take 9 significant digits, which single out every float32."""
    y = np.asarray(y)
    if y.dtype == np.float32:
        return [f"{v:.9g}" for v in y.tolist()]
    texts = [repr(v) for v in y.astype(np.float64).tolist()]
    # Integral values as integers ("-2", not "-2.0"), as tables usually hold them.
    return [t[:-2] if t.endswith(".0") else t for t in texts]


def stored_values(meta: dict[str, Any], channel: int, y: np.ndarray) -> np.ndarray:
    """What a CSV reader parses from the text ``write`` makes of ``y``."""
    return np.array([float(t) for t in _sample_texts(y)], dtype=np.float64)


def read(path: Path, time_column: str = "auto") -> Signal:
    try:
        text = path.read_text(encoding="utf-8")
    except UnicodeDecodeError:
        raise InputError("not a text CSV file") from None
    except OSError as exc:
        raise InputError(reason_text(exc)) from None
    header, rows = _parse_rows(text)
    if not rows:
        raise InputError("the CSV file holds no samples")
    table = np.asarray(rows, dtype=np.float64)
    meta: dict[str, Any] = {"format": "csv"}
    if header is not None:
        meta["columns"] = header
    t = _time_index(header, time_column, table.shape[1])
    if t is not None:
        if table.shape[1] == 1:
            raise InputError("the time column is the only column: there is no signal")
        name = header[t] if header else f"column {t + 1}"
        meta.update(_time_fields(table[:, t], name))
        meta["time_column"] = t
        table = np.delete(table, t, axis=1)
    if header is not None:
        names = [h for i, h in enumerate(header) if i != t]
        meta["channel_info"] = [{"label": n} for n in names]
    return Signal(table, meta)


def write(folder: Path, name: str, signal: Signal) -> list[str]:
    if signal.ragged:
        raise OutputError("a CSV table needs channels of equal length; "
                          "these run at different rates (choose another --format)")
    samples = np.asarray(signal.samples)
    text = "".join(table_text(signal.meta, signal.channels, samples.shape[0], [(0, samples)]))
    (folder / name).write_text(text, encoding="utf-8")
    return [name]


def table_text(meta: dict[str, Any], channels: int, frames: int,
               pieces: Iterable[tuple[int, np.ndarray]]) -> Iterator[str]:
    """The text of a table of ``frames`` rows a piece at a time: the header
    line, then the rows of each (first row, (rows, channels) samples) piece,
    in order."""
    own = meta.get("format") == "csv"
    header = None
    if own and isinstance(meta.get("columns"), list):
        header = [str(c) for c in meta["columns"]]
    elif own and isinstance(meta.get("header"), str):
        header = [meta["header"]]  # a one-column file written before "columns"
    elif isinstance(meta.get("channel_info"), list):
        labels = [str(ci.get("label", "")) for ci in meta["channel_info"]]
        if any(labels):
            header = labels
    t = meta.get("time_column") if own else None
    timed = isinstance(t, int) and 0 <= t <= channels
    if header and len(header) == channels + int(timed):
        # Quoted where a name holds a comma or a quote, so it reads back whole.
        buf = _io.StringIO()
        csv.writer(buf, lineterminator="\n").writerow(header)
        yield buf.getvalue()
    for first, samples in pieces:
        texts = [_sample_texts(samples[:, i]) for i in range(channels)]
        if timed:
            texts.insert(int(t), _time_texts(meta, frames, first, first + samples.shape[0]))
        yield "".join(",".join(row) + "\n" for row in zip(*texts))


# ---------------------------------------------------------------- a run at a time
# A long table without a time column is parsed once, a batch of rows at a
# time, into a private temporary file of float64 frames, which is then read
# a run of a channel at a time. A table with a time column is read whole:
# the column's start, step and exceptions are fitted over all of it.

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
        raise InputError(reason_text(exc)) from None
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


def open_source(path: Path, kind: str, time_column: str = "auto") -> Optional[NpySource]:
    # Every sample takes two bytes of text at least: a smaller table cannot
    # hold a long channel, and is not parsed twice.
    return open_table(path, time_column, least_bytes=2 * channel_source.LEAST_LONG)
