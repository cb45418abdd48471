"""Inputs and outputs that are not regular files: a pipe whose size is not
known in advance, and reads and writes interrupted by signals."""

from __future__ import annotations

import fcntl
import os
import pathlib
import signal
import subprocess
import sys
from typing import Any, Iterator

import pytest

import _csv_rowvane_backend as rv

pytestmark = pytest.mark.skipif(not hasattr(os, "mkfifo") or not hasattr(signal, "setitimer"),
                                reason="needs named pipes and interval timers")

ROWS = 20_000
DATA = b"".join(b"%d;value %d;\xc3\xa9\n" % (i, i * 7) for i in range(ROWS))


def feed_pipe(fifo: pathlib.Path, first: bytes, rest: bytes, delay: float) -> subprocess.Popen[bytes]:
    """Starts a process that writes `first` at once and `rest` after `delay`.

    The pipe is opened here (read-write, so the open does not block) and the
    child inherits the only lasting writer end, so the module's open returns at
    once and its reads end when the child exits.
    """
    rest_file = fifo.with_name(fifo.name + ".rest")
    rest_file.write_bytes(rest)
    fd = os.open(fifo, os.O_RDWR)
    os.write(fd, first)
    code = ("import os, time\n"
            f"time.sleep({delay})\n"
            f"data = open({str(rest_file)!r}, 'rb').read()\n"
            "view = memoryview(data)\n"
            "while view:\n"
            f"    view = view[os.write({fd}, view):]\n")
    try:
        return subprocess.Popen([sys.executable, "-c", code], pass_fds=(fd,))
    finally:
        os.close(fd)


def drain_pipe(fifo: pathlib.Path, target: pathlib.Path, delay: float) -> subprocess.Popen[bytes]:
    """Starts a process that, after `delay`, copies the pipe into `target`.

    The read end is opened here without blocking and handed to the child, so
    the module's open for writing returns at once.
    """
    fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    flags = fcntl.fcntl(fd, fcntl.F_GETFL)
    fcntl.fcntl(fd, fcntl.F_SETFL, flags & ~os.O_NONBLOCK)
    code = ("import os, time\n"
            f"time.sleep({delay})\n"
            f"with open({str(target)!r}, 'wb') as out:\n"
            f"    while chunk := os.read({fd}, 65536):\n"
            "        out.write(chunk)\n")
    try:
        return subprocess.Popen([sys.executable, "-c", code], pass_fds=(fd,))
    finally:
        os.close(fd)


@pytest.fixture
def ticking() -> Iterator[list[int]]:
    """SIGALRM every 10 ms from 50 ms on, with a Python handler (no restart)."""
    hits = [0]

    def handler(signum: int, frame: Any) -> None:
        hits[0] += 1

    old = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.05, 0.01)
    try:
        yield hits
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        signal.signal(signal.SIGALRM, old)


def expected_rows() -> list[list[str]]:
    return [[str(i), f"value {i * 7}", "é"] for i in range(ROWS)]


@pytest.mark.parametrize("entry", ["RowvaneReader", "rowvane_file"])
def test_pipe_input_of_unknown_size(entry: str, tmp_path: pathlib.Path) -> None:
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    child = feed_pipe(fifo, DATA[:1000], DATA[1000:], delay=0.0)
    try:
        if entry == "RowvaneReader":
            reader = rv.RowvaneReader(str(fifo))
            assert list(reader) == expected_rows()
        else:
            out = tmp_path / "out.csv"
            summary = rv.rowvane_file(str(fifo), str(out))
            assert summary.total_rows == ROWS
            assert out.read_bytes() == DATA
    finally:
        assert child.wait(timeout=30) == 0


@pytest.mark.parametrize("entry", ["RowvaneReader", "rowvane_file"])
def test_interrupted_reads_are_repeated(entry: str, tmp_path: pathlib.Path,
                                        ticking: list[int]) -> None:
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    child = feed_pipe(fifo, DATA[:1000], DATA[1000:], delay=0.4)
    try:
        if entry == "RowvaneReader":
            reader = rv.RowvaneReader(str(fifo))
            rows = list(reader)
        else:
            out = tmp_path / "out.csv"
            rv.rowvane_file(str(fifo), str(out))
            rows = list(rv.RowvaneReader(str(out)))
    finally:
        assert child.wait(timeout=30) == 0
    assert ticking[0] > 0, "no signal arrived during the run"
    assert rows == expected_rows()


@pytest.mark.parametrize("role", ["output_path", "quarantine_path"])
def test_interrupted_writes_are_repeated(role: str, tmp_path: pathlib.Path,
                                         ticking: list[int]) -> None:
    # Far more than a pipe holds, so the writes block until the child reads.
    data = DATA * 4 + b"lonely\n"
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    fifo = tmp_path / "out.fifo"
    os.mkfifo(fifo)
    copy = tmp_path / "copy.csv"
    kwargs: dict[str, Any] = {"output_path": str(tmp_path / "out.csv")}
    if role == "quarantine_path":
        # Many quarantine records, so the quarantine writer blocks too.
        kwargs["expected_columns"] = 2
        kwargs["fill_ragged_rows"] = False
        kwargs["merge_overflow"] = False
    kwargs[role] = str(fifo)
    child = drain_pipe(fifo, copy, delay=0.4)
    try:
        summary = rv.rowvane_file(str(src), **kwargs)
    finally:
        assert child.wait(timeout=30) == 0
    assert ticking[0] > 0, "no signal arrived during the run"
    written = copy.read_bytes()
    if role == "output_path":
        assert written == data.replace(b"lonely\n", b"lonely;;\n")
    else:
        assert summary.quarantined_rows == 4 * ROWS + 1
        lines = written.split(b"\n")
        assert lines[0] == b"line,reason,raw_content"
        assert lines[1] == b'1,"Row has extra columns (expected 2)","0;value 0;\xc3\xa9"'
        assert lines[-2] == b'%d,"Row has too few columns (expected 2)","lonely"' % (4 * ROWS + 1)
        assert len(lines) == 4 * ROWS + 3
