"""Reading and writing signal files (formats/ holds each format) and compressed files.

Readers turn every problem into a one-line ``InputError``; writers go through
``atomic_write`` so that a failure or an interrupt never leaves a
half-written file at the destination.
"""
from __future__ import annotations

import os
import shutil
import tempfile
from io import BytesIO
from pathlib import Path
from typing import Any, Callable, BinaryIO

import numpy as np

from . import stop_request
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
    if not path.is_file():
        # A FIFO or device has no size to check and may never end; the
        # command reads those through its bounded stream path.
        raise InputError("is not a regular file (a FIFO or device); give it as standard "
                         "input, '-', to quillmere compress")
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


# A file name may take 255 bytes; the temporary name must fit beside any
# legal one, so the output's name is shortened to leave room for the two
# dots around it, eight random characters and ".part".
_NAME_MAX = 255
_TEMP_EXTRA = len("..") + 8 + len(".part")


def temporary_prefix(name: str) -> str:
    raw = name.encode("utf-8", "surrogateescape")[: _NAME_MAX - _TEMP_EXTRA]
    return "." + raw.decode("utf-8", "ignore") + "."


def _anonymous_file(parent: Path):
    """A file with no name until it is linked into place (Linux O_TMPFILE):
    nothing is left behind even by SIGKILL.  None where unsupported."""
    flag = getattr(os, "O_TMPFILE", None)
    if flag is None or not os.path.isdir("/proc/self/fd"):
        return None
    try:
        return os.open(parent, flag | os.O_RDWR, 0o666 & ~_umask())
    except OSError:
        return None


def _link_anonymous(fd: int, name: Path) -> None:
    # linkat(AT_SYMLINK_FOLLOW) on the /proc link names the anonymous file.
    # os.link calls plain link(), which would link the symlink itself,
    # unless a directory descriptor is given; "/" is a harmless one.
    root = os.open("/", os.O_RDONLY)
    try:
        os.link(f"/proc/self/fd/{fd}", name, src_dir_fd=root, follow_symlinks=True)
    finally:
        os.close(root)


def _publish_anonymous(fd: int, path: Path, force: bool) -> None:
    if not force:
        try:
            _link_anonymous(fd, path)
        except FileExistsError:
            raise OutputError(f"{path} already exists (use --force to overwrite)") from None
        return
    # link() never replaces, so give the data a name beside the target first
    # and rename that over it: the target is never absent or half written.
    parent = path.parent if str(path.parent) else Path(".")
    for _ in range(100):
        temp = parent / (temporary_prefix(path.name) + os.urandom(4).hex() + ".part")
        try:
            _link_anonymous(fd, temp)
            break
        except FileExistsError:
            continue
    else:  # pragma: no cover - a hundred collisions of 32 random bits
        raise OutputError(f"cannot find a free temporary name beside {path}")
    try:
        os.replace(temp, path)
    finally:
        if os.path.lexists(temp):
            os.unlink(temp)


def _check_not_stopped(path: Path) -> None:
    # A worker thread finishing a file after the user asked to stop leaves
    # it unnamed, so it vanishes with the process.
    if stop_request.requested.is_set():
        raise OutputError(f"{path} not written: interrupted")


def atomic_write(path: str | os.PathLike, write: Callable[[BinaryIO], None], *,
                 force: bool = False) -> None:
    """Write through ``write(fileobj)`` into a file beside ``path`` and give
    it the name ``path`` only once it is complete.

    On Linux the file is anonymous until then, so an interrupt, SIGTERM or
    even SIGKILL leaves nothing behind; elsewhere (or where linking an
    anonymous file is refused) it is a hidden ``.part`` file removed on every
    exit Python sees.  Without ``force`` an existing destination is never
    replaced; the final step uses a hard link, which fails atomically if the
    name was taken in the meantime.  An existing device or FIFO is written
    in place and a symlink is written through (output_placement.py)."""
    from .output_placement import placement, write_in_place

    place = placement(path)
    if place.in_place:
        # A device or FIFO: renaming a file over it would replace the node.
        buffer = BytesIO()
        write(buffer)
        write_in_place(place, buffer.getvalue())
        return
    path = place.path  # a symlink is written through, never replaced
    parent = path.parent if str(path.parent) else Path(".")
    if not parent.is_dir():
        raise OutputError(f"output folder does not exist: {parent}")
    if not force and os.path.lexists(path):
        raise OutputError(f"{place.named()} already exists (use --force to overwrite)")
    fd = _anonymous_file(parent)
    if fd is None:
        _write_through_named_file(path, parent, write, force)
        return
    try:
        with os.fdopen(fd, "w+b") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
            _check_not_stopped(path)
            try:
                _publish_anonymous(f.fileno(), path, force)
            except (FileExistsError, OutputError):
                raise
            except OSError:
                f.seek(0)
                _write_through_named_file(path, parent, lambda out: shutil.copyfileobj(f, out),
                                          force)
    except OutputError:
        raise
    except OSError as exc:
        raise OutputError(f"cannot write {path}: {_reason(exc)}") from None


def _write_through_named_file(path: Path, parent: Path, write, force: bool) -> None:
    try:
        fd, tmp = tempfile.mkstemp(dir=parent, prefix=temporary_prefix(path.name), suffix=".part")
    except OSError as exc:
        raise OutputError(f"cannot write in {parent}: {_reason(exc)}") from None
    try:
        os.chmod(tmp, 0o666 & ~_umask())
        # Readable too: a writer that streams may read back what it wrote.
        with os.fdopen(fd, "w+b") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        _check_not_stopped(path)
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


def check_writable_folder(path: str | os.PathLike) -> None:
    """Fail now, not after the long work, if ``path`` cannot be written:
    its folder must exist and take a new file (permissions, read-only
    filesystems and full disks all show in this one probe)."""
    path = Path(path)
    parent = path.parent if str(path.parent) else Path(".")
    if not parent.is_dir():
        raise OutputError(f"output folder does not exist: {parent}")
    try:
        with tempfile.TemporaryFile(dir=parent):
            pass
    except OSError as exc:
        raise OutputError(f"cannot write in {parent}: {_reason(exc)}") from None


def write_signal(path: str | os.PathLike, samples: np.ndarray | list[np.ndarray],
                 meta: dict[str, Any], *, force: bool = False) -> list[Path]:
    """Write a signal in the format its suffix names; ``-`` is standard output."""
    from .formats.output import write_recording

    return write_recording(path, Signal(samples, meta), force=force)


def write_bytes(path: str | os.PathLike, data: bytes, *, force: bool = False) -> None:
    atomic_write(path, lambda f: f.write(data), force=force)
