"""Shared setup of the front-end tests: sample files and a CLI runner."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
from collections.abc import Callable

import pytest

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = REPO_ROOT / "samples" / "damaged.csv"

#: A small ragged file: header of 3 columns, one short row, one long row.
RAGGED = b"a,b,c\n1,2,3\n4,5\n6,7,8,9\n10,11,12\n"


@pytest.fixture
def ragged(tmp_path: pathlib.Path) -> pathlib.Path:
    p = tmp_path / "ragged.csv"
    p.write_bytes(RAGGED)
    return p


def _env() -> dict[str, str]:
    env = dict(os.environ)
    # The package under test: the source tree when it is not installed.
    try:
        import csv_rowvane

        pkg_root = str(pathlib.Path(csv_rowvane.__file__).resolve().parents[1])
    except ImportError:  # pragma: no cover
        pkg_root = str(REPO_ROOT)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (pkg_root, env.get("PYTHONPATH", "")) if p)
    env.pop("COLUMNS", None)
    return env


Run = Callable[..., subprocess.CompletedProcess[bytes]]


@pytest.fixture
def cli(tmp_path: pathlib.Path) -> Run:
    """Runs ``python -m csv_rowvane ARGS...`` in tmp_path; returns the
    completed process (bytes stdout/stderr)."""

    def run(*args: str | os.PathLike[str], input: bytes | None = None, timeout: float = 120,
            cwd: pathlib.Path | None = None) -> subprocess.CompletedProcess[bytes]:
        return subprocess.run(
            [sys.executable, "-m", "csv_rowvane", *map(os.fspath, args)],
            input=input, capture_output=True, cwd=cwd or tmp_path, env=_env(), timeout=timeout,
        )

    return run


@pytest.fixture
def cli_env() -> dict[str, str]:
    return _env()


def leftovers(directory: pathlib.Path) -> list[str]:
    """Temporary files a run left behind."""
    return sorted(p.name for p in directory.rglob("*") if ".rowvane-tmp" in p.name or "rowvane-" in p.name)
