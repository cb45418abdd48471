"""Batches on threads: one process, no guard in scripts, killing or
interrupting it ends everything and leaves no temporary file, other threads
keep running Python while files are repaired."""

from __future__ import annotations

import _thread
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time
from typing import Any

import pytest

import csv_rowvane
from csv_rowvane import _api, _batch

from frontend_support import RAGGED, leftovers, outputs_of, slow_batch


def _wait_for_output(out: pathlib.Path, proc: subprocess.Popen[bytes], timeout: float = 60) -> None:
    """Waits until the batch wrote its first output (a file renamed into
    place), while it is still running."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        assert proc.poll() is None, proc.communicate()
        if any(not name.startswith(".") for name in outputs_of(out)):
            return
        time.sleep(0.02)
    pytest.fail("the batch wrote nothing")


def _group_members(pgid: int) -> list[int]:
    """The processes whose process group is ``pgid``."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", encoding="ascii", errors="replace") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == pgid:  # state, ppid, pgrp
            members.append(int(entry))
    return members


def test_an_unguarded_script_runs_a_batch_without_starting_a_process(
    tmp_path: pathlib.Path, cli_env: dict[str, str]
) -> None:
    src = tmp_path / "in"
    src.mkdir()
    for name in ("a.csv", "b.csv", "c.csv"):
        (src / name).write_bytes(RAGGED)
    script = tmp_path / "script.py"
    script.write_text(
        "import sys\n"
        "import csv_rowvane\n"
        "started = []\n"
        "sys.addaudithook(lambda event, args: started.append(event)\n"
        "                 if event in ('os.fork', 'os.forkpty', 'os.posix_spawn', 'os.exec', 'subprocess.Popen')\n"
        "                 else None)\n"
        "batch = csv_rowvane.repair_many([sys.argv[1]], sys.argv[2], jobs=2)\n"
        "print(batch.files, len(batch.failures), batch.jobs, started)\n"
    )
    r = subprocess.run([sys.executable, str(script), str(src), str(tmp_path / "out")], capture_output=True,
                       env=cli_env, cwd=tmp_path, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.decode().split() == ["3", "0", "2", "[]"]
    assert r.stderr == b""
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.csv", "b.csv", "c.csv"]


def test_kill_9_mid_batch_ends_everything(tmp_path: pathlib.Path, cli_env: dict[str, str]) -> None:
    slow_batch(tmp_path / "in")
    out = tmp_path / "out"
    proc = subprocess.Popen(
        [sys.executable, "-m", "csv_rowvane", "repair", str(tmp_path / "in"), "-o", str(out), "--jobs", "2"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=cli_env, cwd=tmp_path, start_new_session=True,
    )
    try:
        _wait_for_output(out, proc)
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == -signal.SIGKILL
    assert _group_members(proc.pid) == []
    before = outputs_of(out)
    assert 0 < sum(not name.startswith(".") for name in before) < 60  # killed mid-batch
    time.sleep(2)
    assert outputs_of(out) == before


def test_ctrl_c_of_a_batch_exits_130_and_leaves_only_complete_outputs(
    tmp_path: pathlib.Path, cli_env: dict[str, str]
) -> None:
    inputs = slow_batch(tmp_path / "in")
    expected = tmp_path / "expected.csv"
    csv_rowvane.repair(inputs[0], expected)
    out = tmp_path / "out"
    proc = subprocess.Popen(
        [sys.executable, "-m", "csv_rowvane", "repair", str(tmp_path / "in"), "-o", str(out), "--jobs", "2"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=cli_env, cwd=tmp_path,
    )
    try:
        _wait_for_output(out, proc)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 130, err
    assert err.decode().splitlines()[-1] == "csv-rowvane: interrupted"
    assert leftovers(tmp_path) == []
    written = sorted(out.iterdir())
    assert 0 < len(written) < len(inputs)
    assert all(p.read_bytes() == expected.read_bytes() for p in written)


def test_an_interrupted_batch_gives_up_on_a_run_that_does_not_end(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    """A run blocked where no interrupt reaches it (a pipe nobody writes)
    is waited for GRACE seconds; then the batch raises, its temporary files
    removed."""
    src = tmp_path / "in"
    src.mkdir()
    for i in range(4):
        (src / f"{i}.csv").write_bytes(RAGGED)
    release = threading.Event()
    blocked = threading.Event()
    real = _batch.repair

    def repair(input: str, output: str, **options: Any) -> Any:
        if input.endswith("0.csv"):
            target = _api._Target(output)  # the temporary file a run makes first
            blocked.set()
            release.wait(60)
            target.discard()
        return real(input, output, **options)

    monkeypatch.setattr(_batch, "repair", repair)
    monkeypatch.setattr(_batch, "GRACE", 0.5)
    threading.Thread(target=lambda: blocked.wait(30) and _thread.interrupt_main(), daemon=True).start()
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            csv_rowvane.repair_many([src], tmp_path / "out", jobs=2)
        assert time.monotonic() - started < 10
        assert leftovers(tmp_path) == []
    finally:
        release.set()


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("error", [MemoryError(), RuntimeError("engine fault"), UnicodeError("odd text")])
def test_one_file_failing_in_any_way_fails_that_file_only(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, jobs: int, error: Exception
) -> None:
    src = tmp_path / "in"
    src.mkdir()
    for name in ("a.csv", "b.csv", "c.csv"):
        (src / name).write_bytes(RAGGED)
    real = _batch.repair

    def repair(input: str, output: str, **options: Any) -> Any:
        if input.endswith("b.csv"):
            raise error
        return real(input, output, **options)

    monkeypatch.setattr(_batch, "repair", repair)
    batch = csv_rowvane.repair_many([src], tmp_path / "out", jobs=jobs)
    assert [os.path.basename(r.input) for r in batch.reports] == ["a.csv", "c.csv"]
    assert [(os.path.basename(f.path), f.error_type) for f in batch.failures] == [("b.csv", type(error).__name__)]
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.csv", "c.csv"]


def test_another_thread_runs_python_while_files_are_repaired(tmp_path: pathlib.Path) -> None:
    inputs = slow_batch(tmp_path / "in", files=4, rows=3_000_000)
    started = time.perf_counter()
    csv_rowvane.repair(inputs[0], tmp_path / "one.csv")
    one_file = time.perf_counter() - started
    assert one_file > 0.2, "the inputs are too small to tell"

    stop = threading.Event()
    gaps: list[float] = []

    def count() -> None:
        last = time.perf_counter()
        longest = 0.0
        while not stop.is_set():
            now = time.perf_counter()
            longest = max(longest, now - last)
            last = now
        gaps.append(longest)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        batch = csv_rowvane.repair_many(inputs, tmp_path / "out", jobs=2)
    finally:
        stop.set()
        counter.join()
    assert batch.ok and batch.files == 4
    # The counter waits for the interpreter lock at most a few switch
    # intervals, never for a whole file's repair.
    assert gaps[0] < one_file / 4, (gaps, one_file)


@pytest.mark.parametrize("jobs", [1, 2])
def test_an_interrupted_batch_of_archives_stops_their_decompression(tmp_path: pathlib.Path,
                                                                    monkeypatch: pytest.MonkeyPatch,
                                                                    jobs: int) -> None:
    """Ctrl-C while archives are repaired as they are decompressed: the batch
    raises at once, every decompressing thread ends, no temporary file is
    left."""
    import gzip
    import tempfile

    from csv_rowvane import _compression

    private = tmp_path / "private-tmp"  # where the decompressed texts go
    private.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(private))
    src = tmp_path / "in"
    src.mkdir()
    rows = b"a,b,c\n" + b"1,\"two, 2\",3\n" * 1_500_000
    for i in range(4):
        (src / f"{i}.csv.gz").write_bytes(gzip.compress(rows, 1))
    started = threading.Event()
    real = _compression._core.growing_new

    def growing_new(size: int) -> Any:
        started.set()
        return real(size)

    monkeypatch.setattr(_compression._core, "growing_new", growing_new)
    threading.Thread(target=lambda: started.wait(30) and _thread.interrupt_main(), daemon=True).start()
    begun = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        csv_rowvane.repair_many([src], tmp_path / "out", jobs=jobs)
    assert time.monotonic() - begun < 20
    deadline = time.monotonic() + 5
    while any(t.name == "csv-rowvane-decompress" for t in threading.enumerate()) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not any(t.name == "csv-rowvane-decompress" for t in threading.enumerate())
    assert leftovers(tmp_path) == [] and list(private.iterdir()) == []


def test_a_private_file_is_known_to_the_batch_before_it_exists(tmp_path: pathlib.Path,
                                                               monkeypatch: pytest.MonkeyPatch) -> None:
    """An interrupt landing just after a temporary file was made leaves it
    in the job's collection, so the batch removes it."""
    from csv_rowvane import _tempfiles

    real_open = os.open

    def open_then_interrupt(path: str, flags: int, mode: int = 0o777) -> int:
        os.close(real_open(path, flags, mode))
        raise KeyboardInterrupt

    with _tempfiles.collect() as temporaries:
        made = _tempfiles.private_file("x-", directory=str(tmp_path))
        assert temporaries.paths() == [made] and os.stat(made).st_mode & 0o777 == 0o600
        monkeypatch.setattr(_tempfiles.os, "open", open_then_interrupt)
        with pytest.raises(KeyboardInterrupt):
            _tempfiles.private_file("y-", directory=str(tmp_path))
        monkeypatch.undo()
        assert len(temporaries.paths()) == 2
        temporaries.remove_all()
    assert list(tmp_path.iterdir()) == []
