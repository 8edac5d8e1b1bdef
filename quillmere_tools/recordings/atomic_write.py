"""The one way the tools write a file: ``atomic_write`` gives the output
its name only once it is complete, so a failure or an interrupt never
leaves a half-written file at the destination.
"""
from __future__ import annotations

import os
import shutil
import tempfile
from io import BytesIO
from pathlib import Path
from typing import BinaryIO, Callable

from .. import stop_request
from .output_placement import placement, write_in_place
from .signal import OutputError, already_exists, reason_text

def current_umask() -> int:
    """The process umask (read by setting it, so set back at once)."""
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
        return os.open(parent, flag | os.O_RDWR, 0o666 & ~current_umask())
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
            raise already_exists(path) from None
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
        raise already_exists(place.named())
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
        raise OutputError(f"cannot write {path}: {reason_text(exc)}") from None


def _write_through_named_file(path: Path, parent: Path, write, force: bool) -> None:
    try:
        fd, tmp = tempfile.mkstemp(dir=parent, prefix=temporary_prefix(path.name), suffix=".part")
    except OSError as exc:
        raise OutputError(f"cannot write in {parent}: {reason_text(exc)}") from None
    try:
        os.chmod(tmp, 0o666 & ~current_umask())
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
                raise already_exists(path) from None
            except OSError:
                # Filesystems without hard links: fall back to a checked rename.
                if os.path.lexists(path):
                    raise already_exists(path) from None
                os.replace(tmp, path)
    except OSError as exc:
        raise OutputError(f"cannot write {path}: {reason_text(exc)}") from None
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
        raise OutputError(f"cannot write in {parent}: {reason_text(exc)}") from None


def write_bytes(path: str | os.PathLike, data: bytes, *, force: bool = False) -> None:
    atomic_write(path, lambda f: f.write(data), force=force)
