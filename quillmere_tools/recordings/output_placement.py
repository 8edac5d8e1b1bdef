"""What an output name already is, and so how it is written.

Most outputs are new or regular files: they are written under a temporary
name and renamed into place.  A rename would replace anything else at that
name with a regular file, so other kinds are handled by what they are:

* a character device or a FIFO (``/dev/null``, ``mkfifo out``) holds no
  file contents to protect, and replacing its node is never what was meant:
  the bytes are written into it in place;
* a symbolic link is written through: the file it points at is the output,
  replaced like any regular file, and the link stays.  A link to nothing is
  refused, because following it would create a file at a place the user
  may never have looked at;
* a folder, block device or socket is refused.
"""
from __future__ import annotations

import os
import stat
from dataclasses import dataclass
from pathlib import Path

from .. import stop_request
from .signal import OutputError


@dataclass(frozen=True)
class Placement:
    path: Path         # where the bytes go (the link's target for a symlink)
    in_place: bool     # open and write; no temporary file, no rename
    link: Path | None  # the symlink the user named, when there was one

    def named(self) -> str:
        """The output as a message should name it."""
        if self.link is None:
            return str(self.path)
        return f"{self.link} (a link to {self.path})"


def _kind(mode: int) -> str:
    if stat.S_ISBLK(mode):
        return "block device"
    if stat.S_ISSOCK(mode):
        return "socket"
    return "special file"


def placement(path: str | os.PathLike) -> Placement:
    """How ``path`` is to be written, or OutputError when it cannot be."""
    path = Path(path)
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return Placement(path, False, None)
    except OSError as exc:
        raise OutputError(f"cannot write {path}: {(exc.strerror or str(exc)).lower()}") from None
    link = None
    if stat.S_ISLNK(st.st_mode):
        link = path
        try:
            st = os.stat(path)
        except OSError:
            raise OutputError(f"{path} is a symbolic link to {os.readlink(path)}, which does not "
                              "exist; not followed (name the real output with -o)") from None
        if stat.S_ISREG(st.st_mode):
            return Placement(Path(os.path.realpath(path)), False, link)
    if stat.S_ISREG(st.st_mode):
        return Placement(path, False, None)
    if stat.S_ISDIR(st.st_mode):
        raise OutputError(f"{path} is a folder")
    if stat.S_ISCHR(st.st_mode) or stat.S_ISFIFO(st.st_mode):
        return Placement(path, True, link)
    raise OutputError(f"{path} is a {_kind(st.st_mode)}; refusing to write to it")


def is_in_place(path: str | os.PathLike) -> bool:
    """True for an existing device or FIFO (which needs no free folder)."""
    try:
        return placement(path).in_place
    except OutputError:
        return False


def write_in_place(place: Placement, data: bytes) -> None:
    """Write ``data`` into an existing device or FIFO as it stands; a FIFO
    waits for its reader, as any writer of one does."""
    if stop_request.requested.is_set():
        raise OutputError(f"{place.named()} not written: interrupted")
    try:
        fd = os.open(place.path, os.O_WRONLY | os.O_NOCTTY | getattr(os, "O_CLOEXEC", 0))
    except OSError as exc:
        raise OutputError(f"cannot write {place.named()}: "
                          f"{(exc.strerror or str(exc)).lower()}") from None
    try:
        view = memoryview(data)
        while view:
            written = os.write(fd, view)
            view = view[written:]
    except OSError as exc:
        raise OutputError(f"cannot write {place.named()}: "
                          f"{(exc.strerror or str(exc)).lower()}") from None
    finally:
        os.close(fd)
