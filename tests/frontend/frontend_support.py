"""Helpers shared by the front-end tests."""

from __future__ import annotations

import pathlib
import subprocess
from collections.abc import Callable

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = REPO_ROOT / "samples" / "damaged.csv"

#: A small ragged file: header of 3 columns, one short row, one long row.
RAGGED = b"a,b,c\n1,2,3\n4,5\n6,7,8,9\n10,11,12\n"

Run = Callable[..., subprocess.CompletedProcess[bytes]]


def leftovers(directory: pathlib.Path) -> list[str]:
    """Temporary files a run left behind."""
    return sorted(p.name for p in directory.rglob("*") if ".rowvane-tmp" in p.name or "rowvane-" in p.name)
