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

from ..io import OutputError, Signal, _reason, temporary_prefix
from . import Format, by_name, for_path

STDIO = "-"


def _scratch(parent: Path, name: str) -> Path:
    if not parent.is_dir():
        raise OutputError(f"output folder does not exist: {parent}")
    try:
        return Path(tempfile.mkdtemp(dir=parent, prefix=temporary_prefix(name), suffix=".part"))
    except OSError as exc:
        raise OutputError(f"cannot write in {parent}: {_reason(exc)}") from None


def _publish(scratch: Path, names: list[str], parent: Path, force: bool) -> list[Path]:
    targets = [parent / n for n in names]
    for t in targets:
        if t.is_dir():
            raise OutputError(f"{t} is a folder")
        if not force and os.path.lexists(t):
            raise OutputError(f"{t} already exists (use --force to overwrite)")
    placed: list[Path] = []
    try:
        for n, t in zip(names, targets):
            os.chmod(scratch / n, 0o666 & ~_umask())
            if force:
                os.replace(scratch / n, t)
            else:
                try:
                    os.link(scratch / n, t)
                except FileExistsError:
                    raise OutputError(f"{t} already exists (use --force to overwrite)") from None
                except OSError:
                    # Filesystems without hard links: fall back to a checked rename.
                    if os.path.lexists(t):
                        raise OutputError(f"{t} already exists (use --force to overwrite)") from None
                    os.replace(scratch / n, t)
            placed.append(t)
    except BaseException:
        if not force:
            for t in placed:
                t.unlink(missing_ok=True)
        raise
    return targets


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def write_recording(dest, signal: Signal, *, force: bool = False,
                    fmt: Format | None = None) -> list[Path]:
    """Write ``signal`` to ``dest`` (a path, or ``-`` with ``fmt`` given or
    taken from the signal's source format) and return the files written."""
    if str(dest) == STDIO:
        fmt = fmt or by_name(signal.meta.get("format") or "npy")
        if not fmt.single_file:
            raise OutputError(f"a {fmt.name.upper()} record is several files and cannot go "
                              "to standard output")
        scratch = Path(tempfile.mkdtemp(prefix="quillmere-"))
        try:
            names = fmt.write(scratch, "out" + fmt.suffixes[0], signal)
            data = (scratch / names[0]).read_bytes()
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return []
    dest = Path(dest)
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
        raise OutputError(f"cannot write {dest}: {_reason(exc)}") from None
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
