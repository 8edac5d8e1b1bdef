"""Bounded compression speed, printed (not a timed test).

1. compress_to_target against a plain compress (the tools' own unit, same
   coder) at the settings it settles on, on every speech signal, the
   physiological one and the seeded chirp at their own lengths, or with
   --resize on 10^6-sample copies of a few (median wall-clock of --repeat
   runs; MB/s against the float32 samples). Target: bounded >= 0.6x plain.
2. compress_many with 2 threads against 1 thread (wall-clock). Target >= 1.7x
   on two free cores.
3. The Dask/Zarr write of docs/tools.md with QuillmereCodec(max_error=1e-3),
   10^7 samples in chunks of 10^6, through LocalClusters of 1 and 2 workers
   (best of --repeat; MB/s against float32). docs/tools.md had 22-30 MB/s;
   target 5x that.

4. compress_to_target and decompress against pysz's absolute error-bound
   mode at max error 0.1 % and 1 % of the range, on the same signals (median
   wall-clock). Target on speech: compress >= 1.2x, decompress >= 1.0x pysz.

5. Effort: compress_to_target with effort="fast" and with the default
   (thorough) at max error 0.1 % and 1 % of the range, on the signals of 4:
   MB/s, against a plain compress at each one's own settled options and
   against pysz (absolute mode), and sizes against the default's and
   pysz's. The four calls of a row alternate, --repeat rounds, medians.

Parts 1 and 4 run at the effort --effort names (thorough by default).

    python bench/bounded_bench.py [--repeat 5] [--skip-dask] [--resize]
        [--only plain|threads|dask|pysz|effort] [--effort thorough|fast]
        [--json OUT] [--clock wall|cpu]
"""
from __future__ import annotations

import argparse
import dataclasses
import os
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from quillmere_tools import compress_many, compress_to_target, decompress  # noqa: E402
from quillmere_tools import metrics  # noqa: E402
from quillmere_tools.units import channel  # noqa: E402
from bounded_decode_bench import HEADER_LEN, wavelet_layer  # noqa: E402

N = 1_000_000
DOC_DASK_WRITE_MB_S = (22.1, 30.0)


# Wall-clock by default; --clock cpu takes the process's CPU time instead,
# which other jobs on a loaded machine barely move (a call descheduled half
# of its wall-clock time still costs the same CPU seconds).
CLOCK = time.perf_counter
# The effort parts 1 and 4 pass to compress_to_target.
EFFORT = "thorough"


def median_time(fn, repeat: int, clock=None) -> tuple[float, object]:
    clock = clock or CLOCK
    times, out = [], None
    for _ in range(repeat):
        t0 = clock()
        out = fn()
        times.append(clock() - t0)
    return statistics.median(times), out


def busy_threads(fn) -> float:
    """CPU time over wall-clock time of one call: how many threads were
    actually running on average, whatever else loads the machine."""
    c0, t0 = time.process_time(), time.perf_counter()
    fn()
    return (time.process_time() - c0) / (time.perf_counter() - t0)


def realistic_signals(n: int) -> list[tuple[str, np.ndarray]]:
    """Speech and physiological recordings from bench/signals.py, repeated
    to n samples, and the seeded chirp; whatever this machine has."""
    import signals as bench_signals

    chosen = []
    for s in bench_signals.all_signals():
        if s.kind in (bench_signals.KIND_SPEECH, bench_signals.KIND_PHYSIO) and len(chosen) < 3:
            x = s.load()
            chosen.append((s.name, np.resize(x, n).astype(np.float32)))
    chosen.append(("synthetic/chirp", bench_signals.chirp(n)))
    return chosen


def recorded_signals() -> list[tuple[str, str, np.ndarray]]:
    """Every speech signal, the physiological one and the seeded chirp of
    bench/signals.py at their own lengths, with their kinds."""
    import signals as bench_signals

    kinds = (bench_signals.KIND_SPEECH, bench_signals.KIND_PHYSIO)
    out = [(s.name, s.kind, s.load()) for s in bench_signals.all_signals() if s.kind in kinds]
    out.append(("synth/chirp-1e6", bench_signals.KIND_SYNTHETIC, bench_signals.chirp()))
    return out


def bounded_vs_plain(repeat: int, resize: bool, rows: list) -> None:
    where = f"{N:,}-sample copies" if resize else "signals at their own lengths"
    print(f"1. bounded compress vs plain compress at the settled options, {where}, "
          f"median wall-clock of {repeat}, MB/s against float32")
    print(f"   {'signal':<28} {'bound':<18} {'bounded':>9} {'plain':>9} {'ratio':>6} "
          f"{'bits/sample':>11} {'corrected':>9}")
    ratios = []
    chosen = (realistic_signals(N) if resize
              else [(name, x) for name, _, x in recorded_signals()])
    for name, x in chosen:
        r = metrics.signal_range(x)
        for label, bound in [("max_error 0.1%", {"max_error": 1e-3 * r}),
                             ("max_error 1%", {"max_error": 1e-2 * r}),
                             ("rmse 0.1%", {"rmse": 1e-3 * r}),
                             ("prd 1%", {"prd": 1.0})]:
            t_b, res = median_time(lambda: compress_to_target(x, effort=EFFORT, **bound), repeat)
            y = decompress(res.unit)
            key = next(iter(bound))
            assert {"max_error": metrics.max_abs_error, "rmse": metrics.rmse,
                    "prd": metrics.prd}[key](x, y) <= bound[key]
            # The plain unit at the settled settings, coded by the same coder.
            # An integer unit's setting is its grid: the integer coder alone
            # at the same bound, with no choice to make.
            if res.settings.coder == "integer":
                t_p, _ = median_time(lambda: compress_to_target(x, coders=["integer"], **bound), repeat)
            else:
                t_p, _ = median_time(lambda: channel.encode_channel(x, res.settings), repeat)
            mb = 4 * x.size / 1e6
            ratios.append(t_p / t_b)
            rows.append({"part": "plain", "signal": name, "bound": label, "bounded_mb_s": mb / t_b,
                         "plain_mb_s": mb / t_p, "ratio": t_p / t_b, "bytes": res.size})
            print(f"   {name:<28} {label:<18} {mb / t_b:9.1f} {mb / t_p:9.1f} {t_p / t_b:6.2f} "
                  f"{8 * res.size / x.size:11.3f} {res.corrected_samples:9d}")
    print(f"   bounded/plain throughput: median {statistics.median(ratios):.2f}, "
          f"range {min(ratios):.2f}-{max(ratios):.2f} (target >= 0.6)")


def against_pysz(repeat: int, rows: list) -> None:
    import compare_codecs

    sz = compare_codecs.Sz3()
    print(f"\n4. bounded compress and decompress vs pysz (absolute error bound) at the same "
          f"max error, median wall-clock of {repeat}, MB/s against float32")
    print(f"   {'signal':<24} {'kind':<13} {'bound':<7} {'q comp':>8} {'sz comp':>8} {'x':>5} "
          f"{'q dec':>8} {'sz dec':>8} {'x':>5} {'q/sz bytes':>10}")
    short = []
    for name, kind, x in recorded_signals():
        r = metrics.signal_range(x)
        mb = 4 * x.size / 1e6
        for fraction in (1e-3, 1e-2):
            bound = fraction * r
            res = compress_to_target(x, max_error=bound, effort=EFFORT)
            assert metrics.max_abs_error(x, decompress(res.unit)) <= bound
            blob = sz.encode(x, bound)
            assert metrics.max_abs_error(x, sz.decode(blob, bound, x.size)) <= bound
            tq, _ = median_time(lambda: compress_to_target(x, max_error=bound, effort=EFFORT), repeat)
            ts, _ = median_time(lambda: sz.encode(x, bound), repeat)
            tqd, _ = median_time(lambda: decompress(res.unit), repeat)
            tsd, _ = median_time(lambda: sz.decode(blob, bound, x.size), repeat)
            label = f"{100 * fraction:g}%"
            rows.append({"part": "pysz", "signal": name, "kind": kind, "bound": label,
                         "q_comp_mb_s": mb / tq, "sz_comp_mb_s": mb / ts,
                         "q_dec_mb_s": mb / tqd, "sz_dec_mb_s": mb / tsd,
                         "size_ratio": res.size / len(blob)})
            if kind == "speech" and (ts / tq < 1.2 or tsd / tqd < 1.0):
                short.append(f"{name} {label}")
            print(f"   {name:<24} {kind:<13} {label:<7} {mb / tq:8.1f} {mb / ts:8.1f} {ts / tq:5.2f} "
                  f"{mb / tqd:8.1f} {mb / tsd:8.1f} {tsd / tqd:5.2f} {res.size / len(blob):10.3f}")
    print(f"   speech cases short of compress >= 1.2x or decompress >= 1.0x: "
          f"{len(short)}{': ' + ', '.join(short) if short else ''}")


def alternated_medians(calls: dict, repeat: int) -> dict:
    """The median time of each call, the calls taking turns round after
    round, so that a change in the machine's load falls on all of them."""
    times: dict = {name: [] for name in calls}
    for _ in range(repeat):
        for name, fn in calls.items():
            t0 = CLOCK()
            fn()
            times[name].append(CLOCK() - t0)
    return {name: statistics.median(t) for name, t in times.items()}


def layer_settings(x, res):
    """Settings whose plain compress codes exactly the wavelet layer of the
    bounded unit `res`, or None (an integer unit, or a layer the search
    rounded with a dead zone or moved). The fast search rounds plainly, and
    scales 6 and 7 have no dead zone: with the multiplier given, a plain
    compress at scale 6 rounds as it did, where the settings it reports
    apply their scale's dead zone and code a smaller, cheaper layer."""
    if res.settings.coder == "integer":
        return None
    settings = dataclasses.replace(res.settings, scale=6)
    plain = channel.encode_channel(x, settings)
    # The headers differ in the scale byte; the payloads must not.
    same = wavelet_layer(res.unit)[HEADER_LEN:] == plain[HEADER_LEN:]
    return settings if same else None


def efforts(repeat: int, rows: list) -> None:
    """Part 5: both efforts against plain compression and pysz, same sitting."""
    import compare_codecs

    sz = compare_codecs.Sz3()
    clock = "CPU time" if CLOCK is time.process_time else "wall-clock"
    print(f"\n5. effort=\"fast\" and the default (thorough) at the same max error, median {clock} "
          f"of {repeat} alternated rounds,\n   MB/s against float32; x plain: against a plain compress "
          f"at that effort's settled options; x sz: against pysz compress;\n   x layer: against a plain "
          f"compress of the fast unit's own layer (its multiplier rounded without a dead zone)")
    print(f"   {'signal':<22} {'kind':<13} {'bound':<5} | {'thorough':>8} {'x plain':>7} {'x sz':>5} | "
          f"{'fast':>7} {'x plain':>7} {'x sz':>5} | {'fast/thor':>9} {'thor/sz':>7} {'fast/sz':>7} "
          f"{'sz MB/s':>7} {'x layer':>7}")
    fast_vs_plain, fast_vs_sz, sizes, fast_vs_layer = [], [], [], []
    short = []
    for name, kind, x in recorded_signals():
        r = metrics.signal_range(x)
        mb = 4 * x.size / 1e6
        for fraction in (1e-3, 1e-2):
            bound = fraction * r
            made = {e: compress_to_target(x, max_error=bound, effort=e) for e in ("thorough", "fast")}
            for res in made.values():
                assert metrics.max_abs_error(x, decompress(res.unit)) <= bound
            blob = sz.encode(x, bound)

            def plain(res):
                # An integer unit's setting is its grid: the integer coder
                # alone at the same bound, with no choice to make.
                if res.settings.coder == "integer":
                    return lambda: compress_to_target(x, coders=["integer"], max_error=bound)
                return lambda: channel.encode_channel(x, res.settings)

            timed = {
                "thorough": lambda: compress_to_target(x, max_error=bound),
                "fast": lambda: compress_to_target(x, max_error=bound, effort="fast"),
                "plain thorough": plain(made["thorough"]),
                "plain fast": plain(made["fast"]),
                "sz": lambda: sz.encode(x, bound),
            }
            layer = layer_settings(x, made["fast"])
            if layer is not None:
                timed["plain layer"] = lambda: channel.encode_channel(x, layer)
            t = alternated_medians(timed, repeat)
            label = f"{100 * fraction:g}%"
            th, fa = made["thorough"], made["fast"]
            row = {"part": "effort", "signal": name, "kind": kind, "bound": label,
                   "thorough_mb_s": mb / t["thorough"], "fast_mb_s": mb / t["fast"],
                   "thorough_x_plain": t["plain thorough"] / t["thorough"],
                   "fast_x_plain": t["plain fast"] / t["fast"],
                   "thorough_x_sz": t["sz"] / t["thorough"], "fast_x_sz": t["sz"] / t["fast"],
                   "sz_mb_s": mb / t["sz"], "thorough_bytes": th.size, "fast_bytes": fa.size,
                   "sz_bytes": len(blob), "fast_coder": fa.settings.coder}
            rows.append(row)
            if fa.settings.coder != "integer":
                fast_vs_plain.append(row["fast_x_plain"])
            if layer is not None:
                row["fast_x_layer"] = t["plain layer"] / t["fast"]
                fast_vs_layer.append(row["fast_x_layer"])
            x_layer = f"{row['fast_x_layer']:7.2f}" if layer is not None else f"{'-':>7}"
            fast_vs_sz.append(row["fast_x_sz"])
            sizes.append(fa.size / th.size)
            if kind == "speech" and row["fast_x_sz"] < 1.2:
                short.append(f"{name} {label}")
            unit = " (integer unit)" if fa.settings.coder == "integer" else ""
            print(f"   {name:<22} {kind:<13} {label:<5} | {row['thorough_mb_s']:8.1f} "
                  f"{row['thorough_x_plain']:7.2f} {row['thorough_x_sz']:5.2f} | {row['fast_mb_s']:7.1f} "
                  f"{row['fast_x_plain']:7.2f} {row['fast_x_sz']:5.2f} | {fa.size / th.size:9.3f} "
                  f"{th.size / len(blob):7.3f} {fa.size / len(blob):7.3f} {row['sz_mb_s']:7.1f} "
                  f"{x_layer}{unit}")
    print(f"   fast: x plain median {statistics.median(fast_vs_plain):.2f} "
          f"({min(fast_vs_plain):.2f}-{max(fast_vs_plain):.2f}, wavelet units; target >= 0.6), "
          f"x pysz median {statistics.median(fast_vs_sz):.2f} ({min(fast_vs_sz):.2f}-{max(fast_vs_sz):.2f}), "
          f"size / thorough median {statistics.median(sizes):.3f} ({min(sizes):.3f}-{max(sizes):.3f})")
    if fast_vs_layer:
        print(f"   fast: x plain compress of its own layer median {statistics.median(fast_vs_layer):.2f} "
              f"({min(fast_vs_layer):.2f}-{max(fast_vs_layer):.2f})")
    print(f"   speech cases where fast is short of 1.2x pysz: "
          f"{len(short)}{': ' + ', '.join(short) if short else ''}")


def available_parallelism() -> float:
    """CPU time over wall-clock of two threads hashing (hashlib releases the
    interpreter lock): what two threads can get from this machine right now,
    the ceiling for any 2-thread speed-up measured beside it."""
    import hashlib
    import threading

    data = b"q" * 100_000_000
    threads = [threading.Thread(target=lambda: hashlib.sha256(data).digest()) for _ in range(2)]
    c0, t0 = time.process_time(), time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return (time.process_time() - c0) / (time.perf_counter() - t0)


def threads_scaling(repeat: int) -> None:
    import signals as bench_signals

    walk = bench_signals.random_walk(8 * N)
    batch = [walk[i * N:(i + 1) * N] for i in range(8)]
    r = metrics.signal_range(batch[0])
    print(f"\n2. compress_many, 8 signals of {N:,} samples, max_error 0.1% of range, "
          f"median wall-clock of {repeat}")
    wall = time.perf_counter
    t1, u1 = median_time(lambda: compress_many(batch, threads=1, max_error=1e-3 * r), repeat, wall)
    t2, u2 = median_time(lambda: compress_many(batch, threads=2, max_error=1e-3 * r), repeat, wall)
    assert u1 == u2
    mb = 4 * 8 * N / 1e6
    b1 = busy_threads(lambda: compress_many(batch, threads=1, max_error=1e-3 * r))
    b2 = busy_threads(lambda: compress_many(batch, threads=2, max_error=1e-3 * r))
    print(f"   1 thread : {mb / t1:7.1f} MB/s  CPU time / wall-clock {b1:.2f}")
    print(f"   2 threads: {mb / t2:7.1f} MB/s  CPU time / wall-clock {b2:.2f}  "
          f"x{t1 / t2:.2f} wall-clock (target >= 1.7; same bytes: yes)")
    print(f"   cores this process may use: {len(os.sched_getaffinity(0))}, "
          f"load average {os.getloadavg()[0]:.1f}; two hashing threads got "
          f"{available_parallelism():.2f} CPU seconds per wall-clock second in the same run")


def dask_write(repeat: int) -> None:
    from quillmere_tools import scaleout
    from quillmere_tools.zarr_codec import QuillmereCodec

    n = 10_000_000
    t = np.arange(1_000_000) / 1000.0
    base = np.sin(2 * np.pi * 0.37 * t) + 0.25 * np.sin(2 * np.pi * 11.0 * t)
    print(f"\n3. Dask/Zarr write of docs/tools.md, {n:,} samples in chunks of 10^6, "
          f"best of {repeat}, MB/s against float32")
    for label, codec in [("max_error 1e-3", QuillmereCodec(max_error=1e-3)),
                         ("no bound (same run)", QuillmereCodec())]:
        for row in scaleout.throughput(base, workers=(1, 2), n=n, codec=codec, repeat=repeat):
            lo, hi = DOC_DASK_WRITE_MB_S
            print(f"   {label:<20} {row['workers']} worker(s): write {row['write_mb_s']:7.1f} MB/s "
                  f"(x{row['write_mb_s'] / lo:.1f} / x{row['write_mb_s'] / hi:.1f} of the docs' "
                  f"{lo}-{hi}), read {row['read_mb_s']:7.1f} MB/s, stored "
                  f"{row['stored_bytes'] / 1e6:.2f} MB, max error {row['max_error']:.3g}")


def dask_threads_write(repeat: int) -> None:
    """The same write through Dask's threaded scheduler in this process: the
    companion module releases the interpreter lock, so threads need no
    worker processes and no transfers."""
    import shutil
    import tempfile

    import dask.array as da
    import zarr

    from quillmere_tools.zarr_codec import QuillmereCodec

    n = 10_000_000
    t = da.arange(n, chunks=1_000_000) / 1000.0
    x = (da.sin(2 * np.pi * 0.37 * t) + 0.25 * da.sin(2 * np.pi * 11.0 * t)).persist()
    for threads in (1, 2):
        best = float("inf")
        for _ in range(repeat):
            tmp = tempfile.mkdtemp(prefix="quillmere-bench-")
            try:
                z = zarr.create_array(store=f"{tmp}/s.zarr", shape=x.shape, chunks=(1_000_000,),
                                      dtype="f8", serializer=QuillmereCodec(max_error=1e-3),
                                      compressors=None, fill_value=0.0)
                t0 = time.perf_counter()
                da.store(x, z, lock=False, scheduler="threads", num_workers=threads)
                best = min(best, time.perf_counter() - t0)
                err = float(abs(da.from_zarr(z) - x).max().compute(scheduler="threads"))
            finally:
                shutil.rmtree(tmp, ignore_errors=True)
        lo, hi = DOC_DASK_WRITE_MB_S
        mb = 4 * n / 1e6
        print(f"   max_error 1e-3, threaded scheduler, {threads} thread(s): write {mb / best:7.1f} MB/s "
              f"(x{mb / best / lo:.1f} / x{mb / best / hi:.1f} of the docs' {lo}-{hi}), "
              f"max error {err:.3g}")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--skip-dask", action="store_true")
    p.add_argument("--only", choices=["plain", "threads", "dask", "pysz", "effort"])
    p.add_argument("--effort", choices=["thorough", "fast"], default="thorough",
                   help="the effort of parts 1 and 4 (part 5 runs both)")
    p.add_argument("--resize", action="store_true",
                   help="part 1 on 10^6-sample copies of a few signals")
    p.add_argument("--json", help="also write parts 1, 4 and 5 as JSON rows here")
    p.add_argument("--clock", choices=["wall", "cpu"], default="wall",
                   help="parts 1, 4 and 5: wall-clock (default) or the process's CPU time")
    a = p.parse_args()
    global CLOCK, EFFORT
    CLOCK = time.process_time if a.clock == "cpu" else time.perf_counter
    EFFORT = a.effort
    rows: list = []
    if a.only in (None, "plain"):
        bounded_vs_plain(a.repeat, a.resize, rows)
    if a.only in (None, "threads"):
        threads_scaling(a.repeat)
    if a.only in (None, "dask") and not a.skip_dask:
        dask_write(min(a.repeat, 3))
        dask_threads_write(min(a.repeat, 3))
    if a.only in (None, "pysz"):
        against_pysz(a.repeat, rows)
    if a.only in (None, "effort"):
        efforts(a.repeat, rows)
    if a.json:
        import json

        with open(a.json, "w") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
