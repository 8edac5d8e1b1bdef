"""The peer codecs of the comparison bench, behind one interface.

Each codec maps a setting to bytes and back; the bytes are everything a
reader needs besides the element count and dtype, which every container
format here either stores or is told.
"""

from __future__ import annotations

import math
import struct
import zlib
from dataclasses import dataclass
from typing import Any, Callable, Dict, List

import numpy as np

import signals as sigs
from compare_setup import import_numcodecs


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


def value_range(x: np.ndarray) -> float:
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
        r = value_range(x)
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
        r = value_range(x)
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
        nc = import_numcodecs()
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
        import_numcodecs()
        from numcodecs import Quantize, Zlib
        self._Quantize = Quantize
        self._zlib = Zlib(level=6)
        self._q: Dict[int, Any] = {}

    def families(self, x, sig):
        # Quantize rounds to 10^-digits; centre the decades on the signal's range.
        top = int(math.floor(-math.log10(value_range(x))))
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


class UniformPcodec(Codec):
    """The simplest exact max-error coder: round x / (2 e) to integers, code
    them losslessly with pcodec, decode as integer x 2 e. Its setting is the
    bound e itself; an 8-byte header carries the step. The step is kept a
    hair under 2 e so that the float32 result of the product stays within e."""
    name = "quant+pcodec"
    _HEADER = struct.Struct("<d")

    def __init__(self):
        from pcodec import ChunkConfig, standalone
        self._cfg = ChunkConfig()
        self._std = standalone

    def families(self, x, sig):
        r = value_range(x)
        return [Family("abs", [r * 2.0 ** (-j / 2) for j in range(4, 52)])]

    @staticmethod
    def _step(e):
        return 2.0 * e * (1.0 - 2.0 ** -20)

    def encode(self, x, e):
        step = self._step(e)
        q = np.rint(x.astype(np.float64) / step).astype(np.int64)
        return self._HEADER.pack(step) + self._std.simple_compress(q, self._cfg)

    def decode(self, blob, e, n):
        (step,) = self._HEADER.unpack_from(blob)
        q = self._std.simple_decompress(blob[self._HEADER.size:])
        return (q.astype(np.float64) * step).astype(np.float32)

    def describe(self, e):
        return f"step=2x{e:.3g}"


PEERS: List[Callable[[], Codec]] = [Zfp, Sz3, PywtInt16Zlib, BitRoundBlosc, QuantizeZlib,
                                    UniformPcodec, Pcodec, Copy]
