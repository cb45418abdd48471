"""Session-wide setup for the module tests.

Reports which build of ``_csv_rowvane_backend`` the session imports (the
installed one, or the ASan+UBSan one that scripts/test puts first on
PYTHONPATH), and refuses to run when ROWVANE_EXPECT_MODULE_DIR names a
directory the imported module does not come from.
"""

from __future__ import annotations

import os

import pytest


def _module_file() -> str:
    try:
        import _csv_rowvane_backend
    except ImportError as exc:
        return f"<import failed: {exc}>"
    return str(getattr(_csv_rowvane_backend, "__file__", "<no __file__>"))


def pytest_report_header(config: pytest.Config) -> str:
    return f"_csv_rowvane_backend: {_module_file()}"


def pytest_sessionstart(session: pytest.Session) -> None:
    expected = os.environ.get("ROWVANE_EXPECT_MODULE_DIR")
    if not expected:
        return
    found = _module_file()
    if not os.path.realpath(found).startswith(os.path.realpath(expected) + os.sep):
        raise pytest.UsageError(
            f"expected _csv_rowvane_backend from {expected}, imported {found}"
        )


# ---------------------------------------------------------------------------
# Shared helpers of the module tests.
# ---------------------------------------------------------------------------

import pathlib
import sys
from typing import Any, Callable

# The tests import the helper module rowvane_model from this folder, whatever
# import mode pytest runs in.
_HERE = str(pathlib.Path(__file__).resolve().parent)
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

#: The repository root (two levels above this file).
REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]
#: The shared corpus of damaged CSV files, beside the repository.
CORPUS_DIR = REPO_ROOT.parent / "shared" / "corpus"


@pytest.fixture
def write_input(tmp_path: pathlib.Path) -> Callable[..., str]:
    """Writes bytes to a new file under tmp_path and returns its path as str."""

    counter = [0]

    def write(data: bytes, name: str | None = None) -> str:
        if name is None:
            counter[0] += 1
            name = f"input{counter[0]}.csv"
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)

    return write


@pytest.fixture
def run_file(tmp_path: pathlib.Path) -> Callable[..., tuple[Any, bytes, bytes | None]]:
    """Runs rowvane_file over the given bytes.

    Returns (summary, output bytes, quarantine bytes or None). With
    quarantine=True a quarantine file is requested and read back.
    """
    import _csv_rowvane_backend as rv

    counter = [0]

    def run(data: bytes, quarantine: bool = False, **kwargs: Any):
        counter[0] += 1
        src = tmp_path / f"run{counter[0]}.csv"
        out = tmp_path / f"run{counter[0]}.out.csv"
        qpath = tmp_path / f"run{counter[0]}.quarantine.csv"
        src.write_bytes(data)
        if quarantine:
            kwargs["quarantine_path"] = str(qpath)
        summary = rv.rowvane_file(str(src), str(out), **kwargs)
        qbytes = qpath.read_bytes() if quarantine else None
        if not quarantine:
            assert not qpath.exists()
        return summary, out.read_bytes(), qbytes

    return run


@pytest.fixture
def read_rows(tmp_path: pathlib.Path) -> Callable[..., tuple[list[list[str]], Any]]:
    """Reads the given bytes through RowvaneReader; returns (rows, summary)."""
    import _csv_rowvane_backend as rv

    counter = [0]

    def read(data: bytes, **kwargs: Any):
        counter[0] += 1
        src = tmp_path / f"read{counter[0]}.csv"
        src.write_bytes(data)
        reader = rv.RowvaneReader(str(src), **kwargs)
        rows = list(reader)
        return rows, reader.summary

    return read


def summary_tuple(summary: Any) -> tuple[Any, ...]:
    """(detected_delimiter, total, rowvaned, repaired, quarantined, columns)."""
    return (
        summary.detected_delimiter,
        summary.total_rows,
        summary.rowvaned_rows,
        summary.repaired_rows,
        summary.quarantined_rows,
        summary.inferred_columns,
    )


@pytest.fixture
def as_tuple() -> Callable[[Any], tuple[Any, ...]]:
    return summary_tuple


def open_fd_count() -> int | None:
    """Number of open file descriptors of this process, None when unknown."""
    try:
        return len(os.listdir("/proc/self/fd"))
    except OSError:
        return None


@pytest.fixture
def fd_count() -> Callable[[], int | None]:
    return open_fd_count
