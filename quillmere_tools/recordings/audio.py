"""Audio files through libsndfile: WAV, FLAC, OGG (Vorbis, Opus) and AIFF.

Integer (PCM) encodings are written from integer codes rounded from the
reconstruction; ``stored_values`` says what a reader of the rewritten file
gets back, so that compression can check its bounds there. A PCM source
written to another container keeps its sample width where the container
has it (a 16-bit FLAC becomes a 16-bit WAV). Lossy encodings (Vorbis, Opus)
add their own error on writing; a bound holds for the decompressed samples,
not for what the lossy encoder makes of them. A long WAV, FLAC or AIFF is
also read a run of frames at a time (``AudioSource``), as float64 like the
whole-file reader, with its metadata."""
from __future__ import annotations

import re
from pathlib import Path
from typing import Any, Iterable, Optional

import numpy as np

from .._core import require
from .signal import InputError, OutputError, Signal, reason_text
from . import channel_source
from .channel_source import ChannelSource
from . import common_rate, grid

_CONTAINERS = {"wav": "WAV", "flac": "FLAC", "ogg": "OGG", "aiff": "AIFF"}
_DEFAULT_SUBTYPE = {"wav": "FLOAT", "flac": "PCM_24", "ogg": "VORBIS", "aiff": "FLOAT"}
_PCM = re.compile(r"^PCM_(U8|S8|16|24|32)$")


def _pcm_bits(subtype: str | None) -> int | None:
    m = _PCM.match(subtype or "")
    if not m:
        return None
    return 8 if m.group(1) in ("U8", "S8") else int(m.group(1))


# PCM subtypes by width, in the order tried for a container that lacks the first.
_PCM_BY_BITS = {8: ("PCM_S8", "PCM_U8"), 16: ("PCM_16",), 24: ("PCM_24",), 32: ("PCM_32",)}


def _positive_rate(meta: dict, kind: str) -> int:
    """The whole sample rate an audio file of ``kind`` is written at."""
    rate = int(round(common_rate(meta) or 0))
    if rate <= 0:
        raise OutputError(f"{'a WAV' if kind == 'wav' else 'an ' + kind.upper()} file needs a "
                          "positive sample rate (give --samplerate)")
    return rate


def _subtype_for(meta: dict[str, Any], kind: str) -> str:
    """The source's own encoding in its own container; the source's PCM width
    in another container that has it; otherwise the container's default."""
    source = meta.get("subtype")
    if meta.get("format") == kind and source:
        return source
    bits = _pcm_bits(source) if meta.get("format") in _CONTAINERS else None
    if bits:
        soundfile = require("soundfile")
        for candidate in _PCM_BY_BITS[bits]:
            if soundfile.check_format(_CONTAINERS[kind], candidate):
                return candidate
    return _DEFAULT_SUBTYPE[kind]


def _codes(y: np.ndarray, bits: int) -> np.ndarray:
    # Reconstruction error can push full-scale samples just past the
    # integer range; clip instead of letting the writer wrap around.
    top = 2 ** (bits - 1)
    return grid.to_codes(y, 0.0, 1.0 / top, -top, top - 1)


def stored_values(meta: dict[str, Any], channel: int, y: np.ndarray) -> np.ndarray:
    """What libsndfile reads (as float64) from the file ``write`` makes of
    reconstruction ``y`` in the source's own format."""
    subtype = _subtype_for(meta, meta["format"])
    bits = _pcm_bits(subtype)
    if bits:
        return _codes(y, bits) / float(2 ** (bits - 1))
    if subtype == "FLOAT":
        return np.asarray(y, dtype=np.float32).astype(np.float64)
    # DOUBLE is exact; lossy encodings are outside what can be checked here.
    return np.asarray(y, dtype=np.float64)


def _kind(path: Path) -> str:
    from . import FORMATS

    return FORMATS[path.suffix.lower()].name


def read(path: Path) -> Signal:
    soundfile = require("soundfile")

    kind = _kind(path)
    try:
        info = soundfile.info(str(path))
        data, rate = soundfile.read(str(path), dtype="float64", always_2d=True)
    except (RuntimeError, OSError, ValueError, TypeError) as exc:
        raise InputError(f"not a readable {kind.upper()} file ({reason_text(exc)})") from None
    if info.format != _CONTAINERS[kind]:
        raise InputError(f"the file holds {info.format} audio, not {kind.upper()}")
    if data.shape[0] == 0:
        raise InputError(f"the {kind.upper()} file holds no samples")
    if info.frames > 0 and data.shape[0] != info.frames and kind != "ogg":
        raise InputError(f"truncated {kind.upper()} file: {data.shape[0]} of "
                         f"{info.frames} frames readable")
    meta: dict[str, Any] = {"format": kind, "samplerate": int(rate), "subtype": info.subtype,
                            "channels": int(data.shape[1])}
    bits = _pcm_bits(info.subtype)
    if bits:
        meta["channel_info"] = [{"quantum": 2.0 ** (1 - bits)} for _ in range(data.shape[1])]
    return Signal(data, meta)


def write(folder: Path, name: str, signal: Signal) -> list[str]:
    soundfile = require("soundfile")

    kind = _kind(folder / name)
    if signal.ragged:
        raise OutputError(f"{kind.upper()} needs channels of equal length; "
                          "these run at different rates (choose another --format)")
    meta = signal.meta
    subtype = _subtype_for(meta, kind)
    rate = _positive_rate(meta, kind)
    bits = _pcm_bits(subtype)
    if bits:
        data = (_codes(signal.samples, bits) << (32 - bits)).astype(np.int32)
    else:
        data = signal.samples.astype(np.float64)
    try:
        soundfile.write(str(folder / name), data, rate, subtype=subtype, format=_CONTAINERS[kind])
    except (RuntimeError, ValueError, TypeError) as exc:
        raise OutputError(f"cannot write {kind.upper()} ({subtype}): {reason_text(exc)}") from None
    return [name]


# ---------------------------------------------------------------- a run at a time

class AudioSource(ChannelSource):
    def __init__(self, path: Path, kind: str, handle, info):
        self._file = handle
        self._kind = kind
        channels = int(info.channels)
        self.lengths = [int(info.frames)] * channels
        self.meta: dict[str, Any] = {"format": kind, "samplerate": int(info.samplerate),
                                     "subtype": info.subtype, "channels": channels}
        bits = _pcm_bits(info.subtype)
        if bits:
            self.meta["channel_info"] = [{"quantum": 2.0 ** (1 - bits)} for _ in range(channels)]
        self.source_bytes = path.stat().st_size

    def read(self, channel: int, start: int, stop: int) -> np.ndarray:
        out = np.empty(stop - start, dtype=np.float64)
        per_read = max(1, channel_source.READ_BYTES // (8 * self.channels))
        try:
            self._file.seek(start)
            for at in range(start, stop, per_read):
                n = min(per_read, stop - at)
                frames = self._file.read(n, dtype="float64", always_2d=True)
                if frames.shape[0] != n:
                    raise InputError(f"truncated {self._kind.upper()} file: {at + frames.shape[0]} "
                                     f"of {self.lengths[0]} frames readable")
                out[at - start:at - start + n] = frames[:, channel]
        except (RuntimeError, OSError, ValueError, TypeError) as exc:
            raise InputError(f"not a readable {self._kind.upper()} file ({reason_text(exc)})") from None
        return out

    def close(self) -> None:
        self._file.close()


def open_audio(path: Path, kind: str) -> Optional[AudioSource]:
    """A piecewise reader, or None for anything the whole-file reader should
    look at (unreadable, another container, no frames)."""
    soundfile = require("soundfile")
    try:
        handle = soundfile.SoundFile(str(path))
    except (RuntimeError, OSError, ValueError, TypeError):
        return None
    if handle.format != _CONTAINERS[kind] or handle.frames <= 0 or not handle.seekable():
        handle.close()
        return None
    return AudioSource(path, kind, handle, handle)


def open_source(path: Path, kind: str) -> Optional[AudioSource]:
    """WAV, FLAC or AIFF read a run of frames at a time; Ogg is read whole."""
    return open_audio(path, kind) if kind in ("wav", "flac", "aiff") else None


def write_frames(path, kind: str, meta: dict[str, Any], channels: int,
                 frames: Iterable[np.ndarray]) -> None:
    """The WAV, FLAC or AIFF file (a path or a writable, seekable file) of
    ``frames``, each a (rows, channels) batch in order, written through
    libsndfile a batch at a time: the bytes ``write`` makes of the whole."""
    soundfile = require("soundfile")
    subtype = _subtype_for(meta, kind)
    rate = _positive_rate(meta, kind)
    bits = _pcm_bits(subtype)
    try:
        with soundfile.SoundFile(path, "w", rate, channels, subtype, format=_CONTAINERS[kind]) as sink:
            for frame in frames:
                if bits:
                    sink.write((_codes(frame, bits) << (32 - bits)).astype(np.int32))
                else:
                    sink.write(frame.astype(np.float64))
    except (RuntimeError, ValueError, TypeError) as exc:
        raise OutputError(f"cannot write {kind.upper()} ({subtype}): {reason_text(exc)}") from None
