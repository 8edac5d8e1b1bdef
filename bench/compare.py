#!/usr/bin/env python3
"""Quillmere against the codecs people use instead, on the same signals, in
one process.

    python3 bench/compare.py                  # installs what is missing, then runs
    python3 bench/compare.py --plot rd.png    # plus rate-distortion curves

Every lossy codec is swept over its own quality knob on every signal; the
(normalised RMSE, ratio) points of the sweep that no other point beats form
its frontier, and the ratio at a target error is interpolated log-log between
the two frontier points around the target (never extrapolated). The setting
of those two nearest the target is the one timed, and its error is the
"achieved" error in the tables. Normalised RMSE is RMSE / (max - min) of the
original signal. Throughput is MB/s (10^6 bytes) of float32 input, the median
of five timed batches after one warm-up call; a batch repeats the call until
it lasts 20 ms, so that millisecond calls are not lost in timer noise.

For Quillmere the search covers method x coder x quantiser: scale 6..12 with
each cutoff, and quant_multiplier with scale 6 (no dead zone) or scale 12
(dead zone 3); the other dead zones with a free multiplier (thresholds 2,
6, 7, 9, 14 and 21) were tried and never moved the frontier. Peers: zfpy
fixed-accuracy, pysz (SZ3) absolute error bound, PyWavelets bior4.4 +
int16 + zlib-6, numcodecs BitRound + Blosc(zstd, 5, bit-shuffle, one
thread) and Quantize + Zlib(6), pcodec (lossless reference) and a plain
copy of the input as the ceiling.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import json
import math
import os
import platform
import statistics
import struct
import subprocess
import sys
import time
import zlib
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import signals as sigs  # noqa: E402

TARGETS = (1e-3, 1e-4)
REQUIRED_MODULES = ("zfpy", "pysz", "pywt", "numcodecs", "pcodec", "quillmere")


# --------------------------------------------------------------------------
# Set-up


def _import_numcodecs():
    # numcodecs' optional zfpy shim parses zfpy's version as dotted integers
    # and dies on "1.0.1.post0" at import time. The bench calls zfpy itself,
    # so the shim is switched off rather than letting it break the import.
    sys.modules.setdefault("numcodecs.zfpy", None)
    return importlib.import_module("numcodecs")


def _missing_modules(names: Sequence[str]) -> List[str]:
    missing = []
    for name in names:
        try:
            if name == "numcodecs":
                _import_numcodecs()
            else:
                importlib.import_module(name)
        except Exception:
            missing.append(name)
    return missing


def ensure_installed(want_plot: bool, allow_install: bool) -> None:
    names = list(REQUIRED_MODULES) + (["matplotlib"] if want_plot else [])
    data_missing = not os.path.isdir(sigs.ALSA_DIR) or not sigs.package_files(
        sigs.POCKETSPHINX_PACKAGE)
    missing = _missing_modules(names)
    if not missing and not data_missing:
        return
    if not allow_install:
        sys.exit(f"missing: {missing or ''} {'signal packages' if data_missing else ''}; "
                 f"run bench/install_peers.sh")
    print(f"# installing what is missing: {missing} {'+ signal packages' if data_missing else ''}",
          file=sys.stderr)
    env = dict(os.environ, PYTHON=sys.executable)
    subprocess.run(["bash", os.path.join(HERE, "install_peers.sh")], check=True, env=env)
    importlib.invalidate_caches()
    still = _missing_modules(names)
    if still:
        sys.exit(f"still missing after install: {still}")


# --------------------------------------------------------------------------
# Codecs. Each one maps a setting to bytes and back; the bytes are everything
# a reader needs besides the element count and dtype, which every container
# format here either stores or is told.


@dataclass
class Family:
    """One curve of a codec: settings that differ in a single quality knob,
    ordered from coarse to fine."""
    label: str
    settings: List[Any]


class Codec:
    name = "?"
    lossless = False

    def families(self, x: np.ndarray, sig: sigs.Signal) -> List[Family]:
        raise NotImplementedError

    def encode(self, x: np.ndarray, s: Any):
        raise NotImplementedError

    def decode(self, blob, s: Any, n: int) -> np.ndarray:
        raise NotImplementedError

    def describe(self, s: Any) -> str:
        return str(s)

    def error_key(self, s: Any) -> Any:
        """Settings with the same key decode to the same samples, so one
        decode serves them all; None means always decode."""
        return None

    @staticmethod
    def nbytes(blob) -> int:
        return blob.nbytes if isinstance(blob, np.ndarray) else len(blob)


def _range(x: np.ndarray) -> float:
    r = float(x.max()) - float(x.min())
    return r if r > 0 else 1.0


class Copy(Codec):
    name = "memcpy"
    lossless = True

    def families(self, x, sig):
        return [Family("copy", [None])]

    def encode(self, x, s):
        return x.copy()

    def decode(self, blob, s, n):
        return blob.copy()

    def describe(self, s):
        return "copy"


class Pcodec(Codec):
    name = "pcodec"
    lossless = True

    def __init__(self):
        from pcodec import ChunkConfig, standalone
        self._cfg = ChunkConfig()
        self._std = standalone

    def families(self, x, sig):
        return [Family("default", [None])]

    def encode(self, x, s):
        return self._std.simple_compress(x, self._cfg)

    def decode(self, blob, s, n):
        return self._std.simple_decompress(blob)

    def describe(self, s):
        return "level 8"


class Zfp(Codec):
    name = "zfpy"

    def __init__(self):
        import zfpy
        self._z = zfpy

    def families(self, x, sig):
        r = _range(x)
        # Fixed accuracy rounds the tolerance down to a power of two, so a
        # finer grid would only repeat points.
        return [Family("accuracy", [r * 2.0 ** -j for j in range(2, 26)])]

    def encode(self, x, tol):
        return self._z.compress_numpy(x, tolerance=tol)

    def decode(self, blob, tol, n):
        return self._z.decompress_numpy(blob)

    def describe(self, tol):
        return f"tolerance={tol:.3g}"


class Sz3(Codec):
    name = "pysz"

    def __init__(self):
        from pysz import sz, szConfig, szErrorBoundMode
        self._sz, self._Config, self._mode = sz, szConfig, szErrorBoundMode

    def families(self, x, sig):
        r = _range(x)
        return [Family("abs", [r * 2.0 ** (-j / 2) for j in range(4, 52)])]

    def encode(self, x, eb):
        conf = self._Config(x.size)
        conf.errorBoundMode = self._mode.ABS
        conf.absErrorBound = eb
        blob, _ = self._sz.compress(x, conf)
        return blob

    def decode(self, blob, eb, n):
        y, _ = self._sz.decompress(blob, np.float32, (n,))
        return y

    def describe(self, eb):
        return f"abs={eb:.3g}"


class PywtInt16Zlib(Codec):
    """What a user writes by hand: normalise, CDF 9/7 (bior4.4) with
    periodisation (exactly n coefficients), one multiplier, round to int16,
    zlib level 6. A 20-byte header carries offset, range, multiplier, length
    and levels."""
    name = "pywt+int16+zlib"
    _HEADER = struct.Struct("<fffIi")

    def __init__(self):
        import pywt
        self._pywt = pywt

    def families(self, x, sig):
        return [Family("multiplier", [2.0 ** (j / 2) for j in range(8, 34)])]

    def _levels(self, n):
        return max(1, min(8, self._pywt.dwt_max_level(n, "bior4.4")))

    def encode(self, x, m):
        pywt = self._pywt
        lo = float(x.min())
        r = float(x.max()) - lo
        r = r if r > 0 else 1.0
        xn = (x - np.float32(lo)) / np.float32(r)
        mean = float(xn.mean())
        xn -= np.float32(mean)
        levels = self._levels(x.size)
        coeffs = pywt.wavedec(xn, "bior4.4", mode="periodization", level=levels)
        flat = np.concatenate(coeffs)
        q = np.clip(np.rint(flat * np.float32(m)), -32768, 32767).astype("<i2")
        head = self._HEADER.pack(lo + mean * r, r, m, x.size, levels)
        return head + zlib.compress(q.tobytes(), 6)

    def decode(self, blob, m, n):
        pywt = self._pywt
        offset, r, m, n, levels = self._HEADER.unpack_from(blob)
        q = np.frombuffer(zlib.decompress(blob[self._HEADER.size:]), dtype="<i2")
        flat = q.astype(np.float32) * np.float32(1.0 / m)
        # Band lengths of a periodised decomposition: ceil(n / 2^k) per level.
        lengths, length = [], n
        for _ in range(levels):
            length = (length + 1) // 2
            lengths.append(length)
        sizes = [lengths[-1]] + lengths[::-1]
        coeffs, pos = [], 0
        for size in sizes:
            coeffs.append(flat[pos:pos + size])
            pos += size
        y = pywt.waverec(coeffs, "bior4.4", mode="periodization")[:n]
        return (y * np.float32(r) + np.float32(offset)).astype(np.float32)

    def describe(self, m):
        return f"m={m:.4g}"


class BitRoundBlosc(Codec):
    name = "BitRound+Blosc"

    def __init__(self):
        nc = _import_numcodecs()
        from numcodecs import Blosc, BitRound
        # One thread: Quillmere runs on the calling thread, and the machine
        # has two cores shared with other work.
        nc.blosc.set_nthreads(1)
        self._blosc = Blosc(cname="zstd", clevel=5, shuffle=Blosc.BITSHUFFLE)
        self._round = {k: BitRound(keepbits=k) for k in range(0, 24)}

    def families(self, x, sig):
        return [Family("keepbits", list(range(0, 24)))]

    def encode(self, x, k):
        return self._blosc.encode(self._round[k].encode(x))

    def decode(self, blob, k, n):
        return np.frombuffer(self._blosc.decode(blob), dtype=np.float32)

    def describe(self, k):
        return f"keepbits={k}"


class QuantizeZlib(Codec):
    name = "Quantize+Zlib"

    def __init__(self):
        _import_numcodecs()
        from numcodecs import Quantize, Zlib
        self._Quantize = Quantize
        self._zlib = Zlib(level=6)
        self._q: Dict[int, Any] = {}

    def families(self, x, sig):
        # Quantize rounds to 10^-digits; centre the decades on the signal's range.
        top = int(math.floor(-math.log10(_range(x))))
        return [Family("digits", list(range(top, top + 9)))]

    def _quant(self, d):
        if d not in self._q:
            self._q[d] = self._Quantize(digits=d, dtype="<f4")
        return self._q[d]

    def encode(self, x, d):
        return self._zlib.encode(self._quant(d).encode(x))

    def decode(self, blob, d, n):
        return np.frombuffer(self._zlib.decode(blob), dtype="<f4")

    def describe(self, d):
        return f"digits={d}"


@dataclass(frozen=True)
class QSetting:
    method: str = "cdf97"
    coder: Optional[str] = None
    scale: int = 11
    cutoff: str = "low"
    quant_multiplier: Optional[float] = None

    def options(self, qm):
        return qm.CompressionOptions(method=self.method, scale=self.scale, cutoff=self.cutoff,
                                     coder=self.coder, quant_multiplier=self.quant_multiplier)


class Quillmere(Codec):
    name = "quillmere"
    METHODS = ("cdf53", "cdf97", "db4", "sym4")
    CODERS = ("deflate", "arans", "cmodel")
    # quant_multiplier grid: 2^4 .. 2^15 in half octaves (beyond, the 16-bit
    # coefficients saturate on any signal).
    MULTIPLIERS = [2.0 ** (j / 2) for j in range(8, 31)]

    def __init__(self):
        import quillmere
        self._q = quillmere
        self._opts: Dict[QSetting, Any] = {}

    def families(self, x, sig):
        fams = []
        if sig.throughput_only:
            # Ten million samples: the default wavelet and coder only.
            combos = [("cdf97", "cmodel")]
        else:
            combos = [(m, c) for m in self.METHODS for c in self.CODERS]
        for method, coder in combos:
            for cutoff in ("low", "medium", "high"):
                fams.append(Family(f"{method}/{coder}/scale/{cutoff}",
                                   [QSetting(method, coder, s, cutoff) for s in range(6, 13)]))
            fams.append(Family(f"{method}/{coder}/qm/dz0",
                               [QSetting(method, coder, 6, "low", m) for m in self.MULTIPLIERS]))
            if not sig.throughput_only:
                fams.append(Family(f"{method}/{coder}/qm/dz3",
                                   [QSetting(method, coder, 12, "low", m)
                                    for m in self.MULTIPLIERS]))
        return fams

    def _options(self, s: QSetting):
        if s not in self._opts:
            self._opts[s] = s.options(self._q)
        return self._opts[s]

    def encode(self, x, s):
        if s is None:
            return self._q.compress_signal(x)
        return self._q.compress_signal(x, self._options(s))

    def decode(self, blob, s, n):
        return self._q.decompress_signal(blob)

    def error_key(self, s):
        # The coder is lossless: it changes the size, never the samples.
        return None if s is None else (s.method, s.scale, s.cutoff, s.quant_multiplier)

    def describe(self, s):
        if s is None:
            return "defaults"
        q = f"qm={s.quant_multiplier:.4g} s{s.scale}" if s.quant_multiplier else \
            f"scale={s.scale} {s.cutoff}"
        return f"{s.method}/{s.coder} {q}"


PEERS: List[Callable[[], Codec]] = [Zfp, Sz3, PywtInt16Zlib, BitRoundBlosc, QuantizeZlib,
                                    Pcodec, Copy]


# --------------------------------------------------------------------------
# Measurement


def nrmse(x: np.ndarray, y: np.ndarray) -> float:
    if y.shape != x.shape:
        raise ValueError(f"decoded shape {y.shape} != input shape {x.shape}")
    d = y.astype(np.float64) - x.astype(np.float64)
    return math.sqrt(float(np.mean(d * d))) / _range(x)


@dataclass
class Point:
    family: str
    setting: Any
    err: float
    ratio: float
    nbytes: int


def sweep(codec: Codec, x: np.ndarray, sig: sigs.Signal) -> List[Point]:
    points = []
    raw = x.nbytes
    known: Dict[Any, float] = {}
    for fam in codec.families(x, sig):
        # Long signals get every other setting: the bracket around a target
        # is then twice as wide, the interpolation still between real points.
        long_signal = sig.throughput_only or x.size >= 500_000
        settings = fam.settings[::2] if long_signal and len(fam.settings) > 8 else fam.settings
        for s in settings:
            key = codec.error_key(s)
            try:
                blob = codec.encode(x, s)
                if key is not None and key in known:
                    err = known[key]
                else:
                    err = nrmse(x, codec.decode(blob, s, x.size))
                    if key is not None:
                        known[key] = err
            except Exception as exc:  # a peer refusing a setting is not fatal
                print(f"#   {codec.name} {codec.describe(s)}: {exc!r}", file=sys.stderr)
                continue
            n = codec.nbytes(blob)
            points.append(Point(fam.label, s, err, raw / n, n))
    return points


def frontier(points: Sequence[Point]) -> List[Point]:
    """Points that no other point beats on both error and ratio, by error."""
    out: List[Point] = []
    for p in sorted((p for p in points if p.err > 0 and math.isfinite(p.err)),
                    key=lambda p: (p.err, -p.ratio)):
        if not out or p.ratio > out[-1].ratio:
            out.append(p)
    return out


def at_target(front: Sequence[Point], target: float) -> Optional[Tuple[float, Point]]:
    """Ratio interpolated log-log at the target error, and the frontier point
    nearest to it; None when the frontier does not straddle the target."""
    for lo, hi in zip(front, front[1:]):
        if lo.err <= target <= hi.err:
            la, lb = math.log(lo.err), math.log(hi.err)
            t = 0.0 if lb == la else (math.log(target) - la) / (lb - la)
            ratio = math.exp(math.log(lo.ratio) + t * (math.log(hi.ratio) - math.log(lo.ratio)))
            near = lo if abs(math.log(target) - la) <= abs(lb - math.log(target)) else hi
            return ratio, near
    if front and any(abs(math.log(p.err / target)) < 1e-12 for p in front):
        p = next(p for p in front if abs(math.log(p.err / target)) < 1e-12)
        return p.ratio, p
    return None


def best_at_target(points: Sequence[Point], target: float) -> Optional[Tuple[float, Point]]:
    """Best interpolated ratio over the codec's families (each family is one
    knob; mixing knobs of different families along one curve would invent
    settings that do not exist)."""
    best = None
    by_family: Dict[str, List[Point]] = {}
    for p in points:
        by_family.setdefault(p.family, []).append(p)
    for fam_points in by_family.values():
        hit = at_target(frontier(fam_points), target)
        if hit and (best is None or hit[0] > best[0]):
            best = hit
    return best


def nearest_point(points: Sequence[Point], target: float) -> Optional[Point]:
    """The swept point closest to the target error, for matching another codec."""
    pts = [p for p in points if p.err > 0]
    if not pts:
        return None
    return min(pts, key=lambda p: abs(math.log(p.err / target)))


CLOCKS = {"cpu": time.thread_time, "wall": time.perf_counter}
CLOCK = time.thread_time


def time_call(fn: Callable[[], Any], repeats: int = 5, min_batch: float = 0.02) -> float:
    """Median seconds per call: one warm-up call, then `repeats` batches."""
    t0 = CLOCK()
    fn()
    first = CLOCK() - t0
    per_batch = max(1, int(math.ceil(min_batch / max(first, 1e-6))))
    samples = []
    for _ in range(repeats):
        t0 = CLOCK()
        for _ in range(per_batch):
            fn()
        samples.append((CLOCK() - t0) / per_batch)
    return statistics.median(samples)


def throughput(codec: Codec, x: np.ndarray, s: Any, repeats: int) -> Tuple[float, float]:
    blob = codec.encode(x, s)
    n = x.size
    gc.collect()
    tc = time_call(lambda: codec.encode(x, s), repeats)
    td = time_call(lambda: codec.decode(blob, s, n), repeats)
    mb = x.nbytes / 1e6
    return mb / tc, mb / td


@dataclass
class Row:
    signal: str
    kind: str
    codec: str
    target: Optional[float]
    setting: str = ""
    err: float = float("nan")
    ratio: float = float("nan")
    comp_mbs: float = float("nan")
    decomp_mbs: float = float("nan")
    note: str = ""


@dataclass
class SignalResult:
    name: str
    kind: str
    n: int
    rows: List[Row] = field(default_factory=list)
    fronts: Dict[str, List[Tuple[float, float]]] = field(default_factory=dict)
    default: Optional[Row] = None
    zfp_matched: Optional[Row] = None


def run_signal(sig: sigs.Signal, codecs: List[Codec], repeats: int, log) -> SignalResult:
    x = sig.load()
    res = SignalResult(sig.name, sig.kind, x.size)
    t_sig = time.perf_counter()
    zfp_points: List[Point] = []
    for codec in codecs:
        t0 = time.perf_counter()
        pts = sweep(codec, x, sig)
        if codec.name == "zfpy":
            zfp_points = pts
        log(f"#   {sig.name}: {codec.name}: {len(pts)} settings in {time.perf_counter() - t0:.1f} s")
        if codec.lossless:
            p = pts[0]
            c, d = throughput(codec, x, p.setting, repeats)
            res.rows.append(Row(sig.name, sig.kind, codec.name, None, codec.describe(p.setting),
                                nrmse(x, codec.decode(codec.encode(x, p.setting), p.setting,
                                                      x.size)), p.ratio, c, d))
            continue
        # For the plot: the frontier over all of the codec's families.
        res.fronts[codec.name] = [(p.err, p.ratio) for p in frontier(pts)]
        for target in TARGETS:
            hit = best_at_target(pts, target)
            if hit is None:
                near = nearest_point(pts, target)
                res.rows.append(Row(sig.name, sig.kind, codec.name, target,
                                    codec.describe(near.setting) if near else "",
                                    near.err if near else float("nan"),
                                    note="target out of reach"))
                continue
            ratio, near = hit
            c, d = throughput(codec, x, near.setting, repeats)
            res.rows.append(Row(sig.name, sig.kind, codec.name, target,
                                codec.describe(near.setting), near.err, ratio, c, d))
        if codec.name == "quillmere":
            blob = codec.encode(x, None)
            err = nrmse(x, codec.decode(blob, None, x.size))
            c, d = throughput(codec, x, None, repeats)
            res.default = Row(sig.name, sig.kind, "quillmere default", err, "defaults", err,
                              x.nbytes / len(blob), c, d)
    if res.default is not None and zfp_points:
        zfp = next(c for c in codecs if c.name == "zfpy")
        tgt = res.default.err
        hit = best_at_target(zfp_points, tgt)
        near = hit[1] if hit else nearest_point(zfp_points, tgt)
        c, d = throughput(zfp, x, near.setting, repeats)
        res.zfp_matched = Row(sig.name, sig.kind, "zfpy matched", tgt, zfp.describe(near.setting),
                              near.err, hit[0] if hit else near.ratio, c, d)
    log(f"# {sig.name} done in {time.perf_counter() - t_sig:.1f} s")
    return res


# --------------------------------------------------------------------------
# Memory: peak resident growth of one call, in a fresh interpreter.

MEM_CHILD = r"""
import gc, json, sys, numpy as np
sys.path.insert(0, {here!r})
import signals, quillmere

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)

x = [s for s in signals.all_signals() if s.name == {name!r}][0].load().copy()
signals = None
mode = {mode!r}
if mode == "decompress":
    blob = quillmere.compress_signal(x)
    n_out = x.nbytes
    del x
    gc.collect()
    arg = blob
    fn = quillmere.decompress_signal
else:
    arg = x
    fn = quillmere.compress_signal
fn(arg)  # warm-up: lazily created module state is not the call's memory
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # reset the peak-RSS mark to the current RSS
base = status("VmRSS")
out = fn(arg)
peak = status("VmHWM")
in_bytes = len(arg) if isinstance(arg, bytes) else arg.nbytes
out_bytes = len(out) if isinstance(out, bytes) else out.nbytes
print(json.dumps(dict(mode=mode, base=base, peak=peak, extra=peak - base,
                      in_bytes=in_bytes, out_bytes=out_bytes)))
"""


def measure_memory(signal_name: str, mode: str) -> Dict[str, Any]:
    code = MEM_CHILD.format(here=HERE, name=signal_name, mode=mode)
    # A fixed mmap threshold stops glibc from raising it after the first big
    # free; every large buffer is then mapped fresh and returned on free, so
    # resident growth follows the call's live buffers.
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="131072")
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True,
                         env=env)
    return json.loads(out.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------
# Reporting


def fmt(v: float, pattern: str) -> str:
    return "–" if v is None or not math.isfinite(v) else format(v, pattern)


def machine_line() -> str:
    cpu = platform.processor() or "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            kb = int(f.readline().split()[1])
            mem = f", {kb / 2**20:.0f} GiB RAM"
    except (OSError, ValueError, IndexError):
        pass
    import numpy
    vers = [f"Python {platform.python_version()}", f"numpy {numpy.__version__}"]
    for mod, dist in (("zfpy", "zfpy"), ("pysz", "pysz"), ("pywt", "PyWavelets"),
                      ("numcodecs", "numcodecs"), ("pcodec", "pcodec")):
        try:
            from importlib.metadata import version
            vers.append(f"{dist} {version(dist)}")
        except Exception:
            pass
    return f"{cpu}, {os.cpu_count()} cores{mem}, {platform.system()} {platform.release()}; " + \
        ", ".join(vers)


def checkout_line() -> str:
    def git(*a):
        return subprocess.run(["git", "-C", HERE, *a], capture_output=True, text=True,
                              check=False).stdout.strip()
    head = git("rev-parse", "--short", "HEAD") or "?"
    dirty = " (with local changes)" if git("status", "--porcelain", "--untracked-files=no") else ""
    try:
        import quillmere
        where = os.path.basename(quillmere.__file__)
    except Exception:
        where = "not importable"
    return f"{head}{dirty}, module {where}"


MARKDOWN_INTRO = """## Performance

Quillmere and the codecs people use instead, run side by side on the same
signals in one process by `bench/compare.py`. Every lossy codec is swept over
its quality knob per signal; the ratio is interpolated log-log to normalised
RMSE (RMSE / range) 1e-3 and 1e-4 between the two settings around the target,
and the setting nearest the target is the one timed (its error is the
"achieved NRMSE"). Quillmere's best setting is searched over method x coder x
(scale 6..12 with each cutoff, or `quant_multiplier` with scale 6, no dead
zone, or scale 12, dead zone 3). Peers: zfpy fixed accuracy, pysz (SZ3)
absolute bound, PyWavelets bior4.4 + int16 + zlib-6 by hand, numcodecs
BitRound + Blosc(zstd, bit-shuffle, one thread) and Quantize + Zlib-6, pcodec
as a lossless reference, a memory copy as the ceiling. Throughput is MB/s
(10^6 bytes) of float32 input, median of five batches after a warm-up.
Speech: alsa-utils' channel WAVs and pocketsphinx-testdata's LibriVox
excerpts; physiological: matplotlib's membrane.dat; synthetic: a seeded
10^6-sample chirp with 1 % noise and a 10^7-sample random walk. Peak extra
memory is the growth of VmHWM over VmRSS across one call in a fresh
interpreter. Reproduce with (installs the Debian signal packages and the
peers when missing):

```sh
pip install . && python3 bench/compare.py --plot docs/compare-rd.png
```

"""


def ratio_table(results: List[SignalResult], target: float, codec_names: List[str]) -> List[str]:
    lossy = [c for c in codec_names if c not in ("pcodec", "memcpy")]
    peers = [c for c in lossy if c != "quillmere"]
    head = ["signal", "kind"] + lossy + ["pcodec (lossless)", "best lossy peer",
                                          "quillmere / best peer"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in results:
        by = {row.codec: row for row in r.rows if row.target in (target, None)}
        cells = [r.name, r.kind]
        for c in lossy + ["pcodec"]:
            row = by.get(c)
            cells.append(fmt(row.ratio, ".2f") if row else "–")
        pr = [(by[c].ratio, c) for c in peers if c in by and math.isfinite(by[c].ratio)]
        if pr:
            best_r, best_c = max(pr)
            cells.append(f"{best_c} {best_r:.2f}")
            q = by.get("quillmere")
            cells.append(fmt(q.ratio / best_r, ".2f") if q else "–")
        else:
            cells += ["–", "–"]
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def detail_table(results: List[SignalResult]) -> List[str]:
    head = ["signal", "target", "codec", "setting", "achieved NRMSE", "ratio at target",
            "compress MB/s", "decompress MB/s"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in results:
        for row in r.rows:
            tgt = "lossless" if row.target is None else f"{row.target:.0e}"
            lines.append("| " + " | ".join([
                r.name, tgt, row.codec, row.setting, fmt(row.err, ".3g"),
                fmt(row.ratio, ".2f") + (f" ({row.note})" if row.note else ""),
                fmt(row.comp_mbs, ".0f"), fmt(row.decomp_mbs, ".0f")]) + " |")
    return lines


def speed_summary(results: List[SignalResult], kind: str, codec_names: List[str]) -> List[str]:
    head = ["codec"] + [f"{w} MB/s at {t:.0e}" for t in TARGETS for w in ("compress", "decompress")]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for c in codec_names:
        cells = [c]
        for t in TARGETS:
            rows = [row for r in results if r.kind == kind for row in r.rows
                    if row.codec == c and (row.target == t or row.target is None)]
            for attr in ("comp_mbs", "decomp_mbs"):
                vals = [getattr(row, attr) for row in rows if math.isfinite(getattr(row, attr))]
                cells.append(fmt(statistics.median(vals), ".0f") if vals else "–")
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def default_table(results: List[SignalResult]) -> List[str]:
    head = ["signal", "kind", "NRMSE", "ratio", "compress MB/s", "decompress MB/s",
            "zfpy NRMSE", "zfpy ratio", "zfpy compress MB/s", "zfpy decompress MB/s",
            "compress vs zfpy", "decompress vs zfpy"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in results:
        d, z = r.default, r.zfp_matched
        if d is None:
            continue
        cells = [r.name, r.kind, fmt(d.err, ".3g"), fmt(d.ratio, ".2f"), fmt(d.comp_mbs, ".0f"),
                 fmt(d.decomp_mbs, ".0f")]
        if z is not None:
            cells += [fmt(z.err, ".3g"), fmt(z.ratio, ".2f"), fmt(z.comp_mbs, ".0f"),
                      fmt(z.decomp_mbs, ".0f"), fmt(d.comp_mbs / z.comp_mbs, ".2f"),
                      fmt(d.decomp_mbs / z.decomp_mbs, ".2f")]
        else:
            cells += ["–"] * 6
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def verdicts(results: List[SignalResult], memory: List[Dict[str, Any]]) -> List[str]:
    out = []
    judged = [r for r in results if r.kind in (sigs.KIND_SPEECH, sigs.KIND_PHYSIO)]
    for target, need in ((1e-3, 1.3), (1e-4, 1.0)):
        worst = None
        fails = []
        for r in judged:
            by = {row.codec: row for row in r.rows if row.target == target}
            q = by.get("quillmere")
            peers = [row.ratio for c, row in by.items()
                     if c != "quillmere" and math.isfinite(row.ratio)]
            if q is None or not peers or not math.isfinite(q.ratio):
                fails.append(f"{r.name} (no quillmere point)")
                continue
            f = q.ratio / max(peers)
            worst = f if worst is None else min(worst, f)
            if f < need:
                fails.append(f"{r.name} {f:.2f}")
        lossless_wins = []
        for r in judged:
            by = {row.codec: row for row in r.rows if row.target in (target, None)}
            if "pcodec" in by and "quillmere" in by and by["pcodec"].ratio > by["quillmere"].ratio:
                lossless_wins.append(r.name)
        out.append(f"- Target 1 at {target:.0e}: quillmere / best lossy peer >= {need} on "
                   f"{len(judged)} speech and physiological signals: "
                   f"{'PASS' if not fails else 'FAIL'}; worst {fmt(worst, '.2f')}"
                   + (f"; short: {', '.join(fails)}" if fails else "")
                   + (f"; lossless pcodec beats quillmere on {', '.join(lossless_wins)}"
                      if lossless_wins else ""))
    speech = [r for r in results if r.kind == sigs.KIND_SPEECH and r.default]
    if speech:
        cmin = min(r.default.comp_mbs for r in speech)
        dmin = min(r.default.decomp_mbs for r in speech)
        matched = [r for r in speech if r.zfp_matched]
        # Without zfpy in the run (--codecs) the comparison half is unjudged.
        zc = min((r.default.comp_mbs / r.zfp_matched.comp_mbs for r in matched), default=None)
        zd = min((r.default.decomp_mbs / r.zfp_matched.decomp_mbs for r in matched), default=None)
        ok = (cmin >= 250 and dmin >= 250 and zc is not None and zc >= 1.3
              and zd is not None and zd >= 1.3)
        out.append(f"- Target 2, default options on {len(speech)} speech signals: slowest compress "
                   f"{cmin:.0f} MB/s, slowest decompress {dmin:.0f} MB/s (need 250); vs zfpy at "
                   f"matched error, lowest {fmt(zc, '.2f')}x compress, {fmt(zd, '.2f')}x "
                   f"decompress (need 1.3): {'PASS' if ok else 'FAIL'}")
    for m in memory:
        ref = m["in_bytes"] if m["mode"] == "compress" else m["out_bytes"]
        which = "input" if m["mode"] == "compress" else "output"
        out.append(f"- Target 4, {m['mode']} of {m['signal']}: peak extra RSS "
                   f"{m['extra'] / 1e6:.1f} MB = {m['extra'] / ref:.2f} x the {which} bytes "
                   f"({ref / 1e6:.1f} MB; the result itself is {m['out_bytes'] / 1e6:.1f} MB of "
                   f"it): {'PASS' if m['extra'] <= 3 * ref else 'FAIL'} (limit 3x)")
    return out


def plot(results: List[SignalResult], path: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    shown = [r for r in results if r.fronts and r.n < 10_000_000]
    cols = 4
    rows = max(1, math.ceil(len(shown) / cols))
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 3.4 * rows), squeeze=False)
    for ax, r in zip(axes.flat, shown):
        for name, pts in sorted(r.fronts.items()):
            if not pts:
                continue
            e, q = zip(*pts)
            ax.loglog(e, q, marker=".", lw=1.5 if name == "quillmere" else 1,
                      color="black" if name == "quillmere" else None, label=name)
        for t in TARGETS:
            ax.axvline(t, color="grey", lw=0.6, ls=":")
        ax.set_xlim(1e-6, 1e-1)
        ax.set_title(r.name, fontsize=9)
        ax.set_xlabel("RMSE / range", fontsize=8)
        ax.set_ylabel("compression ratio", fontsize=8)
        ax.tick_params(labelsize=7)
    for ax in list(axes.flat)[len(shown):]:
        ax.axis("off")
    handles, labels = axes.flat[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=len(labels), fontsize=8)
    fig.tight_layout(rect=(0, 0.04, 1, 1))
    fig.savefig(path, dpi=110)


# --------------------------------------------------------------------------


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--signals", nargs="*", help="substrings of signal names to run (default all)")
    ap.add_argument("--codecs", nargs="*", help="codec names to run (default all)")
    ap.add_argument("--repeats", type=int, default=5, help="timed batches per figure (median)")
    ap.add_argument("--plot", metavar="PNG", help="write rate-distortion curves here")
    ap.add_argument("--json", metavar="FILE", help="write every row here")
    ap.add_argument("--details", action="store_true", help="print every codec's row per signal")
    ap.add_argument("--markdown", metavar="FILE",
                    help="also write the report as the README's performance section")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocesses")
    ap.add_argument("--no-install", action="store_true", help="fail instead of installing")
    ap.add_argument("--clock", choices=sorted(CLOCKS), default="cpu",
                    help="cpu: the calling thread's CPU time, which leaves out the time other "
                         "processes of a shared machine take (default); wall: elapsed time")
    ap.add_argument("--peers-only", action="store_true", help="run without Quillmere")
    args = ap.parse_args(argv)

    if args.peers_only:
        global REQUIRED_MODULES
        REQUIRED_MODULES = tuple(m for m in REQUIRED_MODULES if m != "quillmere")
    ensure_installed(bool(args.plot), not args.no_install)
    global CLOCK
    CLOCK = CLOCKS[args.clock]

    factories: List[Callable[[], Codec]] = ([] if args.peers_only else [Quillmere]) + PEERS
    codecs = [f() for f in factories]
    if args.codecs:
        codecs = [c for c in codecs if c.name in args.codecs]
    names = [c.name for c in codecs]
    chosen = sigs.select(sigs.all_signals(), args.signals)

    def log(msg):
        print(msg, file=sys.stderr, flush=True)

    t0 = time.perf_counter()
    results = [run_signal(s, codecs, args.repeats, log) for s in chosen]

    memory = []
    if not args.no_memory and "quillmere" in names:
        for name in ("synth/walk-1e7", "synth/chirp-1e6", "sphinx/librivox-0870"):
            if any(s.name == name for s in chosen):
                for mode in ("compress", "decompress"):
                    m = measure_memory(name, mode)
                    m["signal"] = name
                    memory.append(m)

    command = "python3 bench/compare.py " + " ".join(argv if argv is not None else sys.argv[1:])
    out = [f"Machine: {machine_line()}", "", f"Command: `{command.strip()}`", "",
           f"Checkout: {checkout_line()}; timing clock: {args.clock} "
           f"({'CPU time of the calling thread' if args.clock == 'cpu' else 'elapsed time'}); "
           f"wall time of the run: {time.perf_counter() - t0:.0f} s", ""]
    for t in TARGETS:
        out += [f"### Compression ratio at normalised RMSE {t:.0e} (interpolated log-log; "
                f"pcodec lossless)", ""] + ratio_table(results, t, names) + [""]
    for kind in (sigs.KIND_SPEECH, sigs.KIND_PHYSIO, sigs.KIND_SYNTHETIC):
        if any(r.kind == kind for r in results):
            out += [f"### Throughput, median over the {kind} signals (float32 input MB/s; "
                    f"each figure a median of {args.repeats})", ""] + \
                speed_summary(results, kind, names) + [""]
    if any(r.default for r in results):
        out += ["### Quillmere with default options vs zfpy tuned to the same error", ""] + \
            default_table(results) + [""]
    if args.details:
        out += ["### Every codec at every target", ""] + detail_table(results) + [""]
    if "quillmere" in names:
        out += ["### Targets", ""] + verdicts(results, memory) + [""]
    print("\n".join(out))
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(MARKDOWN_INTRO + "\n".join(out) + "\n")

    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": machine_line(), "memory": memory,
                       "results": [{"signal": r.name, "kind": r.kind, "n": r.n,
                                    "rows": [vars(x) for x in r.rows],
                                    "default": vars(r.default) if r.default else None,
                                    "zfp_matched": vars(r.zfp_matched) if r.zfp_matched else None,
                                    "fronts": r.fronts} for r in results]},
                      f, indent=1, default=str)
    if args.plot:
        plot(results, args.plot)
        log(f"# plot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
