"""Reading and writing signal files (.npy, .wav, .csv) and compressed files.

Readers turn every problem into a one-line ``InputError``; writers go through
``atomic_write`` so that a failure or an interrupt never leaves a
half-written file at the destination.
"""
from __future__ import annotations

import csv
import io as _io
import os
import shutil
import tempfile
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, BinaryIO

import numpy as np

from ._core import ToolError
from .extras import require

SIGNAL_SUFFIXES = (".npy", ".wav", ".csv")
COMPRESSED_SUFFIX = ".qlm"


class InputError(ToolError):
    pass


class OutputError(ToolError):
    pass


@dataclass
class Signal:
    """Samples as a (frames, channels) array plus what is needed to write the
    file back in its original form."""

    samples: np.ndarray
    meta: dict[str, Any] = field(default_factory=dict)

    @property
    def channels(self) -> int:
        return self.samples.shape[1]

    @property
    def frames(self) -> int:
        return self.samples.shape[0]


# ---------------------------------------------------------------- readers

def _check_numeric(arr: np.ndarray, what: str) -> None:
    if arr.dtype.kind not in "fiu":
        raise InputError(f"{what} holds non-numeric data (dtype {arr.dtype})")


def read_npy(path: Path) -> Signal:
    with open(path, "rb") as f:
        if f.read(6) != b"\x93NUMPY":
            raise InputError("not a .npy file (no NumPy header)")
    try:
        arr = np.load(path, allow_pickle=False)
    except ValueError as exc:
        if "pickle" in str(exc).lower() or "object" in str(exc).lower():
            raise InputError("the .npy file holds Python objects, not numbers") from None
        raise InputError(f"not a readable .npy file ({exc})") from None
    except (OSError, EOFError) as exc:
        raise InputError(f"not a readable .npy file ({_reason(exc)})") from None
    if not isinstance(arr, np.ndarray):
        raise InputError("not a .npy array file")
    _check_numeric(arr, "the array")
    if arr.ndim != 1:
        raise InputError(f"expected a 1-D array, got shape {arr.shape}")
    if arr.size == 0:
        raise InputError("the array is empty")
    meta = {"format": "npy", "dtype": arr.dtype.str}
    return Signal(arr.reshape(-1, 1), meta)


def read_wav(path: Path) -> Signal:
    soundfile = require("soundfile")

    try:
        info = soundfile.info(str(path))
        data, rate = soundfile.read(str(path), dtype="float64", always_2d=True)
    except (RuntimeError, OSError, ValueError) as exc:
        raise InputError(f"not a readable WAV file ({_reason(exc)})") from None
    if data.shape[0] == 0:
        raise InputError("the WAV file holds no samples")
    meta = {"format": "wav", "samplerate": int(rate), "subtype": info.subtype,
            "channels": int(data.shape[1])}
    return Signal(data, meta)


def read_csv(path: Path) -> Signal:
    try:
        text = path.read_text(encoding="utf-8")
    except UnicodeDecodeError:
        raise InputError("not a text CSV file") from None
    except OSError as exc:
        raise InputError(_reason(exc)) from None
    rows = list(csv.reader(_io.StringIO(text)))
    # A leading line that is not a number is taken as the column name and kept.
    header = None
    first = next((i for i, r in enumerate(rows) if any(c.strip() for c in r)), None)
    if first is None:
        raise InputError("the CSV file holds no samples")
    values: list[float] = []
    for lineno, row in enumerate(rows, start=1):
        cells = [c.strip() for c in row]
        if not any(cells):
            continue
        if len(cells) != 1:
            raise InputError(f"line {lineno}: expected a single column, found {len(cells)}")
        try:
            values.append(float(cells[0]))
        except ValueError:
            if lineno - 1 == first and header is None and not values:
                header = cells[0]
                continue
            raise InputError(f"line {lineno}: not a number: {cells[0][:40]!r}") from None
    if not values:
        raise InputError("the CSV file holds no samples")
    meta: dict[str, Any] = {"format": "csv"}
    if header is not None:
        meta["header"] = header
    return Signal(np.asarray(values, dtype=np.float64).reshape(-1, 1), meta)


_READERS = {".npy": read_npy, ".wav": read_wav, ".csv": read_csv}


def read_signal(path: str | os.PathLike) -> Signal:
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix not in _READERS:
        raise InputError(
            f"unsupported file type '{path.suffix or '(none)'}' (expected .npy, .wav or .csv)")
    if not path.exists():
        raise InputError("no such file")
    if path.is_dir():
        raise InputError("is a folder, not a file")
    if path.stat().st_size == 0:
        raise InputError("the file is empty")
    return _READERS[suffix](path)


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


def atomic_write(path: str | os.PathLike, write: Callable[[BinaryIO], None], *,
                 force: bool = False) -> None:
    """Write through ``write(fileobj)`` into a file beside ``path`` and give
    it the name ``path`` only once it is complete.

    On Linux the file is anonymous until then, so an interrupt, SIGTERM or
    even SIGKILL leaves nothing behind; elsewhere (or where linking an
    anonymous file is refused) it is a hidden ``.part`` file removed on every
    exit Python sees.  Without ``force`` an existing destination is never
    replaced; the final step uses a hard link, which fails atomically if the
    name was taken in the meantime."""
    path = Path(path)
    parent = path.parent if str(path.parent) else Path(".")
    if not parent.is_dir():
        raise OutputError(f"output folder does not exist: {parent}")
    if path.is_dir():
        raise OutputError(f"{path} is a folder")
    if not force and os.path.lexists(path):
        raise OutputError(f"{path} already exists (use --force to overwrite)")
    fd = _anonymous_file(parent)
    if fd is None:
        _write_through_named_file(path, parent, write, force)
        return
    try:
        with os.fdopen(fd, "w+b") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
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


def _restore_dtype(samples: np.ndarray, dtype: str | None) -> np.ndarray:
    if not dtype:
        return samples
    dt = np.dtype(dtype)
    if dt.kind in "iu":
        info = np.iinfo(dt)
        return np.clip(np.rint(samples), info.min, info.max).astype(dt)
    return samples.astype(dt)


_PCM_BITS = {"PCM_U8": 8, "PCM_S8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32}


def encode_signal(samples: np.ndarray, meta: dict[str, Any], fmt: str) -> bytes:
    """Serialise (frames, channels) samples as a .npy/.wav/.csv file body."""
    buf = _io.BytesIO()
    if fmt == "npy":
        out = samples[:, 0] if samples.shape[1] == 1 else samples
        if meta.get("format") == "npy":
            out = _restore_dtype(out, meta.get("dtype"))
        np.save(buf, np.ascontiguousarray(out), allow_pickle=False)
    elif fmt == "wav":
        soundfile = require("soundfile")

        subtype = meta.get("subtype") if meta.get("format") == "wav" else None
        subtype = subtype or "FLOAT"
        data = samples.astype(np.float64)
        bits = _PCM_BITS.get(subtype)
        if bits:
            # Reconstruction error can push full-scale samples just past the
            # integer range; clip instead of letting the writer wrap around.
            data = np.clip(data, -1.0, 1.0 - 2.0 ** (1 - bits))
        rate = int(meta.get("samplerate") or 0)
        if rate <= 0:
            raise OutputError("a WAV file needs a positive sample rate")
        soundfile.write(buf, data, rate, subtype=subtype, format="WAV")
    elif fmt == "csv":
        if samples.shape[1] != 1:
            raise OutputError(f"a CSV file holds one column, this signal has {samples.shape[1]} channels")
        text = _io.StringIO()
        if meta.get("header"):
            # Quoted when it holds a comma, a quote or a line break, so it
            # reads back as the one column it was.
            csv.writer(text, lineterminator="\n").writerow([str(meta["header"])])
        text.writelines(f"{v:.9g}\n" for v in samples[:, 0].astype(np.float64))
        buf.write(text.getvalue().encode("utf-8"))
    else:
        raise OutputError(f"unsupported output type '.{fmt}' (expected .npy, .wav or .csv)")
    return buf.getvalue()


def write_signal(path: str | os.PathLike, samples: np.ndarray, meta: dict[str, Any], *,
                 force: bool = False) -> None:
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix not in SIGNAL_SUFFIXES:
        raise OutputError(
            f"unsupported output type '{path.suffix or '(none)'}' (expected .npy, .wav or .csv)")
    body = encode_signal(samples, meta, suffix[1:])
    atomic_write(path, lambda f: f.write(body), force=force)


def write_bytes(path: str | os.PathLike, data: bytes, *, force: bool = False) -> None:
    atomic_write(path, lambda f: f.write(data), force=force)
