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


def slow_batch(directory: pathlib.Path, files: int = 60, rows: int = 200_000) -> list[pathlib.Path]:
    """``files`` inputs of ``rows`` ragged rows each (about 8 MB with the
    default), slow enough that a batch of them is still running a few
    seconds after its first output appears. The inputs are hard links to one
    file: quick to make, and each is a job of its own."""
    directory.mkdir(parents=True, exist_ok=True)
    first = directory / "f000.csv"
    first.write_bytes(b"a,b,c\n" + b"1,alpha,3.5\n4,5\n\"x\",\"y\"\"z\",w\n6,7,8,9\n" * (rows // 4))
    paths = [first]
    for i in range(1, files):
        path = directory / f"f{i:03d}.csv"
        path.hardlink_to(first)
        paths.append(path)
    return paths


def outputs_of(directory: pathlib.Path) -> dict[str, tuple[int, int]]:
    """Every file under ``directory`` (temporary ones included): its size
    and modification time."""
    if not directory.exists():
        return {}
    return {str(p.relative_to(directory)): (p.stat().st_size, p.stat().st_mtime_ns)
            for p in directory.rglob("*") if p.is_file()}
