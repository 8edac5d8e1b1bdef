"""Long signals as blocks: what blocks cost in size, what two threads give one
signal, and what reading a small part of a long unit costs.

    python bench/blocks.py [--sections size,threads,range] [--repeat N]
                           [--lengths 65536,131072,...] [--range-samples N]

size     every signal of bench/signals.py coded as blocks of each candidate
         length against one container (the plain unit), default settings and
         max_error 0.1 % of the range; the extra bytes in percent.
threads  a 10^7-sample random walk compressed and decompressed on 1 and 2
         threads; the median wall-clock of --repeat runs (the machine may be
         shared, so single runs are noisy), the speed-up, and whether the
         bytes and samples are the same. Then the ceiling that the blocks'
         sizes set on two threads, and how a 2-thread decompress splits its
         CPU between the calling thread and the other, with the load average.
range    1 % of a --range-samples random walk (10^8 by default) decoded with
         start/stop, against the full decode: medians of wall-clock, and
         whether the part equals the same slice of the whole.
"""
from __future__ import annotations

import argparse
import os
import statistics
import sys
import time


sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import signals as bench_signals  # noqa: E402

import quillmere_tools as qt  # noqa: E402
from quillmere_tools.units import channel as frames  # noqa: E402

ONE_CONTAINER = frames.MAX_BLOCK_LENGTH


def median_time(fn, repeat: int) -> tuple[float, object]:
    times, result = [], None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), result


def interleaved(one, two, repeat: int) -> tuple[tuple[float, float], tuple[float, float], object, object]:
    """Median (wall, CPU) seconds of ``one`` and ``two`` run turn about, so
    that a change in the machine's load hits both alike."""
    runs: dict[int, list[tuple[float, float]]] = {0: [], 1: []}
    results: list[object] = [None, None]
    for _ in range(repeat):
        for k, fn in enumerate((one, two)):
            w0, c0 = time.perf_counter(), time.process_time()
            results[k] = fn()
            runs[k].append((time.perf_counter() - w0, time.process_time() - c0))
    med = [tuple(statistics.median(v[i] for v in runs[k]) for i in (0, 1)) for k in (0, 1)]
    return med[0], med[1], results[0], results[1]


def size_section(lengths: list[int]) -> None:
    print("size: extra bytes of blocks against one container, in percent "
          "(plain = the signal fits one block and is stored as before)")
    head = f"{'signal':26} {'samples':>10} {'bound':>9} {'one unit':>10} " + \
        " ".join(f"{n:>9}" for n in lengths)
    print(head)
    worst = {n: 0.0 for n in lengths}
    for s in bench_signals.all_signals():
        x = s.load()
        for label, bound in (("default", {}), ("0.1%", {"max_error": "0.1%"})):
            one = len(qt.compress_many([x], block_length=ONE_CONTAINER, **bound)[0])
            cells = []
            for n in lengths:
                if x.size <= n:
                    cells.append(f"{'plain':>9}")
                    continue
                size = len(qt.compress_many([x], block_length=n, **bound)[0])
                extra = 100.0 * (size - one) / one
                worst[n] = max(worst[n], extra)
                cells.append(f"{extra:>+9.3f}")
            print(f"{s.name:26} {x.size:>10} {label:>9} {one:>10} " + " ".join(cells))
    print(f"{'worst':26} {'':>10} {'':>9} {'':>10} " + " ".join(f"{worst[n]:>+9.3f}" for n in lengths))


def thread_section(repeat: int) -> None:
    x = bench_signals.random_walk()
    print(f"threads: one signal of {x.size} samples, block length {frames.DEFAULT_BLOCK_LENGTH}, "
          f"median of {repeat} runs (wall-clock; shared machine)")
    mb = x.nbytes / 1e6
    (t1, c1), (t2, c2), u1, u2 = interleaved(lambda: qt.compress_many([x], threads=1)[0],
                                             lambda: qt.compress_many([x], threads=2)[0], repeat)
    print(f"  compress    1 thread {t1:7.3f} s ({mb / t1:6.1f} MB/s, CPU {c1:6.3f} s)   "
          f"2 threads {t2:7.3f} s ({mb / t2:6.1f} MB/s, CPU {c2:6.3f} s)   "
          f"speed-up {t1 / t2:4.2f}x   same bytes: {u1 == u2}")
    (d1, e1), (d2, e2), y1, y2 = interleaved(lambda: qt.decompress(u1, threads=1),
                                             lambda: qt.decompress(u1, threads=2), repeat)
    print(f"  decompress  1 thread {d1:7.3f} s ({mb / d1:6.1f} MB/s, CPU {e1:6.3f} s)   "
          f"2 threads {d2:7.3f} s ({mb / d2:6.1f} MB/s, CPU {e2:6.3f} s)   "
          f"speed-up {d1 / d2:4.2f}x   same samples: {y1.tobytes() == y2.tobytes()}")
    layout = frames.unit_layout(u1)
    sizes = [min(layout.block_length, layout.sample_count - k * layout.block_length)
             for k in range(len(layout.block_bytes))]
    print(f"  {len(sizes)} blocks: two threads taking them in order finish after "
          f"{two_thread_span(sizes) / max(sizes):.2f} blocks of work, a ceiling of "
          f"{sum(sizes) / two_thread_span(sizes):.2f}x")
    own, other = split_cpu(lambda: qt.decompress(u1, threads=2), repeat)
    print(f"  decompress on 2 threads, median CPU: calling thread {own:6.3f} s, the other {other:6.3f} s; "
          f"load average {os.getloadavg()[0]:.2f}")


def two_thread_span(sizes: list[int]) -> int:
    """When the later of two threads finishes, each taking the next block
    as soon as it is free and a block's time going with its samples."""
    ends = [0, 0]
    for n in sizes:
        ends[ends.index(min(ends))] += n
    return max(ends)


def split_cpu(fn, repeat: int) -> tuple[float, float]:
    """Median CPU seconds of ``fn`` on the calling thread and on all others."""
    own, other = [], []
    for _ in range(repeat):
        p0, t0 = time.process_time(), time.thread_time()
        fn()
        t = time.thread_time() - t0
        own.append(t)
        other.append(time.process_time() - p0 - t)
    return statistics.median(own), statistics.median(other)


def range_section(samples: int, repeat: int) -> None:
    x = bench_signals.random_walk(samples)
    t0 = time.perf_counter()
    unit = qt.compress_many([x])[0]
    encode = time.perf_counter() - t0
    del x
    start = samples // 2
    stop = start + samples // 100
    print(f"range: {samples} samples ({len(unit) / 1e6:.1f} MB unit, encoded in {encode:.1f} s), "
          f"samples {start}..{stop} (1 %), median of {repeat} runs, all threads")
    full_t, whole = median_time(lambda: qt.decompress(unit), repeat)
    part_t, part = median_time(lambda: qt.decompress(unit, start=start, stop=stop), repeat)
    print(f"  full decode {full_t:7.3f} s   1 % decode {part_t:7.4f} s   "
          f"= {100 * part_t / full_t:5.2f} % of the full time   "
          f"equal to the slice: {part.tobytes() == whole[start:stop].tobytes()}")


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sections", default="size,threads,range")
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--lengths", default="262144,524288,1048576,2097152,4194304")
    p.add_argument("--range-samples", type=int, default=100_000_000)
    args = p.parse_args(argv)
    sections = args.sections.split(",")
    if "size" in sections:
        size_section([int(v) for v in args.lengths.split(",")])
    if "threads" in sections:
        thread_section(args.repeat)
    if "range" in sections:
        range_section(args.range_samples, args.repeat)
    return 0


if __name__ == "__main__":
    sys.exit(main())
