"""Instructions a fast bounded compress executes against a plain compress of
its settled options, per native function, printed (not a timed test).

Time on a shared machine swings by half between processes; instruction
counts do not. For each signal and bound this runs, under valgrind's
callgrind, a process that calls
compress_to_target(x, max_error=fraction * range, effort="fast") and one
that calls encode_channel(x, settings) with the settings that call settled
on, counting only inside the native encode (quillmere_tools::encode_unit).
Each is run with 1 and with 1 + --calls calls and the two subtracted, so
that the first call's one-time work drops out. Functions are grouped by
what they are for: the coding, the transforms, quantising, the judgement
in the decoder's arithmetic, the corrections, the integer-unit prediction
and the rest. memset and memcpy are listed apart: valgrind counts every
byte of a `rep stos`/`rep movs` as one instruction, so their counts stand
for bytes written, not for time.

Native function names need the unstripped extension of a build
(build/<wheel tag>/quillmere_tools_py/_native*.so after `pip install .`):
the installed package is copied to a temporary folder with that extension in
place of the stripped one, and the measured processes import that copy.

    python bench/bounded_instructions.py \\
        --native build/cp311-cp311-linux_x86_64/quillmere_tools_py/_native.cpython-311-x86_64-linux-gnu.so \\
        [--only alsa/Front_Center ...] [--fractions 0.001 0.01] [--calls 4] [--top 12]
"""
from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from collections import defaultdict
from typing import Dict, List, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

# The fast bounded call; a plain compress at the settings it reports (the
# dead zone of their scale applied); a plain compress of the very layer the
# bounded unit holds (the same multiplier, rounded without a dead zone).
MODES = ["bounded", "plain", "same layer"]
TOGGLE = "quillmere_tools::encode_unit*"
# What each native function is for, by the first pattern its name matches.
GROUPS: List[Tuple[str, str]] = [
    ("memset/memcpy (bytes)", r"__mem(set|cpy|move)"),
    ("corrections", r"quillmere::corrections::"),
    ("judgement", r"lane_sums|judge|corrected_distortion|reference_of"),
    ("integer-unit prediction", r"predict_bits_of|bit_spans|plan_integer"),
    ("coding", r"quillmere::fast::|cmodel::|crc32"),
    ("inverse transform", r"inverse|idwt|synthesise|dequantise|denormalise"),
    ("forward transform", r"wavelet::|scaled_and_summed|remove_mean|decompose"),
    ("quantising", r"quantise|count_small|extremes|dead_zone"),
]


def worker(path: str, fraction: float, mode: str, calls: int) -> None:
    import numpy as np
    from quillmere_tools import compress_to_target
    from quillmere_tools.units import channel

    x = np.load(path)
    span = float(np.max(x)) - float(np.min(x))
    res = compress_to_target(x, max_error=fraction * span, effort="fast")
    settings = res.settings
    if mode == "same layer":
        from bounded_bench import layer_settings

        layer = layer_settings(x, res)
        if layer is None:
            raise SystemExit(f"no plain compress codes the layer of the unit at {settings}")
        settings = layer
    for _ in range(calls):
        if mode == "bounded":
            compress_to_target(x, max_error=fraction * span, effort="fast")
        else:
            channel.encode_channel(x, settings)


def function_counts(out_file: str) -> Dict[str, int]:
    text = subprocess.run(["callgrind_annotate", "--threshold=100", out_file],
                          capture_output=True, text=True, check=True).stdout
    counts: Dict[str, int] = defaultdict(int)
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(.*)", line)
        if not m or "PROGRAM TOTALS" in line:
            continue
        name = m.group(2).replace("(anonymous namespace)", "anon")
        name = re.sub(r"\s*\[/.*", "", name)
        clone = re.search(r"\[clone ([^\]]*)\]", name)
        name = re.sub(r"\(.*", "", name).removeprefix("???:")
        counts[name + (f" [{clone.group(1)}]" if clone else "")] += int(m.group(1).replace(",", ""))
    return counts


def measured(python: str, env: Dict[str, str], npy: str, fraction: float, mode: str,
             calls: int, folder: str) -> Dict[str, float]:
    """Instructions per call by function: (1 + calls) calls less 1 call."""
    runs = []
    for n in (0, calls):
        out = os.path.join(folder, f"cg.{mode.replace(' ', '_')}.{n}.out")
        cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no", f"--toggle-collect={TOGGLE}",
               f"--callgrind-out-file={out}", python, os.path.abspath(__file__), "--worker", npy,
               "--fractions", str(fraction), "--mode", mode, "--calls", str(n)]
        done = subprocess.run(cmd, env=env, cwd=folder, capture_output=True, text=True)
        if done.returncode != 0:
            raise SystemExit(f"callgrind run failed:\n{done.stderr[-2000:]}")
        runs.append(function_counts(out))
    first, more = runs
    return {k: (more.get(k, 0) - first.get(k, 0)) / calls for k in set(first) | set(more)}


def wavelet_unit(signal, fraction: float) -> bool:
    import numpy as np
    from quillmere_tools import compress_to_target

    x = signal.load()
    span = float(np.max(x)) - float(np.min(x))
    return compress_to_target(x, max_error=fraction * span, effort="fast").settings.coder != "integer"


def group_of(name: str) -> str:
    for label, pattern in GROUPS:
        if re.search(pattern, name):
            return label
    return "the rest"


def report(name: str, fraction: float, counts: Dict[str, Dict[str, float]], top: int) -> None:
    modes = list(counts)
    print(f"\n{name} at max error {100 * fraction:g} % of range: thousand instructions per call")
    grouped: Dict[str, Dict[str, float]] = defaultdict(lambda: defaultdict(float))
    names = set().union(*counts.values())
    for k in names:
        for mode in modes:
            grouped[group_of(k)][mode] += counts[mode].get(k, 0.0)
    print(f"   {'':<30}" + "".join(f"{mode:>12}" for mode in modes))
    order = [label for label, _ in GROUPS] + ["the rest"]
    for label in order:
        if label in grouped:
            print(f"   {label:<30}" + "".join(f"{grouped[label][mode] / 1e3:12.0f}" for mode in modes))
    totals = {mode: sum(g[mode] for label, g in grouped.items() if label != order[0]) for mode in modes}
    print(f"   {'total without memset/memcpy':<30}" + "".join(f"{totals[m] / 1e3:12.0f}" for m in modes))
    print("   " + ", ".join(f"{mode}/bounded {totals[mode] / totals['bounded']:.2f}" for mode in modes[1:]))
    rows = sorted(names, key=lambda k: -max(counts[mode].get(k, 0.0) for mode in modes))
    print(f"   largest functions ({top}):")
    for k in rows[:top]:
        print("   " + "".join(f"{counts[mode].get(k, 0.0) / 1e3:12.0f}" for mode in modes) + f"  {k[:90]}")


def package_with(native: str, folder: str) -> str:
    """A copy of the installed package whose extension is `native`."""
    import quillmere_tools

    source = os.path.dirname(quillmere_tools.__file__)
    target = os.path.join(folder, "pkg", "quillmere_tools")
    shutil.copytree(source, target)
    installed = [f for f in os.listdir(target) if f.startswith("_native") and f.endswith(".so")]
    if len(installed) != 1:
        raise SystemExit(f"expected one _native*.so in {source}, found {installed}")
    shutil.copyfile(native, os.path.join(target, installed[0]))
    return os.path.dirname(target)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--native", help="the unstripped _native*.so of this build (for function names)")
    p.add_argument("--only", nargs="+", default=["alsa/Front_Center", "sphinx/librivox-0870"],
                   help="signal names from bench/signals.py")
    p.add_argument("--fractions", type=float, nargs="+", default=[0.001, 0.01])
    p.add_argument("--calls", type=int, default=4)
    p.add_argument("--top", type=int, default=12, help="functions listed per case")
    p.add_argument("--worker", help=argparse.SUPPRESS)
    p.add_argument("--mode", choices=MODES, help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.worker:
        worker(args.worker, args.fractions[0], args.mode, args.calls)
        return
    if args.calls < 1:
        p.error("--calls must be at least 1")
    if shutil.which("valgrind") is None or shutil.which("callgrind_annotate") is None:
        raise SystemExit("valgrind is not installed (apt-get install valgrind)")
    if args.native and not os.path.isfile(args.native):
        p.error(f"--native: no file {args.native}")

    import numpy as np
    import signals as bench_signals

    chosen = {s.name: s for s in bench_signals.all_signals() if s.name in args.only}
    missing = [n for n in args.only if n not in chosen]
    if missing:
        p.error(f"no signal named {', '.join(missing)}")
    with tempfile.TemporaryDirectory() as folder:
        env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
        if args.native:
            env["PYTHONPATH"] = package_with(args.native, folder)
        for name in args.only:
            npy = os.path.join(folder, "signal.npy")
            np.save(npy, chosen[name].load())
            for fraction in args.fractions:
                if not wavelet_unit(chosen[name], fraction):
                    print(f"\n{name} at max error {100 * fraction:g} % of range: an integer unit, "
                          "which has no wavelet layer to compare")
                    continue
                modes = MODES
                counts = {mode: measured(sys.executable, env, npy, fraction, mode, args.calls, folder)
                          for mode in modes}
                report(name, fraction, counts, args.top)


if __name__ == "__main__":
    main()
