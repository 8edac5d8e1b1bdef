"""Signals for the comparison bench, all loaded or generated at run time.

Real signals come from files that Debian and PyPI packages ship (nothing is
downloaded here; bench/install_peers.sh installs the packages):

* speech: the channel-test WAVs of alsa-utils (/usr/share/sounds/alsa) and the
  read speech (LibriVox excerpts) of pocketsphinx-testdata;
* physiological: the membrane-potential trace of matplotlib's sample data;
* noise: alsa-utils' Noise.wav (not speech, kept apart from the speech rows);
* synthetic: a seeded chirp with 1 % noise and a seeded random walk, the long
  one being there for throughput.

Every loader returns float32, the codec's working precision; 16-bit PCM is
scaled by 1/32768 as audio tools do.
"""

from __future__ import annotations

import glob
import os
import subprocess
import wave
from dataclasses import dataclass, field
from typing import Callable, Iterable, List, Optional

import numpy as np

ALSA_DIR = "/usr/share/sounds/alsa"
POCKETSPHINX_PACKAGE = "pocketsphinx-testdata"

KIND_SPEECH = "speech"
KIND_PHYSIO = "physiological"
KIND_NOISE = "noise"
KIND_SYNTHETIC = "synthetic"


@dataclass
class Signal:
    name: str
    kind: str
    source: str
    _load: Callable[[], np.ndarray] = field(repr=False)
    # Throughput-only signals are long; the bench searches fewer settings on them.
    throughput_only: bool = False
    _cache: Optional[np.ndarray] = field(default=None, repr=False)

    def load(self) -> np.ndarray:
        if self._cache is None:
            x = np.ascontiguousarray(self._load(), dtype=np.float32)
            if x.ndim != 1 or x.size == 0:
                raise ValueError(f"{self.name}: expected a non-empty 1-D signal")
            self._cache = x
        return self._cache


def read_pcm16_wav(path: str) -> np.ndarray:
    """First channel of a 16-bit PCM WAV file, scaled into [-1, 1)."""
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2:
            raise ValueError(f"{path}: only 16-bit PCM is read, got {8 * w.getsampwidth()} bits")
        channels = w.getnchannels()
        frames = w.readframes(w.getnframes())
    pcm = np.frombuffer(frames, dtype="<i2")
    if channels > 1:
        pcm = pcm[::channels]
    return pcm.astype(np.float32) / np.float32(32768.0)


def package_files(package: str) -> List[str]:
    """Files a Debian package installed, from dpkg's own list."""
    try:
        out = subprocess.run(["dpkg", "-L", package], check=True, capture_output=True, text=True)
    except (OSError, subprocess.CalledProcessError):
        return []
    return [p for p in out.stdout.splitlines() if os.path.isfile(p)]


def _stem(path: str) -> str:
    return os.path.splitext(os.path.basename(path))[0]


def alsa_signals() -> List[Signal]:
    out = []
    for path in sorted(glob.glob(os.path.join(ALSA_DIR, "*.wav"))):
        stem = _stem(path)
        kind = KIND_NOISE if stem.lower() == "noise" else KIND_SPEECH
        out.append(Signal(f"alsa/{stem}", kind, path, lambda p=path: read_pcm16_wav(p)))
    return out


def pocketsphinx_signals() -> List[Signal]:
    """The LibriVox excerpts: a narrator reading a novel aloud."""
    wavs = sorted(p for p in package_files(POCKETSPHINX_PACKAGE)
                  if p.endswith(".wav") and "/librivox/" in p)
    out = []
    for path in wavs:
        # "sense_and_sensibility_01_austen_64kb-0870" -> "librivox-0870"
        tag = _stem(path).rsplit("-", 1)[-1]
        out.append(Signal(f"sphinx/librivox-{tag}", KIND_SPEECH, path,
                          lambda p=path: read_pcm16_wav(p)))
    return out


def membrane_signal() -> List[Signal]:
    try:
        from matplotlib import cbook
        path = cbook.get_sample_data("membrane.dat", asfileobj=False)
    except Exception:
        return []
    path = os.fspath(path)
    return [Signal("mpl/membrane", KIND_PHYSIO, path,
                   lambda: np.fromfile(path, dtype="<f4"))]


def chirp(n: int = 1_000_000, seed: int = 20240607) -> np.ndarray:
    """Linear chirp from 5 to 2000 cycles per 10^4 samples, plus white noise at
    1 % of the amplitude."""
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=np.float64) / 10_000.0
    f0, f1 = 5.0, 2000.0
    k = (f1 - f0) / t[-1]
    x = np.sin(2.0 * np.pi * (f0 * t + 0.5 * k * t * t))
    x += 0.01 * rng.standard_normal(n)
    return x.astype(np.float32)


def random_walk(n: int = 10_000_000, seed: int = 20240608) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return np.cumsum(rng.standard_normal(n, dtype=np.float32), dtype=np.float32)


def synthetic_signals() -> List[Signal]:
    return [
        Signal("synth/chirp-1e6", KIND_SYNTHETIC, "generated, seed 20240607", chirp),
        Signal("synth/walk-1e7", KIND_SYNTHETIC, "generated, seed 20240608", random_walk,
               throughput_only=True),
    ]


def all_signals() -> List[Signal]:
    return alsa_signals() + pocketsphinx_signals() + membrane_signal() + synthetic_signals()


def select(signals: Iterable[Signal], patterns: Optional[List[str]]) -> List[Signal]:
    """Signals whose name contains any of the patterns (all when none given)."""
    signals = list(signals)
    if not patterns:
        return signals
    return [s for s in signals if any(p in s.name for p in patterns)]


if __name__ == "__main__":
    for s in all_signals():
        x = s.load()
        print(f"{s.name:28s} {s.kind:13s} n={x.size:9d} range={float(x.max() - x.min()):.4g}  {s.source}")
