"""CSV files: one column per channel, a header line of names or none, and
optionally a time column that becomes the sample rate instead of a channel.

The time column is the one named by ``time_column``, or, with the default
``"auto"``, a first column whose header reads like time (time, t, seconds,
timestamp, ...). It must be evenly spaced: its start and step are stored
and the column is rebuilt on writing. ``time_column="none"`` treats every
column as a channel."""
from __future__ import annotations

import csv
import io as _io
import re
from pathlib import Path
from typing import Any, Optional

import numpy as np

from ..io import InputError, OutputError, Signal, _reason

READ_OPTIONS = ("time_column",)

_TIME_NAME = re.compile(r"^\s*(t|time|times|timestamp|seconds|secs?|s|elapsed)\s*([\[(].*[\])])?\s*$",
                        re.IGNORECASE)
# Relative spread of the time steps still taken as one sampling interval
# (time columns are usually printed with a few digits).
_EVEN = 1e-3


def _parse_rows(text: str) -> tuple[Optional[list[str]], list[list[float]]]:
    header: Optional[list[str]] = None
    rows: list[list[float]] = []
    width = None
    for lineno, row in enumerate(csv.reader(_io.StringIO(text)), start=1):
        cells = [c.strip() for c in row]
        if not any(cells):
            continue
        if width is not None and len(cells) != width:
            raise InputError(f"line {lineno}: expected {width} columns, found {len(cells)}")
        width = len(cells)
        try:
            rows.append([float(c) for c in cells])
        except ValueError:
            # A leading line that is not numbers is the column names, and kept.
            if header is None and not rows:
                header = cells
                continue
            bad = next(c for c in cells if not _is_number(c))
            raise InputError(f"line {lineno}: not a number: {bad[:40]!r}") from None
    return header, rows


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


def read(path: Path, time_column: str = "auto") -> Signal:
    try:
        text = path.read_text(encoding="utf-8")
    except UnicodeDecodeError:
        raise InputError("not a text CSV file") from None
    except OSError as exc:
        raise InputError(_reason(exc)) from None
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
        times = table[:, t]
        if times.size < 2:
            raise InputError("a time column needs at least two rows")
        steps = np.diff(times)
        step = float(np.median(steps))
        if not step > 0 or np.max(np.abs(steps - step)) > _EVEN * step:
            name = header[t] if header else f"column {t + 1}"
            raise InputError(f"time column {name!r} is not evenly spaced; give --time-column none "
                             "to compress it as a channel")
        meta["time_column"] = t
        meta["time_start"] = float(times[0])
        meta["time_step"] = step
        table = np.delete(table, t, axis=1)
    if header is not None:
        names = [h for i, h in enumerate(header) if i != t]
        meta["channel_info"] = [{"label": n} for n in names]
    return Signal(table, meta)


def write(folder: Path, name: str, signal: Signal) -> list[str]:
    if signal.ragged:
        raise OutputError("a CSV table needs channels of equal length; "
                          "these run at different rates (choose another --format)")
    meta = signal.meta
    cols = [signal.samples[:, i].astype(np.float64) for i in range(signal.channels)]
    texts = [[f"{v:.9g}" for v in c] for c in cols]
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
    if isinstance(t, int) and 0 <= t <= len(cols):
        n = signal.frames
        start, step = float(meta["time_start"]), float(meta["time_step"])
        texts.insert(t, [f"{start + i * step:.9g}" for i in range(n)])
    buf = _io.StringIO()
    if header and len(header) == len(texts):
        # Quoted where a name holds a comma or a quote, so it reads back whole.
        csv.writer(buf, lineterminator="\n").writerow(header)
    for row in zip(*texts):
        buf.write(",".join(row) + "\n")
    (folder / name).write_text(buf.getvalue(), encoding="utf-8")
    return [name]
