"""Sources that are integers underneath, coded by the integer path, by the
wavelet unit at a max error of 0.49 step (the bound at which every sample
rounds back to its own code), by FLAC (audio, level 8) and by pcodec (default
level); with the integer path's encode and decode speeds and the wavelet
unit's encode speed (MB/s of float32 samples per second of process CPU time).

    python bench/integer_compare.py [--repeat N] [--markdown]

Signals: bench/signals.py's speech WAVs as the float32 samples the bench
loads (codes / 32768) and as the int16 codes themselves; the matplotlib
membrane trace (float32 values on a grid of 2/4095, given as the step, since
only power-of-two grids are found without one); and every channel of the EDF
file pyedflib ships (read through the tools' EDF reader, which knows each
channel's step). Speeds count 4 bytes per sample (the float32 size) and are
the median of N runs of process CPU time (the machine is shared: wall-clock
time would mostly measure the other jobs); ratios within one run matter more
than the absolute figures.
"""
from __future__ import annotations

import argparse
import io
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import signals  # noqa: E402

from quillmere_tools.settings import Settings  # noqa: E402
from quillmere_tools.units import channel as frames  # noqa: E402
from quillmere_tools.bounds import Bounds  # noqa: E402

PCM16_STEP = 2.0 ** -15
MEMBRANE_STEP = 2.0 / 4095.0
_EXACT = 0.49


def _median_time(fn, repeat: int):
    """Median process CPU time of ``repeat`` calls (on a shared machine the
    wall-clock time mostly measures the other jobs), and the last result."""
    times, out = [], None
    for _ in range(repeat):
        t = time.process_time()
        out = fn()
        times.append(time.process_time() - t)
    return max(statistics.median(times), 1e-9), out


def flac_bytes(codes: np.ndarray, rate: int = 16000) -> int:
    import soundfile

    buf = io.BytesIO()
    soundfile.write(buf, codes.astype(np.int16), rate, format="FLAC", subtype="PCM_16",
                    compression_level=1.0)  # libsndfile's 1.0 is FLAC level 8
    return len(buf.getvalue())


def pcodec_bytes(values: np.ndarray) -> int:
    import pcodec

    return len(pcodec.standalone.simple_compress(np.ascontiguousarray(values), pcodec.ChunkConfig()))


def row(name: str, x: np.ndarray, step: float, given_step: bool, codes: np.ndarray,
        audio: bool, repeat: int) -> dict:
    bound = Bounds(max_error=_EXACT * step)
    grid = step if given_step else None
    te, (unit, report) = _median_time(
        lambda: frames.encode_with_report(x, Settings(), bound, grid_step=grid), repeat)
    td, y = _median_time(lambda: frames.decode_channel(unit), repeat)
    # Lossless after rounding: the decoded samples fall on the source's codes.
    anchor = float(x[0])
    lossless = bool(np.array_equal(np.rint((y.astype(np.float64) - anchor) / step),
                                   np.rint((x.astype(np.float64) - anchor) / step)))
    tw, (wavelet, _) = _median_time(
        lambda: frames.encode_with_report(x, Settings(), bound, coders=["fast"], grid_step=grid),
        repeat)
    mb = 4 * x.size / 1e6
    return {"signal": name, "samples": x.size, "integer": len(unit), "coder": report.coder_code,
            "lossless": lossless, "wavelet": len(wavelet),
            "flac": flac_bytes(codes) if audio else None,
            "pcodec": pcodec_bytes(codes.astype(np.int16 if audio else np.int32)),
            "enc_mb_s": mb / te, "dec_mb_s": mb / td, "wavelet_enc_mb_s": mb / tw}


def edf_rows(repeat: int) -> list[dict]:
    try:
        import pyedflib
    except ImportError:
        return []
    from quillmere_tools.recordings import edf

    path = Path(pyedflib.__file__).parent / "data" / "test_generator.edf"
    if not path.is_file():
        return []
    signal = edf.read(path)
    reader = pyedflib.EdfReader(str(path))
    out = []
    try:
        for ch in range(signal.channels):
            x = np.ascontiguousarray(signal.channel(ch))
            step = signal.meta["channel_info"][ch]["quantum"]
            codes = reader.readSignal(ch, digital=True).astype(np.int64)
            label = signal.meta["channel_info"][ch]["label"].strip() or str(ch)
            r = row(f"edf/{label}", x, step, True, codes, False, repeat)
            out.append(r)
    finally:
        reader.close()
    return out


def all_rows(repeat: int) -> list[dict]:
    rows = []
    for s in signals.all_signals():
        if s.kind not in ("speech", "noise"):
            continue
        x = s.load()
        codes = np.rint(x.astype(np.float64) / PCM16_STEP).astype(np.int16)
        rows.append(row(s.name, x, PCM16_STEP, False, codes, True, repeat))
        rows.append(row(s.name + " int16", codes, 1.0, False, codes, True, repeat))
    for s in signals.membrane_signal():
        x = s.load()
        codes = np.rint(x.astype(np.float64) / MEMBRANE_STEP).astype(np.int64)
        rows.append(row(s.name, x, MEMBRANE_STEP, True, codes, False, repeat))
    return rows + edf_rows(repeat)


def markdown(rows: list[dict]) -> str:
    head = ("| signal | samples | integer path (B) | wavelet unit, 0.49 step (B) | FLAC -8 (B) "
            "| pcodec (B) | lossless | encode MB/s | decode MB/s | wavelet encode MB/s |")
    lines = [head, "|" + "---|" * 10]
    for r in rows:
        lines.append(f"| {r['signal']} | {r['samples']:,} | {r['integer']:,} | {r['wavelet']:,} | "
                     f"{'' if r['flac'] is None else format(r['flac'], ',')} | {r['pcodec']:,} | "
                     f"{'yes' if r['lossless'] else 'NO'} | {r['enc_mb_s']:.1f} | {r['dec_mb_s']:.0f} | "
                     f"{r['wavelet_enc_mb_s']:.2f} |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="runs per timing (median)")
    args = parser.parse_args()
    start = time.perf_counter()
    rows = all_rows(args.repeat)
    print(markdown(rows))
    print(f"wall-clock {time.perf_counter() - start:.1f} s")
    speech = [r for r in rows if r["flac"] is not None and not r["signal"].endswith("int16")
              and "Noise" not in r["signal"]]
    for key in ("integer", "wavelet", "flac", "pcodec"):
        print(f"speech total {key}: {sum(r[key] for r in speech):,}")


if __name__ == "__main__":
    main()
