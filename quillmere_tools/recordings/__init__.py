"""Every recording format the command line reads and writes: each module
reads a file into a ``Signal`` with per-channel metadata and writes it back
in the same format.

``FORMATS`` maps a file suffix to its ``Format``; ``read_signal`` reads any
of them, ``writer.write_recording`` writes one back. Formats whose library is an
optional extra report the install command when it is missing."""
from __future__ import annotations

import importlib
import math
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional

from .._core import ToolError, require
from .signal import InputError, OutputError, Signal


@dataclass(frozen=True)
class Format:
    name: str
    suffixes: tuple[str, ...]
    module: str                       # quillmere_tools.formats.<module>
    extra: Optional[str] = None       # the pip extra that brings its library
    single_file: bool = True          # False: a record spread over several files

    def _impl(self):
        return importlib.import_module(f"{__name__}.{self.module}")

    def read(self, path: Path, **options: Any) -> Signal:
        return self._impl().read(path, **options)

    def write(self, folder: Path, name: str, signal: Signal) -> list[str]:
        """Write ``signal`` as ``folder/name`` (plus any companion files);
        return the names of the files written."""
        try:
            return self._impl().write(folder, name, signal)
        except (KeyError, TypeError, AttributeError) as exc:
            # Metadata a writer needs is missing or of the wrong kind.
            raise OutputError(f"the metadata does not describe a {self.name.upper()} file "
                              f"({type(exc).__name__}: {exc})") from None


FORMATS: dict[str, Format] = {}
for _f in (
    Format("npy", (".npy",), "arrays"),
    Format("csv", (".csv",), "table"),
    Format("wav", (".wav",), "audio"),
    Format("flac", (".flac",), "audio"),
    Format("ogg", (".ogg", ".oga"), "audio"),
    Format("aiff", (".aiff", ".aif"), "audio"),
    Format("edf", (".edf",), "edf", extra="edf"),
    Format("bdf", (".bdf",), "edf", extra="edf"),
    Format("wfdb", (".hea",), "wfdb_record", extra="wfdb", single_file=False),
):
    for _s in _f.suffixes:
        FORMATS[_s] = _f

SIGNAL_SUFFIXES = tuple(FORMATS)
NAMES = tuple(dict.fromkeys(f.name for f in FORMATS.values()))


def _positive(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and value > 0


def common_rate(meta: dict[str, Any]) -> Optional[float]:
    """The file's sample rate, the one rate all its channels share, or the
    rate a table's time column gives."""
    rate = meta.get("samplerate")
    if _positive(rate):
        return float(rate)
    step = meta.get("time_step")
    if meta.get("format") == "csv" and _positive(step) and math.isfinite(1.0 / step):
        return 1.0 / float(step)
    info = meta.get("channel_info")
    if isinstance(info, list):
        rates = {ci.get("samplerate") for ci in info if isinstance(ci, dict)}
        if len(rates) == 1:
            only = rates.pop()
            if isinstance(only, (int, float)) and not isinstance(only, bool) and only > 0:
                return float(only)
    return None


def stored_values(meta: dict[str, Any], channel: int, y) -> Any:
    """The values a reader gets back from the file that ``decompress`` writes
    in the source's own format for reconstruction ``y`` of ``channel``
    (integer codes, float32 samples, printed text), or ``y`` itself for a
    signal of no known format."""
    import numpy as np

    fmt = next((f for f in FORMATS.values() if f.name == meta.get("format")), None)
    impl = fmt._impl() if fmt is not None else None
    if impl is None or not hasattr(impl, "stored_values"):
        return np.asarray(y, dtype=np.float64)
    return impl.stored_values(meta, channel, y)


def by_name(name: str) -> Format:
    for f in FORMATS.values():
        if f.name == name:
            return f
    raise ToolError(f"unknown format {str(name)[:40]!r} (known: {', '.join(NAMES)})")


def expected() -> str:
    return ", ".join(sorted(set(FORMATS)))


def for_path(path: Path, *, output: bool = False) -> Format:
    fmt = FORMATS.get(path.suffix.lower())
    if fmt is None:
        err = OutputError if output else InputError
        what = "output" if output else "file"
        raise err(f"unsupported {what} type '{path.suffix or '(none)'}' (expected {expected()})")
    return fmt


def library(module: str, err: type = InputError):
    """Import an optional format library, or fail as ``err`` with the
    command that installs it."""
    try:
        return require(module)
    except ToolError as exc:
        raise err(str(exc)) from None


def read_options_for(fmt: Format, options: dict[str, Any]) -> dict[str, Any]:
    impl = fmt._impl()
    accepted = getattr(impl, "READ_OPTIONS", ())
    return {k: v for k, v in options.items() if k in accepted and v is not None}


def open_source(path: Path, **options: Any):
    """A reader of ``path`` a run of one channel's samples at a time
    (channel_source.ChannelSource), or None where the file is read whole:
    a format without piecewise reading, or a file its reader would refuse
    or read some other way, which read_signal then words."""
    fmt = FORMATS.get(path.suffix.lower())
    if fmt is None or not path.is_file():
        return None
    impl = fmt._impl()
    opener = getattr(impl, "open_source", None)
    if opener is None:
        return None
    try:
        return opener(path, fmt.name, **read_options_for(fmt, options))
    except OSError:
        return None


def read_signal(path: str | os.PathLike, **options: Any) -> Signal:
    """Read any supported signal file; ``options`` are format options
    (``layout`` for .npy, ``time_column`` for .csv) that other formats ignore."""
    path = Path(path)
    fmt = for_path(path)
    if not path.exists():
        raise InputError("no such file")
    if path.is_dir():
        raise InputError("is a folder, not a file")
    if not path.is_file():
        # A FIFO or device has no size to check and may never end; the
        # command reads those through its bounded stream path.
        raise InputError("is not a regular file (a FIFO or device); give it as standard "
                         "input, '-', to quillmere compress")
    if path.stat().st_size == 0:
        raise InputError("the file is empty")
    return fmt.read(path, **read_options_for(fmt, options))
