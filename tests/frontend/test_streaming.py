"""The streamed repair: the same bytes for any threads and block size, memory
by the block, progress per block, cancellation, and the Dask split of one
file into parts."""

from __future__ import annotations

import os
import pathlib
import random
import threading

import pytest

import _csv_rowvane_backend as _rv
import csv_rowvane
from csv_rowvane import _core

from frontend_support import Run

#: Past the 4 MiB head the layout is read from, so that the run streams.
BIG = 6 << 20


def _rows(rng: random.Random, n: int, damage: float) -> list[str]:
    rows = []
    for i in range(n):
        cells = [str(i), f"Name {rng.randint(0, 999)}", f'"{rng.randint(1, 99)} Main St, Town"',
                 f"20{rng.randint(10, 25)}-0{rng.randint(1, 9)}-1{rng.randint(0, 9)}", f"{rng.random() * 100:.2f}"]
        r = rng.random()
        if r < damage:
            cells[1] = '"' + cells[1]  # a stray quote
        elif r < 2 * damage:
            cells.append("surplus")
        elif r < 3 * damage:
            cells[2] = '"a quoted\nline break"'
        rows.append(",".join(cells))
    return rows


def _shape(name: str, size: int = BIG) -> bytes:
    """Files of the patterns the blocks must not change: quoted line breaks
    and stray quotes across blocks, CRLF, a record longer than a block, a
    byte-order mark, notes and blank rows below the table."""
    rng = random.Random(name)
    header = "id,name,address,date,amount"
    eol = "\r\n" if name == "crlf" else "\n"
    body: list[str] = []
    while sum(map(len, body)) < size:
        body += _rows(rng, 5000, 0.02 if name in ("damaged", "crlf") else 0.0)
    if name == "long record":
        body.insert(len(body) // 2, '7,"' + "x\n" * 400_000 + '",a,b,c')
    if name == "notes":
        body += ["", "", "Source: the survey office, 2021.", ""]
    text = header + eol + eol.join(body) + eol
    if name == "unclosed quote":
        text = text[: len(text) // 2] + '9,"never closed,' + text[len(text) // 2:]
    data = text.encode()
    return b"\xef\xbb\xbf" + data if name == "bom" else data


SHAPES = ["clean", "damaged", "crlf", "long record", "notes", "unclosed quote", "bom"]


@pytest.mark.parametrize("shape", SHAPES)
def test_the_same_bytes_for_any_threads_and_block_size(tmp_path: pathlib.Path, shape: str) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(_shape(shape))
    runs = {}
    for threads, block in ((1, 1 << 30), (1, 64 << 10), (2, 1 << 20), (3, 100_003)):
        d = tmp_path / f"{threads}-{block}"
        d.mkdir()
        report = csv_rowvane.repair(src, d / "out.csv", quarantine=d / "q.csv", changes=d / "c.csv",
                                    threads=threads, block_size=block)
        runs[(threads, block)] = (report, [(d / n).read_bytes() for n in ("out.csv", "q.csv", "c.csv")])
    (first, files), *rest = runs.values()
    assert first.blocks >= 1
    for report, other in rest:
        assert other == files
        a, b = first.to_dict(), report.to_dict()
        for key in ("output", "quarantine", "changes", "elapsed", "output_size", "blocks", "blocks_reparsed"):
            a.pop(key), b.pop(key)
        assert a == b
    assert runs[(1, 64 << 10)][0].blocks > BIG // (64 << 10)


@pytest.mark.parametrize("shape", ["damaged", "crlf", "long record", "unclosed quote", "bom"])
def test_the_basic_run_streams_the_engine_bytes(tmp_path: pathlib.Path, shape: str) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(_shape(shape))
    _rv.rowvane_file(str(src), str(tmp_path / "engine.csv"), str(tmp_path / "engine-q.csv"))
    for threads, block in ((1, 1 << 30), (3, 100_003)):
        report = csv_rowvane.repair(src, tmp_path / "out.csv", quarantine=tmp_path / "q.csv", detect="basic",
                                    threads=threads, block_size=block)
        assert (tmp_path / "out.csv").read_bytes() == (tmp_path / "engine.csv").read_bytes()
        assert (tmp_path / "q.csv").read_bytes() == (tmp_path / "engine-q.csv").read_bytes()
        assert report.total_rows > 100_000


def test_the_basic_check_streams_the_engine_counts(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(_shape("damaged", 2 << 20))
    engine = _rv.rowvane_file(str(src), str(tmp_path / "out.csv"))
    strict = _rv.rowvane_file(str(src), str(tmp_path / "strict.csv"), str(tmp_path / "q.csv"),
                              fill_ragged_rows=False, merge_overflow=False,
                              expected_columns=engine.inferred_columns, delimiter=engine.detected_delimiter)
    set_aside = (tmp_path / "q.csv").read_text().splitlines()[1:6]
    for threads, block in ((1, 1 << 30), (2, 65_537)):
        report = csv_rowvane.check(src, detect="basic", max_problems=5, threads=threads, block_size=block)
        assert (report.total_rows, report.repaired_rows, report.quarantined_rows) == (
            engine.total_rows, engine.repaired_rows, engine.quarantined_rows)
        assert report.problem_rows == strict.quarantined_rows > 5
        assert [p.line for p in report.problems] == [int(line.split(",")[0]) for line in set_aside]


# The reader: the engine reader's rows and counts, streamed.
@pytest.mark.parametrize("shape", ["damaged", "long record", "unclosed quote", "bom"])
def test_read_streams_the_engine_rows(tmp_path: pathlib.Path, shape: str) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(_shape(shape, 2 << 20))
    with _rv.open(str(src)) as engine:
        want = list(engine)
        want_summary = engine.summary.to_dict()
    for threads, block in ((1, 1 << 30), (2, 65_537)):
        with csv_rowvane.read(src, threads=threads, block_size=block) as reader:
            assert len(reader) == len(want)  # counted ahead: a run of its own
            assert reader.summary.to_dict() == want_summary
            assert next(reader) == want[0]
            assert list(reader) == want[1:]
            assert reader.summary.to_dict() == want_summary


@pytest.mark.parametrize(("name", "data", "kwargs", "rows"), [
    ("empty", b"", {}, []),
    ("blank lines", b"a,b\n\n1,2\n", {}, [["a", "b"], ["", ""], ["1", "2"]]),
    ("cp1252", "a;b\n1;Zo\u00eb\n".encode("cp1252"), {}, [["a", "b"], ["1", "Zoë"]]),
    ("stray byte", b"a,b\n1,\xff\n", {}, [["a", "b"], ["1", "\u00ff"]]),  # read in the fallback page
    ("given quote", b"a|'b|c'\n1|2\n", {"delimiter": "|", "quote_char": "'", "expected_columns": 2},
     [["a", "b|c"], ["1", "2"]]),
    ("strict", b"a,b\n1,2,3\n4\n", {"fill_ragged_rows": False, "merge_overflow": False}, [["1", "2", "3"]]),
])
def test_read_small_inputs(tmp_path: pathlib.Path, name: str, data: bytes, kwargs: dict[str, object],
                           rows: list[list[str]]) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    assert list(csv_rowvane.read(src, **kwargs)) == rows  # type: ignore[arg-type]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]  # no private text left behind


def test_read_stops_early_and_from_a_pipe(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(_shape("clean"))
    reader = csv_rowvane.read(src, threads=2, block_size=1 << 16)
    assert next(reader)[0] == "id"
    reader.close()  # the run stops at its next block
    assert list(reader) == []
    assert len(reader) > 50_000  # counted by a run of its own
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer = threading.Thread(target=lambda: fifo.write_bytes(b"a,b\n1,2\n"))
    writer.start()
    assert list(csv_rowvane.read(fifo)) == [["a", "b"], ["1", "2"]]
    writer.join()


def test_read_cancelled_or_dropped_mid_file(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(_shape("clean"))
    reader = csv_rowvane.read(src, threads=2, block_size=1 << 16)
    next(reader)
    _core.cancel_runs()  # the run stops at its next block; the rows already made are read first
    with pytest.raises(InterruptedError):
        for _ in reader:
            pass
    dropped = csv_rowvane.read(src, threads=2, block_size=1 << 16)
    next(dropped)
    del dropped  # its run is stopped and its thread joined, without a hang
    assert sum(1 for _ in csv_rowvane.read(src)) > 50_000  # later runs are not cancelled


@pytest.mark.parametrize("data", [
    "id,name\n1,Ren\xe9\n".encode("cp1252") + b"2,plain\n" * 700_000,
    "a,b\n1,\u00e9\n".encode("utf-16"),
], ids=["cp1252 past the head", "utf-16"])
def test_other_encodings_are_decoded_whole(tmp_path: pathlib.Path, data: bytes) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    report = csv_rowvane.repair(src, tmp_path / "out.csv", threads=2, block_size=1 << 16)
    assert report.blocks == 0 and report.encoding != "utf-8"
    assert "é" in (tmp_path / "out.csv").read_text(encoding="utf-8")


def test_progress_ticks_per_block_and_its_exception_stops_the_run(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(_shape("clean"))
    seen: list[tuple[int, int]] = []
    csv_rowvane.repair(src, tmp_path / "out.csv", block_size=256 << 10,
                       progress=lambda done, total: seen.append((done, total)))
    assert len(seen) > 5  # a tick a block past the head
    assert [d for d, _ in seen] == sorted(d for d, _ in seen)
    assert all(t == src.stat().st_size and d <= t for d, t in seen)
    check = csv_rowvane.check(src, block_size=1 << 20, progress=lambda d, t: seen.append((d, t)))
    assert check.total_rows > 0

    def boom(done: int, total: int) -> None:
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        csv_rowvane.repair(src, tmp_path / "never.csv", block_size=256 << 10, progress=boom)
    assert not (tmp_path / "never.csv").exists()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv", "out.csv"]


def test_a_cancelled_run_stops_mid_file_and_leaves_nothing(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(_shape("clean"))
    calls = []

    def cancel(done: int, total: int) -> None:
        calls.append(done)
        _core.cancel_runs()

    with pytest.raises(InterruptedError):
        csv_rowvane.repair(src, tmp_path / "out.csv", threads=2, block_size=256 << 10, progress=cancel)
    assert len(calls) == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


@pytest.mark.parametrize(("kwargs", "error"), [
    ({"threads": 0}, ValueError), ({"threads": 1.5}, TypeError), ({"block_size": 0}, ValueError),
    ({"block_size": True}, TypeError), ({"progress": 3}, TypeError),
])
def test_bad_stream_options(tmp_path: pathlib.Path, ragged: pathlib.Path, kwargs: dict[str, object],
                            error: type[Exception]) -> None:
    with pytest.raises(error):
        csv_rowvane.repair(ragged, tmp_path / "out.csv", **kwargs)  # type: ignore[arg-type]
    if "progress" in kwargs:
        return  # a batch's progress is its bar
    with pytest.raises(error):
        csv_rowvane.repair_many([ragged], tmp_path / "outs", **kwargs)


def test_command_line_threads(cli: Run, tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(_shape("damaged"))
    for n in ("1", "2"):
        done = cli("repair", src, "-o", f"out{n}.csv", "--threads", n, "--quiet")
        assert done.returncode == 0, done.stderr
    assert (tmp_path / "out1.csv").read_bytes() == (tmp_path / "out2.csv").read_bytes()
    assert cli("repair", src, "-o", "x.csv", "--threads", "0").returncode == 2
    assert b"--threads" in cli("repair", "--help").stdout


@pytest.mark.parametrize("shape", ["clean", "damaged", "crlf", "long record", "unclosed quote"])
def test_dask_splits_one_file_into_parts_and_joins_them(tmp_path: pathlib.Path, shape: str) -> None:
    distributed = pytest.importorskip("distributed")
    import csv_rowvane.dask

    src = tmp_path / "in.csv"
    src.write_bytes(_shape(shape, 14 << 20))
    local = csv_rowvane.repair(src, tmp_path / "local.csv", quarantine=tmp_path / "local.q.csv",
                               changes=tmp_path / "local.c.csv")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        remote = csv_rowvane.dask.repair_large(src, tmp_path / "dask.csv", client, quarantine=tmp_path / "dask.q.csv",
                                               changes=tmp_path / "dask.c.csv", part_size=4 << 20)
    for name in ("", ".q", ".c"):
        assert (tmp_path / f"dask{name}.csv").read_bytes() == (tmp_path / f"local{name}.csv").read_bytes(), name
    a, b = local.to_dict(), remote.to_dict()
    for key in ("output", "quarantine", "changes", "elapsed", "blocks", "blocks_reparsed"):
        a.pop(key), b.pop(key)
    assert a == b
    assert [p.name for p in tmp_path.iterdir() if p.name.endswith(".parts")] == []


def test_dask_parts_join_for_a_clean_file(tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> None:
    """The parts of a file without damage join: no local run."""
    distributed = pytest.importorskip("distributed")
    import csv_rowvane.dask

    src = tmp_path / "in.csv"
    src.write_bytes(_shape("clean", 14 << 20))

    def refuse(*args: object, **kwargs: object) -> None:
        raise AssertionError("the parts should have joined")

    monkeypatch.setattr(csv_rowvane.dask, "repair", refuse)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        report = csv_rowvane.dask.repair_large(src, tmp_path / "dask.csv", client, part_size=4 << 20)
    assert report.total_rows > 0
