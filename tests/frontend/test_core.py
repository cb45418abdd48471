"""The front end's native module: its runs release the interpreter lock,
stop when cancelled or interrupted, and fail naming the file that failed."""

from __future__ import annotations

import errno
import os
import pathlib
import signal
import threading
from typing import Any

import pytest

import csv_rowvane
from csv_rowvane import _core, _encoding

# A few MiB of plain rows: the run checks for interruption every MiB.
ROWS = "".join(f"{i},name {i},city {i % 97},2026-12-{1 + i % 28:02d},{i * 7 % 1000}.25\n" for i in range(120_000))


@pytest.fixture(scope="module")
def big(tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    path = tmp_path_factory.mktemp("big") / "big.csv"
    # cp1252 text, so that the run asks the page chooser in the middle of it
    path.write_bytes(("id,name,city,date,amount\n" + ROWS.replace("name 1", "Renée 1")).encode("cp1252"))
    return path


@pytest.mark.parametrize("detect", ["auto", "basic"])
@pytest.mark.parametrize(
    ("case", "error", "names"),
    [
        ("missing input", FileNotFoundError, "input"),
        ("input is a directory", IsADirectoryError, "input"),
        ("output folder missing", FileNotFoundError, "output"),
        ("output is /dev/full", OSError, "output"),
    ],
)
def test_failures_name_their_file(tmp_path: pathlib.Path, detect: str, case: str, error: type[OSError],
                                  names: str) -> None:
    inp, out = tmp_path / "in.csv", tmp_path / "out.csv"
    inp.write_text("a,b\n1,2\n")
    if case == "missing input":
        inp.unlink()
    elif case == "input is a directory":
        inp.unlink()
        inp.mkdir()
    elif case == "output folder missing":
        out = tmp_path / "gone" / "out.csv"
    elif not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    else:
        out = pathlib.Path("/dev/full")
    with pytest.raises(error) as info:
        csv_rowvane.repair(inp, out, detect=detect)  # type: ignore[arg-type]
    e = info.value
    assert e.filename == str(inp if names == "input" else out)
    assert e.errno is not None and e.strerror == os.strerror(e.errno)
    if case == "output is /dev/full":
        assert e.errno == errno.ENOSPC
    assert not [p for p in tmp_path.rglob("*") if "rowvane-tmp" in p.name]


def test_a_failing_side_file_is_named(tmp_path: pathlib.Path) -> None:
    (tmp_path / "in.csv").write_text("a,b\n1,2,3\n")
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    with pytest.raises(OSError) as info:
        csv_rowvane.repair(tmp_path / "in.csv", tmp_path / "out.csv", quarantine="/dev/full", merge_overflow=False)
    assert (info.value.errno, info.value.filename) == (errno.ENOSPC, "/dev/full")


def test_python_runs_in_another_thread_during_a_repair(big: pathlib.Path, tmp_path: pathlib.Path) -> None:
    ticks = 0
    stop = threading.Event()

    def count() -> None:
        nonlocal ticks
        while not stop.is_set():
            ticks += 1

    counter = threading.Thread(target=count)
    counter.start()
    try:
        seen: list[int] = []

        def chooser(*args: Any) -> Any:
            seen.append(ticks)
            return _encoding.choose_page(*args)

        # The chooser runs between reading and repairing: from then to the
        # end of the run, the counter must keep counting.
        _core.repair_file(str(big), str(tmp_path / "out.csv"), page_chooser=chooser)
        after = ticks
    finally:
        stop.set()
        counter.join()
    assert seen and after - seen[0] > 1000


@pytest.mark.parametrize("how", ["cancel_runs", "SIGINT"])
def test_a_run_stops_inside_the_parse(big: pathlib.Path, tmp_path: pathlib.Path, how: str) -> None:
    """Cancelled (from any thread) or interrupted (Ctrl-C on the main thread)
    while it reads rows, a run ends there; nothing is left behind."""
    out = tmp_path / "out.csv"

    def chooser(*args: Any) -> Any:
        if how == "cancel_runs":
            _core.cancel_runs()
        else:
            os.kill(os.getpid(), signal.SIGINT)
        return _encoding.choose_page(*args)

    expected: type[BaseException] = InterruptedError if how == "cancel_runs" else KeyboardInterrupt
    original = _encoding.choose_page
    try:
        csv_rowvane._api.choose_page = chooser  # type: ignore[attr-defined]
        with pytest.raises(expected):
            csv_rowvane.repair(big, out)
    finally:
        csv_rowvane._api.choose_page = original  # type: ignore[attr-defined]
    assert not out.exists() and list(tmp_path.iterdir()) == []
    # Later runs are not affected.
    assert csv_rowvane.repair(big, out).total_rows > 100_000


def test_check_counts_in_memory(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "in.csv"
    path.write_text("a,b,c\n1,2\n3,4,5,6\n7,8,9\n")
    for detect, actions in (("auto", ["padded", "merged"]), ("basic", ["padded", "merged"])):
        report = csv_rowvane.check(path, detect=detect)  # type: ignore[arg-type]
        assert [p.action for p in report.problems] == actions and report.problem_rows == 2
        assert [p.line for p in report.problems] == [2, 3]
    report = csv_rowvane.check(path, max_problems=1)
    assert len(report.problems) == 1 and report.problem_rows == 2
