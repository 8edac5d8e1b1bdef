"""Error bounds as absolute numbers, the form every search and codec takes.

Percent-of-range forms ("0.1%") are resolved against a channel by the
front ends before they get here."""
from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any, Optional


@dataclass(frozen=True)
class Bounds:
    max_error: Optional[float] = None
    rmse: Optional[float] = None
    prd: Optional[float] = None
    psnr: Optional[float] = None
    bits_per_sample: Optional[float] = None

    def __bool__(self) -> bool:
        return any(v is not None for v in asdict(self).values())

    def as_kwargs(self) -> dict[str, Any]:
        return {k: v for k, v in asdict(self).items() if v is not None}
