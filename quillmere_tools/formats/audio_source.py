"""WAV, FLAC and AIFF read a run of frames at a time through libsndfile,
as float64 like the whole-file reader (audio.py), with its metadata."""
from __future__ import annotations

from pathlib import Path
from typing import Any, Optional

import numpy as np

from ..channel_sources import READ_BYTES, ChannelSource
from ..extras import require
from ..io import InputError, _reason
from .audio import _CONTAINERS, _pcm_bits


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
        per_read = max(1, READ_BYTES // (8 * self.channels))
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
            raise InputError(f"not a readable {self._kind.upper()} file ({_reason(exc)})") from None
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
