"""Putting a written recording in place: every file of it appears complete
or not at all, and ``-`` streams a single-file format to standard output.

Format writers write into a scratch folder beside the destination (same
filesystem, so moving is a rename); the files are then linked into place,
which fails atomically if a name was taken meanwhile. A record of several
files (WFDB) that cannot be placed whole is taken back out again."""
from __future__ import annotations

import os
import shutil
import sys
import tempfile
from pathlib import Path
from typing import Any

import numpy as np

from .atomic_write import current_umask, temporary_prefix
from .signal import OutputError, Signal, already_exists, reason_text
from .stdio import STDIO
from .output_placement import placement, write_in_place
from . import FORMATS, NAMES, Format, by_name, for_path


def _scratch(parent: Path, name: str) -> Path:
    if not parent.is_dir():
        raise OutputError(f"output folder does not exist: {parent}")
    try:
        return Path(tempfile.mkdtemp(dir=parent, prefix=temporary_prefix(name), suffix=".part"))
    except OSError as exc:
        raise OutputError(f"cannot write in {parent}: {reason_text(exc)}") from None


def _publish(scratch: Path, names: list[str], parent: Path, force: bool) -> list[Path]:
    targets = [parent / n for n in names]
    for t in targets:
        if t.is_dir():
            raise OutputError(f"{t} is a folder")
        if not force and os.path.lexists(t):
            raise already_exists(t)
    placed: list[Path] = []
    try:
        for n, t in zip(names, targets):
            os.chmod(scratch / n, 0o666 & ~current_umask())
            if force:
                os.replace(scratch / n, t)
            else:
                try:
                    os.link(scratch / n, t)
                except FileExistsError:
                    raise already_exists(t) from None
                except OSError:
                    # Filesystems without hard links: fall back to a checked rename.
                    if os.path.lexists(t):
                        raise already_exists(t) from None
                    os.replace(scratch / n, t)
            placed.append(t)
    except BaseException:
        if not force:
            for t in placed:
                t.unlink(missing_ok=True)
        raise
    return targets


def source_format(signal: Signal) -> Format:
    """The format a signal came from (its metadata's ``format``), or .npy."""
    name = signal.meta.get("format") or "npy"
    if name not in NAMES:
        raise OutputError(f"metadata format {str(name)[:40]!r} is not one this version writes "
                          f"({', '.join(NAMES)}); choose one with --format")
    return by_name(name)


def recording_bytes(signal: Signal, fmt: Format | None = None) -> bytes:
    """A single-file recording as bytes, for a stream (standard output, a
    device or a FIFO): ``fmt``, or the format the signal came from."""
    fmt = fmt or source_format(signal)
    if not fmt.single_file:
        raise OutputError(f"a {fmt.name.upper()} record is several files and cannot "
                          "go to standard output, a device or a FIFO")
    scratch = Path(tempfile.mkdtemp(prefix="quillmere-"))
    try:
        names = fmt.write(scratch, "out" + fmt.suffixes[0], signal)
        return (scratch / names[0]).read_bytes()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def write_recording(dest, signal: Signal, *, force: bool = False,
                    fmt: Format | None = None) -> list[Path]:
    """Write ``signal`` to ``dest`` (a path, or ``-`` with ``fmt`` given or
    taken from the signal's source format) and return the files written."""
    if str(dest) == STDIO:
        sys.stdout.buffer.write(recording_bytes(signal, fmt))
        sys.stdout.buffer.flush()
        return []
    place = placement(dest)
    if place.in_place:
        # A device or FIFO: written as a stream, in the format its name
        # gives or, failing that, the source's.
        known = FORMATS.get(place.path.suffix.lower())
        write_in_place(place, recording_bytes(signal, fmt or known))
        return [place.path]
    if not force and place.link is not None and os.path.lexists(place.path):
        raise already_exists(place.named())
    dest = place.path  # a symlink is written through, never replaced
    fmt = fmt or for_path(dest, output=True)
    parent = dest.parent if str(dest.parent) else Path(".")
    scratch = _scratch(parent, dest.name)
    try:
        names = fmt.write(scratch, dest.name, signal)
        for n in names:
            with open(scratch / n, "rb+") as f:
                os.fsync(f.fileno())
        return _publish(scratch, names, parent, force)
    except OSError as exc:
        raise OutputError(f"cannot write {dest}: {reason_text(exc)}") from None
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def write_signal(path: str | os.PathLike, samples: np.ndarray | list[np.ndarray],
                 meta: dict[str, Any], *, force: bool = False) -> list[Path]:
    """Samples and metadata written in the format the suffix of ``path``
    names; ``-`` is standard output."""
    return write_recording(path, Signal(samples, meta), force=force)
