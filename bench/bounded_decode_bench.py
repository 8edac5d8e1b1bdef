"""Where a bounded unit's decode time goes, printed (not a timed test).

For every speech signal, the physiological one and the seeded chirp at max
error 0.1 % and 1 % of the range: the whole unit through
``quillmere_tools.decompress`` against its wavelet layer alone (the same
container with its side-block flag cleared and the side block cut off, so
the same call decodes it without corrections), and pysz's decode at the same
bound. Medians of --repeat calls, taken in turns so that load on the machine
falls on both alike. Target: unit / layer <= 1.2.

    python bench/bounded_decode_bench.py [--repeat 15] [--clock cpu|wall]
        [--no-pysz] [--only NAME-PREFIX]
"""
from __future__ import annotations

import argparse
import os
import statistics
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from quillmere_tools import compress_to_target, decompress  # noqa: E402
from quillmere_tools import metrics  # noqa: E402

HEADER_LEN = 52
PAYLOAD_LEN_AT = 32
# The fast coder's first payload byte carries the flag that says a side
# block follows the container.
SIDE_BLOCK_FLAG = 0x80


def wavelet_layer(unit: bytes) -> bytes:
    """The unit's container alone, announcing no side block."""
    (payload_len,) = struct.unpack_from("<I", unit, PAYLOAD_LEN_AT)
    layer = bytearray(unit[:HEADER_LEN + payload_len])
    if len(unit) > len(layer):
        layer[HEADER_LEN] &= ~SIDE_BLOCK_FLAG & 0xFF
    return bytes(layer)


def medians_in_turns(calls: list, repeat: int, clock) -> list[float]:
    times: list[list[float]] = [[] for _ in calls]
    for _ in range(repeat):
        for k, fn in enumerate(calls):
            t0 = clock()
            fn()
            times[k].append(clock() - t0)
    return [statistics.median(t) for t in times]


def main() -> None:
    import signals as bench_signals

    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--repeat", type=int, default=15)
    p.add_argument("--clock", choices=["cpu", "wall"], default="cpu")
    p.add_argument("--no-pysz", action="store_true")
    p.add_argument("--only", default="")
    a = p.parse_args()
    clock = time.process_time if a.clock == "cpu" else time.perf_counter
    sz = None
    if not a.no_pysz:
        import compare_codecs

        sz = compare_codecs.Sz3()
    kinds = (bench_signals.KIND_SPEECH, bench_signals.KIND_PHYSIO)
    cases = [(s.name, s.kind, s.load()) for s in bench_signals.all_signals() if s.kind in kinds]
    cases.append(("synth/chirp-1e6", bench_signals.KIND_SYNTHETIC, bench_signals.chirp()))
    print(f"bounded unit decode against its wavelet layer alone, median {a.clock} time of "
          f"{a.repeat}, MB/s against float32")
    print(f"{'signal':<24} {'bound':<6} {'corrected':>9} {'unit':>8} {'layer':>8} {'unit/layer':>10} "
          f"{'pysz':>8} {'x pysz':>7}")
    ratios, speech_vs_sz = [], []
    for name, kind, x in cases:
        if not name.startswith(a.only):
            continue
        r = metrics.signal_range(x)
        mb = 4 * x.size / 1e6
        for fraction in (1e-3, 1e-2):
            bound = fraction * r
            res = compress_to_target(x, max_error=bound)
            unit = res.unit
            layer = wavelet_layer(unit)
            y = decompress(unit)
            assert metrics.max_abs_error(x, y) <= bound
            # The layer alone is the same reconstruction before corrections.
            assert decompress(layer).size == x.size
            calls = [lambda: decompress(unit), lambda: decompress(layer)]
            if sz is not None:
                blob = sz.encode(x, bound)
                calls.append(lambda: sz.decode(blob, bound, x.size))
            t = medians_in_turns(calls, a.repeat, clock)
            ratio = t[0] / t[1]
            ratios.append(ratio)
            sz_text = ""
            if sz is not None:
                sz_text = f"{mb / t[2]:8.1f} {t[2] / t[0]:7.2f}"
                if kind == bench_signals.KIND_SPEECH:
                    speech_vs_sz.append(t[2] / t[0])
            print(f"{name:<24} {100 * fraction:<6g} {res.corrected_samples:9d} {mb / t[0]:8.1f} "
                  f"{mb / t[1]:8.1f} {ratio:10.2f} {sz_text}")
    if ratios:
        print(f"unit/layer time: median {statistics.median(ratios):.2f}, "
              f"range {min(ratios):.2f}-{max(ratios):.2f} (target <= 1.2)")
    if speech_vs_sz:
        print(f"decompress x pysz on speech: median {statistics.median(speech_vs_sz):.2f}, "
              f"range {min(speech_vs_sz):.2f}-{max(speech_vs_sz):.2f} (target >= 1.0)")


if __name__ == "__main__":
    main()
