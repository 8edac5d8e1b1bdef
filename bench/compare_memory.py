"""Peak resident growth of one compress or decompress call, measured in a
fresh interpreter so that nothing the bench holds counts."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from typing import Any, Dict

HERE = os.path.dirname(os.path.abspath(__file__))

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
