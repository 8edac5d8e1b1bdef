"""The one signal that bench and demo work on: a channel of a file, or the
built-in ECG."""
from __future__ import annotations

from typing import Optional

import numpy as np

from .._core import ToolError
from ..recordings import read_signal


def load_channel(path: Optional[str], channel: int) -> tuple[np.ndarray, str, Optional[int]]:
    """(samples, label, sample rate or None) of one channel of a file, or of
    the built-in ECG when no file is given."""
    if path is None:
        from ..demo import DEMO_RATE, ecg
        return ecg(), "built-in ECG (30 s at 360 Hz)", DEMO_RATE
    try:
        signal = read_signal(path)
    except ToolError as exc:
        raise ToolError(f"{path}: {exc}") from None
    if not 0 <= channel < signal.channels:
        raise ToolError(f"{path}: no channel {channel} (the file has {signal.channels})")
    label = f"{path}" + (f" channel {channel}" if signal.channels > 1 else "")
    info = signal.meta.get("channel_info")
    rate = signal.meta.get("samplerate")
    if isinstance(info, list) and channel < len(info) and info[channel].get("samplerate"):
        rate = info[channel]["samplerate"]
    return np.ascontiguousarray(signal.channel(channel)), label, rate
