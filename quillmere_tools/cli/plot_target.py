"""Checks on a figure's file name, made before the work that draws it: a
bad name, a folder that cannot be written or a missing matplotlib should
cost the user seconds, not the whole sweep."""
from __future__ import annotations

from pathlib import Path

from .._core import ToolError
from ..extras import require
from ..recordings.atomic_write import check_writable_folder
from ..recordings.signal import OutputError, already_exists


def check_png_target(path: str, force: bool) -> None:
    target = Path(path)
    if target.suffix.lower() != ".png":
        raise ToolError(f"{path}: the plot is written as PNG; use a .png file name")
    if target.is_dir():
        raise OutputError(f"{path} is a folder")
    if target.exists() and not force:
        raise already_exists(path)
    check_writable_folder(target)
    require("matplotlib")
