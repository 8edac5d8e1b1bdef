"""Checks on a figure's file name, made before the work that draws it."""
from __future__ import annotations

from pathlib import Path

from .._core import ToolError
from ..io import OutputError


def check_png_target(path: str, force: bool) -> None:
    target = Path(path)
    if target.suffix.lower() != ".png":
        raise ToolError(f"{path}: the plot is written as PNG; use a .png file name")
    parent = target.parent if str(target.parent) else Path(".")
    if not parent.is_dir():
        raise OutputError(f"output folder does not exist: {parent}")
    if target.exists() and not force:
        raise OutputError(f"{path} already exists (use --force to overwrite)")
