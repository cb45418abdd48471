"""Setup shared by the reliability tests.

The module under test is required: a failed import is an error, not a skip.
Only the parts that read the shared corpus skip when it is absent.
"""

from __future__ import annotations

import os
import pathlib
import shutil
import tempfile
from collections.abc import Iterator

import pytest

import _csv_rowvane_backend  # noqa: F401  (fail loudly when the module is missing)

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus"


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "extreme: the largest inputs (about 100 MB each); deselect with -m 'not extreme'",
    )


@pytest.fixture
def corpus_dir() -> pathlib.Path:
    if not CORPUS.is_dir():
        pytest.skip(f"shared corpus not found at {CORPUS}")
    return CORPUS


def _memory_backed_dir(prefix: str) -> pathlib.Path | None:
    shm = pathlib.Path("/dev/shm")
    if shm.is_dir() and os.access(shm, os.W_OK):
        return pathlib.Path(tempfile.mkdtemp(prefix=prefix, dir=shm))
    return None


@pytest.fixture
def scratch(tmp_path: pathlib.Path) -> Iterator[pathlib.Path]:
    """A fresh directory, memory-backed where possible: rewriting a file on a
    disk file system can wait for the disk at every close, which would make
    the loops here slow for no gain."""
    path = _memory_backed_dir("rowvane-test-")
    if path is None:
        yield tmp_path
        return
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


@pytest.fixture(scope="module")
def module_scratch(tmp_path_factory: pytest.TempPathFactory) -> Iterator[pathlib.Path]:
    path = _memory_backed_dir("rowvane-test-") or tmp_path_factory.mktemp("rowvane")
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)
