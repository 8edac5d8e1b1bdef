"""Fast-effort compress and decompress of the speech rows that end in the
integer unit at max error 0.1 %, against pysz (absolute mode) in the same
process: CPU time, median of REPEAT alternated calls, printed as one JSON
list (a row per signal: coder, fast and thorough bytes, fast MB/s, and x
pysz for the fast compress and for decompressing the fast and the thorough
unit). Run it in two environments in turns to compare builds.

    python bench/integer_fast_rows.py [REPEAT]
"""
from __future__ import annotations

import json
import os
import statistics
import sys
import time
from typing import Callable, Dict, List

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import compare_codecs  # noqa: E402
import signals  # noqa: E402
from quillmere_tools import compress_to_target, decompress, metrics  # noqa: E402


def rows(repeat: int) -> List[Dict[str, object]]:
    sz = compare_codecs.Sz3()
    out: List[Dict[str, object]] = []
    for s in signals.all_signals():
        if not ("librivox" in s.name or "Side_Left" in s.name):
            continue
        x = s.load()
        bound = 1e-3 * metrics.signal_range(x)
        fast = compress_to_target(x, max_error=bound, effort="fast")
        thorough = compress_to_target(x, max_error=bound)
        assert metrics.max_abs_error(x, decompress(fast.unit)) <= bound
        blob = sz.encode(x, bound)
        calls: Dict[str, Callable[[], object]] = {
            "fast": lambda: compress_to_target(x, max_error=bound, effort="fast"),
            "sz": lambda: sz.encode(x, bound),
            "dec_fast": lambda: decompress(fast.unit),
            "dec_thorough": lambda: decompress(thorough.unit),
            "dec_sz": lambda: sz.decode(blob, bound, x.size),
        }
        times: Dict[str, List[float]] = {k: [] for k in calls}
        for _ in range(repeat):
            for k, call in calls.items():
                start = time.process_time()
                call()
                times[k].append(time.process_time() - start)
        m = {k: statistics.median(v) for k, v in times.items()}
        out.append({"signal": s.name, "coder": fast.settings.coder, "fast_bytes": fast.size,
                    "thorough_bytes": thorough.size, "fast_mb_s": 4e-6 * x.size / m["fast"],
                    "fast_x_sz": m["sz"] / m["fast"], "dec_fast_x_sz": m["dec_sz"] / m["dec_fast"],
                    "dec_thorough_x_sz": m["dec_sz"] / m["dec_thorough"]})
    return out


if __name__ == "__main__":
    print(json.dumps(rows(int(sys.argv[1]) if len(sys.argv) > 1 else 7)))
