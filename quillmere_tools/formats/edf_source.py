"""EDF/BDF read a run of a channel's samples at a time (whole data records
through pyedflib), with the metadata of the whole-file reader (edf.py)."""
from __future__ import annotations

from pathlib import Path
from typing import Optional

import numpy as np

from ..channel_sources import ChannelSource
from ..io import InputError
from .edf import _physical, open_reader, read_codes, recording_meta


class EdfSource(ChannelSource):
    def __init__(self, path: Path, reader, headers):
        self._reader = reader
        self._headers = headers
        self.meta = recording_meta(reader, headers)
        self.lengths = [int(n) for n in reader.getNSamples()]
        self.source_bytes = path.stat().st_size

    def read(self, channel: int, start: int, stop: int) -> np.ndarray:
        codes = read_codes(self._reader, channel, start, stop - start)
        return _physical(self._headers[channel], codes)

    def close(self) -> None:
        self._reader.close()


def open_edf(path: Path) -> Optional[EdfSource]:
    """A piecewise reader, or None for a file the whole-file reader should
    word the trouble with."""
    try:
        reader, headers = open_reader(path)
    except InputError:
        return None
    try:
        source = EdfSource(path, reader, headers)
    except (InputError, OSError, ValueError, RuntimeError):
        reader.close()
        return None
    if 0 in source.lengths:
        source.close()
        return None
    return source
