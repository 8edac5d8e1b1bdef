"""EDF/EDF+ and BDF/BDF+ recordings through pyedflib (the ``edf`` extra).

Each channel keeps its own sample rate, so the channels of one recording
may have different lengths. Samples are the physical values of the stored
integer codes, computed as pyedflib computes them, so the values checked on
compression are the ones a user reads; writing rounds back to codes with
the channel's own physical/digital ranges (``stored_values`` says what a
reader then gets), keeps labels, units, transducer and
prefilter texts, the patient/recording header and the annotations. A long
recording is also read a run of whole data records at a time
(``EdfSource``), with the whole-file reader's metadata."""
from __future__ import annotations

import datetime as _dt
import warnings
from pathlib import Path
from typing import Any, Optional

import numpy as np

from .signal import InputError, OutputError, Signal, reason_text
from .channel_source import ChannelSource
from . import common_rate, edf_annotations, library

_HEADER_TEXTS = ("technician", "recording_additional", "patientname", "patient_additional",
                 "patientcode", "equipment", "admincode", "sex", "birthdate")
_CHANNEL_TEXTS = ("transducer", "prefilter")


def _lib(err=InputError):
    return library("pyedflib", err)


def _scale(h: dict[str, Any]) -> tuple[float, float]:
    """(step, offset) with physical = step * (offset + code): the library's
    own arithmetic, so that both sides of a comparison agree to the bit."""
    pmin, pmax = float(h["physical_min"]), float(h["physical_max"])
    dmin, dmax = int(h["digital_min"]), int(h["digital_max"])
    if dmax <= dmin or pmax == pmin:
        raise InputError(f"channel {h.get('label', '?')!r}: degenerate physical or digital range")
    step = (pmax - pmin) / (dmax - dmin)
    return step, pmax / step - dmax


def _physical(h: dict[str, Any], codes: np.ndarray) -> np.ndarray:
    step, offset = _scale(h)
    return step * (offset + codes.astype(np.float64))


def _codes(h: dict[str, Any], y: np.ndarray) -> np.ndarray:
    """Nearest digital codes of physical values, clipped to the channel's range
    (the reconstruction may overshoot a full-scale sample slightly)."""
    step, offset = _scale(h)
    codes = np.rint(np.asarray(y, dtype=np.float64) / step - offset)
    return np.clip(codes, int(h["digital_min"]), int(h["digital_max"])).astype(np.int64)


def stored_values(meta: dict[str, Any], channel: int, y: np.ndarray) -> np.ndarray:
    """What pyedflib reads back from the file ``write`` makes of ``y``."""
    h = meta["channel_info"][channel]
    return _physical(h, _codes(h, y))


def open_reader(path: Path):
    """pyedflib's reader of ``path`` and its signal headers, or InputError."""
    pyedflib = _lib()
    try:
        r = pyedflib.EdfReader(str(path))
    except (OSError, ValueError, RuntimeError) as exc:
        raise InputError(f"not a readable EDF/BDF file ({reason_text(exc)})") from None
    headers = r.getSignalHeaders()
    if not headers:
        r.close()
        raise InputError("the EDF/BDF file holds no signals")
    return r, headers


def read_codes(r, i: int, start: int = 0, count: Optional[int] = None) -> np.ndarray:
    """Digital codes ``start`` to ``start + count`` (the rest, by default)
    of channel ``i``; a file that holds fewer is named truncated."""
    total = r.getNSamples()[i]
    want = total - start if count is None else count
    codes = r.readSignal(i, start, want, digital=True) if count is not None or start \
        else r.readSignal(i, digital=True)
    if codes.size != want:
        raise InputError(f"truncated EDF/BDF file: channel {i} has {start + codes.size} of "
                         f"{total} samples")
    return codes


def recording_meta(r, headers: list[dict[str, Any]]) -> dict[str, Any]:
    """The metadata a recording keeps: per channel, its header fields and
    code step; for the file, its type, record length, header texts and
    annotations."""
    pyedflib = _lib()
    info = []
    for h in headers:
        step, _ = _scale(h)
        info.append({"label": h["label"], "unit": h["dimension"],
                     "samplerate": float(h["sample_frequency"]),
                     "physical_min": float(h["physical_min"]),
                     "physical_max": float(h["physical_max"]),
                     "digital_min": int(h["digital_min"]), "digital_max": int(h["digital_max"]),
                     "transducer": h.get("transducer", ""), "prefilter": h.get("prefilter", ""),
                     "quantum": step})
    head = r.getHeader()
    onsets, durations, texts = r.readAnnotations()
    return {
        "format": "bdf" if r.filetype in (pyedflib.FILETYPE_BDF, pyedflib.FILETYPE_BDFPLUS) else "edf",
        "edf_filetype": int(r.filetype),
        "record_duration": float(r.datarecord_duration),
        "startdate": head["startdate"].isoformat() if head.get("startdate") else None,
        "edf_header": {k: str(head.get(k, "")) for k in _HEADER_TEXTS},
        "annotations": [[float(o), float(d), str(t)] for o, d, t in zip(onsets, durations, texts)],
        "channel_info": info,
    }


def read(path: Path) -> Signal:
    r, headers = open_reader(path)
    try:
        channels = [_physical(h, read_codes(r, i)) for i, h in enumerate(headers)]
        meta = recording_meta(r, headers)
    finally:
        r.close()
    if any(c.size == 0 for c in channels):
        raise InputError("the EDF/BDF file holds no samples")
    return Signal(channels, meta)


def _headers_for(signal: Signal, bdf: bool) -> list[dict[str, Any]]:
    """Signal headers: the recording's own, or made up for a signal that came
    from another format (full code range over the channel's own span)."""
    meta = signal.meta
    if meta.get("format") in ("edf", "bdf") and isinstance(meta.get("channel_info"), list):
        return [{"label": ci["label"], "dimension": ci["unit"], "sample_frequency": ci["samplerate"],
                 "physical_min": ci["physical_min"], "physical_max": ci["physical_max"],
                 "digital_min": ci["digital_min"], "digital_max": ci["digital_max"],
                 "transducer": ci.get("transducer", ""), "prefilter": ci.get("prefilter", "")}
                for ci in meta["channel_info"]]
    rate = common_rate(meta)
    if not rate:
        raise OutputError("an EDF/BDF file needs a sample rate (give --samplerate)")
    info = meta.get("channel_info") if isinstance(meta.get("channel_info"), list) else []
    top = 2 ** 23 if bdf else 2 ** 15
    out = []
    for i in range(signal.channels):
        x = signal.channel(i)
        lo, hi = float(np.min(x)), float(np.max(x))
        if hi == lo:
            lo, hi = lo - 1.0, hi + 1.0
        ci = info[i] if i < len(info) else {}
        out.append({"label": str(ci.get("label") or f"ch{i}")[:16], "dimension": str(ci.get("unit", "")),
                    "sample_frequency": float(ci.get("samplerate") or rate),
                    "physical_min": lo, "physical_max": hi,
                    "digital_min": -top, "digital_max": top - 1, "transducer": "", "prefilter": ""})
    return out


def write(folder: Path, name: str, signal: Signal) -> list[str]:
    pyedflib = _lib(OutputError)
    meta = signal.meta
    bdf = name.lower().endswith(".bdf")
    filetype = meta.get("edf_filetype")
    if not isinstance(filetype, int) or (filetype in (2, 3)) != bdf:
        filetype = pyedflib.FILETYPE_BDFPLUS if bdf else pyedflib.FILETYPE_EDFPLUS
    headers = _headers_for(signal, bdf)
    codes = []
    for i, h in enumerate(headers):
        codes.append(_codes(h, signal.channel(i)).astype(np.int32))
    w = None
    try:
        w = pyedflib.EdfWriter(str(folder / name), len(headers), file_type=filetype)
        source = meta.get("edf_header")
        if isinstance(source, dict):
            header: dict[str, Any] = {k: str(source.get(k, "")) for k in _HEADER_TEXTS}
            header["startdate"] = (_dt.datetime.fromisoformat(meta["startdate"])
                                   if meta.get("startdate") else w.recording_start_time)
            w.setHeader(header)
        duration = float(meta.get("record_duration") or 1.0)
        if duration != 1.0:
            with warnings.catch_warnings():
                # The recording's own duration: the rates it gives are the ones read.
                warnings.simplefilter("ignore", UserWarning)
                w.setDatarecordDuration(duration)
        w.setSignalHeaders(headers)
        w.writeSamples(codes, digital=True)
        for onset, duration, text in meta.get("annotations") or []:
            w.writeAnnotation(onset, duration, text)
    except (OSError, ValueError, RuntimeError, TypeError, KeyError) as exc:
        raise OutputError(f"cannot write EDF/BDF: {reason_text(exc)}") from None
    finally:
        if w is not None:
            w.close()
    notes = meta.get("annotations") or []
    if notes:
        # The library rounds annotation times to 100 us on writing.
        try:
            edf_annotations.restore_times(folder / name, notes)
        except OSError as exc:
            raise OutputError(f"cannot write EDF/BDF annotations: {reason_text(exc)}") from None
    return [name]


# ---------------------------------------------------------------- a run at a time

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


def open_source(path: Path, kind: str) -> Optional[EdfSource]:
    return open_edf(path)
