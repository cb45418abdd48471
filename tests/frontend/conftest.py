"""Fixtures of the front-end tests: sample files and a CLI runner."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys

import pytest

# The tests import frontend_support from this folder, whatever import mode
# pytest runs in.
_HERE = str(pathlib.Path(__file__).resolve().parent)
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

from frontend_support import RAGGED, REPO_ROOT, Run  # noqa: E402


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
