"""WFDB records (a ``.hea`` header beside its ``.dat`` signal files) through
the ``wfdb`` package (the ``wfdb`` extra).

Compress names the header file; decompress writes a header and signal files
of its own name. Samples are the physical values ``(code - baseline) / gain``
of the stored codes, rounded back to codes on writing (see ``grid``), so
gains, baselines, storage formats, units, names, comments and the start time
survive. Multi-frequency records keep each channel's rate (``fs`` times its
samples per frame)."""
from __future__ import annotations

import os
from pathlib import Path
from typing import Any

import numpy as np

from .signal import InputError, OutputError, Signal, reason_text
from . import grid, library

# Bits per stored code of each WFDB storage format.
_BITS = {"8": 8, "80": 8, "16": 16, "61": 16, "160": 16, "212": 12, "310": 10, "311": 10,
         "24": 24, "32": 32, "508": 8, "516": 16, "524": 24}
# An uncalibrated channel (gain 0) is read with the library's default gain.
_DEFAULT_GAIN = 200.0


def _lib(err=InputError):
    return library("wfdb", err)


def read(path: Path) -> Signal:
    wfdb = _lib()
    record = str(path.with_suffix(""))
    try:
        r = wfdb.rdrecord(record, physical=False, smooth_frames=False)
    except Exception as exc:  # the library raises anything from ValueError to struct.error
        raise InputError(f"not a readable WFDB record ({type(exc).__name__}: {reason_text(exc)})") from None
    if not r.n_sig or r.e_d_signal is None:
        raise InputError("the WFDB record holds no signals")
    spf = list(r.samps_per_frame or [1] * r.n_sig)
    channels, info = [], []
    for i, codes in enumerate(r.e_d_signal):
        gain = float(r.adc_gain[i]) or _DEFAULT_GAIN
        baseline = int(r.baseline[i])
        want = int(r.sig_len) * int(spf[i])
        if codes.size != want:
            raise InputError(f"truncated WFDB record: signal {i} has {codes.size} of {want} samples")
        channels.append((codes.astype(np.float64) - baseline) / gain)
        info.append({"label": r.sig_name[i], "unit": r.units[i],
                     "samplerate": float(r.fs) * int(spf[i]), "samps_per_frame": int(spf[i]),
                     "adc_gain": float(r.adc_gain[i]), "baseline": baseline, "fmt": str(r.fmt[i]),
                     "adc_res": int(r.adc_res[i] or 0), "adc_zero": int(r.adc_zero[i] or 0),
                     "quantum": 1.0 / gain})
    if any(c.size == 0 for c in channels):
        raise InputError("the WFDB record holds no samples")
    meta: dict[str, Any] = {"format": "wfdb", "wfdb_fs": float(r.fs), "channel_info": info,
                            "comments": list(r.comments or [])}
    if float(r.fs).is_integer():
        meta["samplerate"] = int(r.fs)
    if r.base_time is not None:
        meta["base_time"] = r.base_time.isoformat()
    if r.base_date is not None:
        meta["base_date"] = r.base_date.isoformat()
    sig = Signal(channels, meta)
    files = {path} | {path.with_name(f) for f in (r.file_name or []) if f}
    sig.source_bytes = sum(f.stat().st_size for f in files if f.is_file())
    return sig


def _codes(ci: dict[str, Any], y: np.ndarray) -> np.ndarray:
    gain = float(ci["adc_gain"]) or _DEFAULT_GAIN
    bits = _BITS.get(ci["fmt"], 16)
    return grid.to_codes(y, -int(ci["baseline"]) / gain, 1.0 / gain,
                         -(2 ** (bits - 1)), 2 ** (bits - 1) - 1)


def stored_values(meta: dict[str, Any], channel: int, y: np.ndarray) -> np.ndarray:
    """What the wfdb package reads back (physical units) from the record
    ``write`` makes of ``y``."""
    ci = meta["channel_info"][channel]
    gain = float(ci["adc_gain"]) or _DEFAULT_GAIN
    return (_codes(ci, y).astype(np.float64) - int(ci["baseline"])) / gain


def write(folder: Path, name: str, signal: Signal) -> list[str]:
    import datetime as _dt

    wfdb = _lib(OutputError)
    meta = signal.meta
    if meta.get("format") != "wfdb" or not isinstance(meta.get("channel_info"), list):
        raise OutputError("WFDB output is only written for signals that came from a WFDB record")
    info = meta["channel_info"]
    codes, fmts = [], []
    for i, ci in enumerate(info):
        codes.append(_codes(ci, signal.channel(i)))
        fmts.append(ci["fmt"])
    spf = [int(ci.get("samps_per_frame", 1)) for ci in info]
    kwargs: dict[str, Any] = dict(
        fs=float(meta.get("wfdb_fs") or meta.get("samplerate") or 0), units=[ci["unit"] for ci in info],
        sig_name=[ci["label"] for ci in info], fmt=fmts,
        adc_gain=[float(ci["adc_gain"]) for ci in info], baseline=[int(ci["baseline"]) for ci in info],
        comments=list(meta.get("comments") or []) or None, write_dir=str(folder))
    if meta.get("base_time"):
        kwargs["base_time"] = _dt.time.fromisoformat(meta["base_time"])
    if meta.get("base_date"):
        kwargs["base_date"] = _dt.date.fromisoformat(meta["base_date"])
    if any(s != 1 for s in spf):
        kwargs["e_d_signal"] = [c.astype(np.int64) for c in codes]
        kwargs["samps_per_frame"] = spf
    else:
        kwargs["d_signal"] = np.stack(codes, axis=1).astype(np.int64)
    before = set(os.listdir(folder))
    try:
        wfdb.wrsamp(name[: -len(".hea")] if name.lower().endswith(".hea") else name, **kwargs)
    except Exception as exc:  # as on reading, the library's errors come in many types
        raise OutputError(f"cannot write WFDB record ({type(exc).__name__}: {reason_text(exc)})") from None
    return sorted(set(os.listdir(folder)) - before)
