"""The peak resident memory of one stretch of this process's work.

ru_maxrss is the high-water mark of the whole process: in a run of the whole
suite it carries the peaks of every test before (a compress of 10^7 samples,
the arenas of many threads), so a bound on its growth since import tests the
order of the tests rather than the code under them. Linux resets the mark
to the current RSS when "5" is written to /proc/self/clear_refs, and VmHWM
then reads the peak since. Where that file cannot be written, the growth is
taken from ru_maxrss at the start, which sees only peaks above every earlier
one.
"""
from __future__ import annotations

import resource


def _status_bytes(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise LookupError(f"/proc/self/status has no {field}")


def _max_rss() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


class PeakGrowth:
    """Made at the start of the stretch; ``bytes()`` is how far the peak
    RSS has risen above the RSS at that start."""

    def __init__(self) -> None:
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
            self._reset = True
            self._start = _status_bytes("VmRSS")
        except OSError:
            self._reset = False
            self._start = _max_rss()

    def bytes(self) -> int:
        peak = _status_bytes("VmHWM") if self._reset else _max_rss()
        return peak - self._start
