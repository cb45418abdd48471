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


# Runs one blocked call in a child process, so that a call that cannot be
# interrupted fails the test by its timeout instead of hanging the suite. A
# SIGALRM handler (or, with "sigint" as the second argument, the default
# SIGINT handler, as on Ctrl-C) raises 0.3 s in; the child prints the
# exception that ended the call and what was on disk afterwards. The signal
# repeats until it has ended the call, as a user would press Ctrl-C again;
# one signal is enough (see the test of a busy run below).
BLOCKED_CHILD = r"""
import os, signal, subprocess, sys, time
import _csv_rowvane_backend as rv

case, how, fifo, work = sys.argv[1:5]


class Alarm(Exception):
    pass


def on_alarm(signum, frame):
    signal.setitimer(signal.ITIMER_REAL, 0)
    raise Alarm()


data = b"".join(b"%d;x;y\n" % i for i in range(200_000)) + b"short\n"
src = os.path.join(work, "in.csv")
with open(src, "wb") as f:
    f.write(data)
out = os.path.join(work, "out.csv")
kept_open = []
if case == "read-input":
    kept_open.append(os.open(fifo, os.O_RDWR))  # a writer that never writes
elif case in ("write-output", "write-quarantine", "write-quarantine-in-place"):
    kept_open.append(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))  # a reader that never reads

if how == "sigint":
    # From another process: a thread of this one would wait for the
    # interpreter lock, which the blocked call holds.
    sender = subprocess.Popen([sys.executable, "-c",
                               "import os, signal, time\n"
                               "time.sleep(0.3)\n"
                               "while True:\n"
                               f"    os.kill({os.getpid()}, signal.SIGINT)\n"
                               "    time.sleep(0.25)\n"])
else:
    signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.3, 0.25)
start = time.monotonic()
try:
    if case in ("open-input", "read-input"):
        if how == "reader":
            rv.RowvaneReader(fifo)
        else:
            rv.rowvane_file(fifo, out)
    elif case in ("open-output", "write-output"):
        rv.rowvane_file(src, fifo)
    elif case in ("open-quarantine", "write-quarantine"):
        rv.rowvane_file(src, out, fifo, expected_columns=2, fill_ragged_rows=False,
                        merge_overflow=False)
    elif case == "write-quarantine-in-place":
        rv.rowvane_file(src, src, fifo, expected_columns=2, fill_ragged_rows=False,
                        merge_overflow=False)
except BaseException as exc:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    outcome = type(exc).__name__
else:
    outcome = "returned"
signal.signal(signal.SIGINT, signal.SIG_IGN)
if how == "sigint":
    sender.kill()
    sender.wait()
signal.setitimer(signal.ITIMER_REAL, 0)
elapsed = time.monotonic() - start
with open(src, "rb") as f:
    input_kept = f.read() == data
names = sorted(n for n in os.listdir(work) if n not in ("in.csv", "out.csv"))
print(outcome, input_kept, ",".join(names) or "-", f"{elapsed:.1f}")
"""

# (case, how): what blocks, and through which entry point and signal.
BLOCKED_CASES = [
    ("open-input", "reader"),   # open(2) of a FIFO without a writer
    ("read-input", "reader"),   # read(2) from a writer that stays silent
    ("read-input", "sigint"),   # the same for rowvane_file, ended by Ctrl-C
    ("open-input", "file"),
    ("read-input", "file"),
    ("open-output", "file"),    # open(2) for writing without a reader
    ("write-output", "file"),   # write(2) to a reader that never reads
    ("open-quarantine", "file"),
    ("write-quarantine", "file"),
    # The output waits in a temporary file beside the input: it must go.
    ("write-quarantine-in-place", "file"),
]


@pytest.mark.parametrize(("case", "how"), BLOCKED_CASES,
                         ids=[f"{c}-{h}" for c, h in BLOCKED_CASES])
def test_raising_signal_handler_ends_a_blocked_call(case: str, how: str,
                                                    tmp_path: pathlib.Path) -> None:
    work = tmp_path / "work"
    work.mkdir()
    fifo = tmp_path / "pipe.fifo"
    os.mkfifo(fifo)
    proc = subprocess.run([sys.executable, "-c", BLOCKED_CHILD, case, how, str(fifo), str(work)],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    outcome, input_kept, leftovers, elapsed = proc.stdout.split()
    assert outcome == ("KeyboardInterrupt" if how == "sigint" else "Alarm")
    assert input_kept == "True"
    assert leftovers == "-"  # no temporary file left behind
    assert float(elapsed) < 30


# One signal that lands while the run is busy with its rows, where no system
# call is waiting to be interrupted: the run asks the interpreter before its
# next write, so the handler's exception ends the call there instead of after
# the whole file is written.
BUSY_CHILD = r"""
import os, signal, sys
import _csv_rowvane_backend as rv

src, out = sys.argv[1:3]


class Alarm(Exception):
    pass


def on_alarm(signum, frame):
    raise Alarm()


signal.signal(signal.SIGALRM, on_alarm)
signal.setitimer(signal.ITIMER_REAL, 0.02)  # once
try:
    rv.rowvane_file(src, out)
except Alarm:
    outcome = "Alarm"
else:
    outcome = "returned"
print(outcome, os.path.getsize(out) if os.path.exists(out) else 0)
"""


def test_one_signal_while_busy_ends_the_run_at_its_next_write(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "big.csv"
    block = b"".join(b"%d,some text here,%d,more text to make a longer line\n" % (i, i * 3)
                     for i in range(10_000))
    with open(src, "wb") as f:
        for _ in range(200):  # about 120 MB: the run takes far longer than 20 ms
            f.write(block)
    out = tmp_path / "out.csv"
    proc = subprocess.run([sys.executable, "-c", BUSY_CHILD, str(src), str(out)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    outcome, written = proc.stdout.split()
    assert outcome == "Alarm"
    assert int(written) < src.stat().st_size  # stopped well before the end
