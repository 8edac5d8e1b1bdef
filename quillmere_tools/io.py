"""Reading and writing signal files (formats/ holds each format) and compressed files.

Readers turn every problem into a one-line ``InputError``; writers go through
``atomic_write`` so that a failure or an interrupt never leaves a
half-written file at the destination.
"""
from __future__ import annotations

import os
import tempfile
from pathlib import Path
from typing import Any, Callable, BinaryIO

import numpy as np

from ._core import ToolError

COMPRESSED_SUFFIX = ".qlm"


class InputError(ToolError):
    pass


class OutputError(ToolError):
    pass


class Signal:
    """Samples as a (frames, channels) array plus what is needed to write the
    file back in its original form.

    Recordings whose channels run at different rates (EDF, multi-rate WFDB)
    hold one 1-D array per channel instead; ``channel(i)`` reads either form.
    Per-channel metadata (label, unit, sample rate, physical range) lives in
    ``meta["channel_info"]``, one dict per channel."""

    def __init__(self, samples: np.ndarray | list[np.ndarray], meta: dict[str, Any] | None = None):
        if isinstance(samples, np.ndarray):
            if samples.ndim != 2:
                raise ValueError(f"expected (frames, channels) samples, got shape {samples.shape}")
        else:
            samples = [np.asarray(c) for c in samples]
            if samples and len({c.size for c in samples}) == 1:
                samples = np.stack(samples, axis=1)
        self.samples = samples
        self.meta = dict(meta or {})
        # Bytes of the source when they are not one file's size (a WFDB
        # record's header and signal files); None otherwise.
        self.source_bytes: int | None = None

    @property
    def ragged(self) -> bool:
        return not isinstance(self.samples, np.ndarray)

    @property
    def channels(self) -> int:
        return len(self.samples) if self.ragged else self.samples.shape[1]

    @property
    def frames(self) -> int | None:
        """Samples per channel, or None when the channels' lengths differ."""
        return None if self.ragged else self.samples.shape[0]

    def channel(self, i: int) -> np.ndarray:
        return self.samples[i] if self.ragged else self.samples[:, i]

    @property
    def lengths(self) -> list[int]:
        return [self.channel(i).size for i in range(self.channels)]


# ---------------------------------------------------------------- readers

def read_signal(path: str | os.PathLike, **options: Any) -> Signal:
    """Read any supported signal file; ``options`` are format options
    (``layout`` for .npy, ``time_column`` for .csv) that other formats ignore."""
    from . import formats

    path = Path(path)
    fmt = formats.for_path(path)
    if not path.exists():
        raise InputError("no such file")
    if path.is_dir():
        raise InputError("is a folder, not a file")
    if path.stat().st_size == 0:
        raise InputError("the file is empty")
    return fmt.read(path, **formats.read_options_for(fmt, options))


def _reason(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror.lower()
    text = str(exc).strip().splitlines()
    return text[-1] if text else type(exc).__name__


# ---------------------------------------------------------------- writers

def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def atomic_write(path: str | os.PathLike, write: Callable[[BinaryIO], None], *,
                 force: bool = False) -> None:
    """Write through ``write(fileobj)`` into a temporary file beside ``path``
    and move it into place only once it is complete.

    Without ``force`` an existing destination is never replaced; the final
    step uses a hard link, which fails atomically if the name was taken in
    the meantime."""
    path = Path(path)
    parent = path.parent if str(path.parent) else Path(".")
    if not parent.is_dir():
        raise OutputError(f"output folder does not exist: {parent}")
    if path.is_dir():
        raise OutputError(f"{path} is a folder")
    if not force and os.path.lexists(path):
        raise OutputError(f"{path} already exists (use --force to overwrite)")
    try:
        fd, tmp = tempfile.mkstemp(dir=parent, prefix=f".{path.name}.", suffix=".part")
    except OSError as exc:
        raise OutputError(f"cannot write in {parent}: {_reason(exc)}") from None
    try:
        os.chmod(tmp, 0o666 & ~_umask())
        with os.fdopen(fd, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        if force:
            os.replace(tmp, path)
        else:
            try:
                os.link(tmp, path)
            except FileExistsError:
                raise OutputError(f"{path} already exists (use --force to overwrite)") from None
            except OSError:
                # Filesystems without hard links: fall back to a checked rename.
                if os.path.lexists(path):
                    raise OutputError(f"{path} already exists (use --force to overwrite)") from None
                os.replace(tmp, path)
    except OSError as exc:
        raise OutputError(f"cannot write {path}: {_reason(exc)}") from None
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)


def write_signal(path: str | os.PathLike, samples: np.ndarray | list[np.ndarray],
                 meta: dict[str, Any], *, force: bool = False) -> list[Path]:
    """Write a signal in the format its suffix names; ``-`` is standard output."""
    from .formats.output import write_recording

    return write_recording(path, Signal(samples, meta), force=force)


def write_bytes(path: str | os.PathLike, data: bytes, *, force: bool = False) -> None:
    atomic_write(path, lambda f: f.write(data), force=force)
