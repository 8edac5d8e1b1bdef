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

A second part holds every codec to a maximum absolute error of 0.1 % and 1 %
of the signal's range and compares the bytes each needs (bench/compare_max_error.py
says how each codec is held to the bound); `--max-error-only` runs just that
part. With `--markdown` the report replaces only its own marked blocks of the
file, so sections written by other benches survive a re-run.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from typing import Callable, List

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import compare_run  # noqa: E402
import signals as sigs  # noqa: E402
from compare_codecs import PEERS, Codec  # noqa: E402
from compare_max_error import MAX_ERROR_TARGETS, run_max_error  # noqa: E402
from compare_max_error_report import (MAX_ERROR_INTRO, max_error_details,  # noqa: E402
                                      max_error_table, max_error_verdicts)
from compare_memory import measure_memory  # noqa: E402
from compare_plot import plot  # noqa: E402
from compare_quillmere import Quillmere  # noqa: E402
from compare_report import (MARKDOWN_INTRO, checkout_line, default_table, detail_table,  # noqa: E402
                            machine_line, ratio_table, speed_summary, verdicts,
                            write_markdown)
from compare_run import CLOCKS, TARGETS, run_signal  # noqa: E402
from compare_setup import ensure_installed  # noqa: E402


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
    ap.add_argument("--no-max-error", action="store_true",
                    help="skip the sizes at a maximum absolute error")
    ap.add_argument("--max-error-only", action="store_true",
                    help="only the sizes at a maximum absolute error (and only that section "
                         "of --markdown is rewritten)")
    args = ap.parse_args(argv)
    if args.max_error_only and (args.no_max_error or args.plot):
        ap.error("--max-error-only goes with neither --no-max-error nor --plot")

    ensure_installed(bool(args.plot), not args.no_install, with_quillmere=not args.peers_only)
    compare_run.CLOCK = CLOCKS[args.clock]

    factories: List[Callable[[], Codec]] = ([] if args.peers_only else [Quillmere]) + PEERS
    codecs = [f() for f in factories]
    if args.codecs:
        codecs = [c for c in codecs if c.name in args.codecs]
    names = [c.name for c in codecs]
    chosen = sigs.select(sigs.all_signals(), args.signals)

    def log(msg):
        print(msg, file=sys.stderr, flush=True)

    t0 = time.perf_counter()
    results = [] if args.max_error_only else \
        [run_signal(s, codecs, args.repeats, log) for s in chosen]
    t_rmse = time.perf_counter() - t0
    bounded = [] if args.no_max_error else \
        [r for s in chosen for r in run_max_error(s, codecs, log)]
    t_bounded = time.perf_counter() - t0 - t_rmse

    memory = []
    if not args.no_memory and not args.max_error_only and "quillmere" in names:
        for name in ("synth/walk-1e7", "synth/chirp-1e6", "sphinx/librivox-0870"):
            if any(s.name == name for s in chosen):
                for mode in ("compress", "decompress"):
                    m = measure_memory(name, mode)
                    m["signal"] = name
                    memory.append(m)

    command = "python3 bench/compare.py " + " ".join(argv if argv is not None else sys.argv[1:])
    provenance = [f"Machine: {machine_line()}", "", f"Command: `{command.strip()}`", ""]
    out = provenance + [
        f"Checkout: {checkout_line()}; timing clock: {args.clock} "
        f"({'CPU time of the calling thread' if args.clock == 'cpu' else 'elapsed time'}); "
        f"wall time of the run: {t_rmse:.0f} s", ""]
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
    blocks = {}
    if results:
        print("\n".join(out))
        blocks["rmse"] = MARKDOWN_INTRO + "\n".join(out)
    if bounded:
        bout = provenance + [f"Checkout: {checkout_line()}; wall time of this part: "
                             f"{t_bounded:.0f} s", ""]
        for f in MAX_ERROR_TARGETS:
            bout += [f"#### Max error {f:.1%} of range", ""] + \
                max_error_table(bounded, f, names) + [""]
        if args.details:
            bout += ["#### Every codec at every bound", ""] + max_error_details(bounded) + [""]
        if "quillmere" in names:
            bout += ["#### Targets", ""] + max_error_verdicts(bounded) + [""]
        print("\n".join(bout))
        blocks["max-error"] = MAX_ERROR_INTRO + "\n" + "\n".join(bout)
    if args.markdown:
        write_markdown(args.markdown, blocks)

    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": machine_line(), "memory": memory,
                       "results": [{"signal": r.name, "kind": r.kind, "n": r.n,
                                    "rows": [vars(x) for x in r.rows],
                                    "default": vars(r.default) if r.default else None,
                                    "zfp_matched": vars(r.zfp_matched) if r.zfp_matched else None,
                                    "fronts": r.fronts} for r in results],
                       "max_error": [dict(vars(r), cells={k: vars(c) for k, c in r.cells.items()})
                                     for r in bounded]},
                      f, indent=1, default=str)
    if args.plot:
        plot(results, args.plot)
        log(f"# plot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
