"""Quillmere as one more codec of the comparison bench: its settings grid
and the families swept over it."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Optional

from compare_codecs import Codec, Family


def decode_tools_container(blob: bytes):
    """Samples of a container as the tools return it (`compress_to_target`'s
    `.unit`): through `quillmere_tools.decompress` where the tools have
    it, since what follows the codec's container is theirs to apply; through
    the codec alone otherwise."""
    import quillmere_tools
    decompress = getattr(quillmere_tools, "decompress", None)
    if decompress is None:
        import quillmere
        decompress = quillmere.decompress_signal
    return decompress(blob)


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
