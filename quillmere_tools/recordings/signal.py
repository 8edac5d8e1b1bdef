"""One recording in memory, and the errors its readers and writers raise.

A reader turns every problem into a one-line ``InputError``, a writer into
an ``OutputError``; both are ToolErrors the command line shows as they are.
"""
from __future__ import annotations

from typing import Any

import numpy as np

from .._core import ToolError


class InputError(ToolError):
    pass


class OutputError(ToolError):
    pass


def already_exists(name: object) -> OutputError:
    """The one refusal to replace an existing output."""
    return OutputError(f"{name} already exists (use --force to overwrite)")


def reason_text(exc: BaseException) -> str:
    """An exception as the end of a one-line message: an OS error by its
    description, anything else by its last line."""
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror.lower()
    text = str(exc).strip().splitlines()
    return text[-1] if text else type(exc).__name__


class Signal:
    """Samples as a (frames, channels) array plus what is needed to write the
    file back in its original form.

    Recordings whose channels run at different rates (EDF, multi-rate WFDB)
    hold one 1-D array per channel instead; ``channel(i)`` reads either form.
    Per-channel metadata (label, unit, sample rate, physical range) lives in
    ``meta["channel_info"]``, one dict per channel."""

    def __init__(self, samples: np.ndarray | list[np.ndarray], meta: dict[str, Any] | None = None):
        if isinstance(samples, np.ndarray):
            if samples.ndim != 2:
                raise ValueError(f"expected (frames, channels) samples, got shape {samples.shape}")
        else:
            samples = [np.asarray(c) for c in samples]
            if samples and len({c.size for c in samples}) == 1:
                samples = np.stack(samples, axis=1)
        self.samples = samples
        self.meta = dict(meta or {})
        # Bytes of the source when they are not one file's size (a WFDB
        # record's header and signal files); None otherwise.
        self.source_bytes: int | None = None

    @property
    def ragged(self) -> bool:
        return not isinstance(self.samples, np.ndarray)

    @property
    def channels(self) -> int:
        return len(self.samples) if self.ragged else self.samples.shape[1]

    @property
    def frames(self) -> int | None:
        """Samples per channel, or None when the channels' lengths differ."""
        return None if self.ragged else self.samples.shape[0]

    def channel(self, i: int) -> np.ndarray:
        return self.samples[i] if self.ragged else self.samples[:, i]

    @property
    def lengths(self) -> list[int]:
        return [self.channel(i).size for i in range(self.channels)]
