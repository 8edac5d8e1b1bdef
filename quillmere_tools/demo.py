"""The built-in example: a synthetic electrocardiogram, generated rather than
shipped so the package carries no data files and every run is identical."""
from __future__ import annotations

import numpy as np

DEMO_RATE = 360  # Hz, a common ECG sampling rate


def ecg(seconds: float = 30.0, rate: int = DEMO_RATE, seed: int = 7) -> np.ndarray:
    """A plausible ECG in millivolts: P-QRS-T beats modelled as Gaussian
    bumps, with heart-rate variability, baseline wander, mains hum and
    sensor noise.  Sharp QRS complexes next to slow waves are what makes
    this a fair test for a wavelet coder."""
    rng = np.random.default_rng(seed)
    n = int(seconds * rate)
    t = np.arange(n) / rate
    x = np.zeros(n)
    # (offset from R peak in s, width in s, amplitude in mV)
    waves = [(-0.20, 0.025, 0.12), (-0.035, 0.010, -0.10), (0.0, 0.011, 1.10),
             (0.035, 0.010, -0.25), (0.25, 0.045, 0.30)]
    beat = 0.4
    while beat < seconds:
        rr = 60.0 / (72.0 + 4.0 * np.sin(2 * np.pi * 0.1 * beat) + rng.normal(0.0, 1.5))
        amp = 1.0 + rng.normal(0.0, 0.03)
        for off, width, a in waves:
            x += amp * a * np.exp(-0.5 * ((t - beat - off) / width) ** 2)
        beat += rr
    x += 0.15 * np.sin(2 * np.pi * 0.25 * t + 0.3) + 0.05 * np.sin(2 * np.pi * 0.05 * t)
    x += 0.01 * np.sin(2 * np.pi * 50.0 * t)
    x += rng.normal(0.0, 0.008, n)
    return x
