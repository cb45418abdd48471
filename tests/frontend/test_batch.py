"""Batches: planning, failures, ordering, parallel runs, standard input and
output, checks, Dask."""

from __future__ import annotations

import io
import json
import os
import pathlib
import sys

import pytest

import csv_rowvane
from csv_rowvane import BatchReport, _batch

from frontend_support import RAGGED, leftovers


def make_tree(root: pathlib.Path) -> list[str]:
    """A directory of inputs: nested folders, files that match and files that
    do not; returns the matching files' paths relative to root, sorted."""
    files = {
        "a.csv": RAGGED,
        "b.TSV": b"x\ty\n1\t2\n3\n",
        "notes.md": b"# not a table\n",
        "sub/c.txt": b"p;q;r\n1;2;3;4\n",
        "sub/deeper/d.csv": b"h1,h2\n1,2\n",
    }
    for rel, data in files.items():
        p = root / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)
    return sorted(r for r in files if not r.endswith(".md"))


@pytest.mark.parametrize("jobs", [1, 2])
def test_directory_layout_is_mirrored_in_input_order(tmp_path: pathlib.Path, jobs: int) -> None:
    src = tmp_path / "in"
    rels = make_tree(src)
    batch = csv_rowvane.repair_many([src], tmp_path / "out", quarantine_dir=tmp_path / "q", jobs=jobs,
                                    fill_ragged_rows=False)
    assert isinstance(batch, BatchReport) and batch.ok
    assert [os.path.relpath(r.input, src) for r in batch.reports] == sorted(rels, key=lambda r: r.split("/"))
    for r in batch.reports:
        rel = os.path.relpath(r.input, src)
        single = csv_rowvane.repair(r.input, tmp_path / "single.csv", quarantine=tmp_path / "single.q.csv",
                                    fill_ragged_rows=False)
        assert pathlib.Path(r.output).read_bytes() == (tmp_path / "single.csv").read_bytes()
        assert r.output == str(tmp_path / "out" / rel)
        assert pathlib.Path(r.quarantine or "").read_bytes() == (tmp_path / "single.q.csv").read_bytes()
        assert r.total_rows == single.total_rows
    assert batch.total_rows == sum(r.total_rows for r in batch.reports)
    assert batch.jobs == jobs
    d = batch.to_dict()
    assert json.loads(json.dumps(d)) == d and d["totals"]["files"] == 4
    assert leftovers(tmp_path) == []


def test_one_failure_never_stops_the_others(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in"
    make_tree(src)
    (src / "dangling.csv").symlink_to(src / "gone.csv")
    locked = src / "sub" / "locked"
    locked.mkdir()
    (locked / "x.csv").write_bytes(b"a\n")
    os.chmod(locked, 0)
    try:
        batch = csv_rowvane.repair_many([src, tmp_path / "missing.csv", src / "a.csv"], tmp_path / "out",
                                        jobs=2)
    finally:
        os.chmod(locked, 0o755)
    paths = [f.path for f in batch.failures]
    assert str(src / "dangling.csv") in paths
    assert str(tmp_path / "missing.csv") in paths
    if os.geteuid() != 0:  # root reads any directory
        assert str(locked) in paths
    assert all(f.message for f in batch.failures)
    dangling = next(f for f in batch.failures if f.path.endswith("dangling.csv"))
    assert dangling.error_type == "FileNotFoundError" and dangling.errno == 2
    # a.csv is named twice (in the directory and on its own): one job.
    assert batch.files == (5 if os.geteuid() == 0 else 4) and not batch.ok


def test_conflicting_outputs_are_refused_before_anything_runs(tmp_path: pathlib.Path) -> None:
    one, two = tmp_path / "one", tmp_path / "two"
    for d in (one, two):
        d.mkdir()
        (d / "same.csv").write_bytes(RAGGED)
    (one / "own.csv").write_bytes(RAGGED)
    batch = csv_rowvane.repair_many([one / "same.csv", two / "same.csv", one / "own.csv"], tmp_path / "out")
    assert [f.path for f in batch.failures] == [str(one / "same.csv"), str(two / "same.csv")]
    assert all("would also be written" in f.message for f in batch.failures)
    assert not (tmp_path / "out" / "same.csv").exists()
    assert [r.input for r in batch.reports] == [str(one / "own.csv")]

    # An output directory that is the input's directory would overwrite it.
    batch = csv_rowvane.repair_many([one], one)
    assert batch.files == 0 and all("would overwrite its input" in f.message for f in batch.failures)
    assert (one / "own.csv").read_bytes() == RAGGED
    with pytest.raises(ValueError, match="would overwrite its input"):
        csv_rowvane.repair_many([one], one, on_error="raise")


def test_output_directory_inside_the_input_directory_is_not_an_input(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in"
    make_tree(src)
    first = csv_rowvane.repair_many([src], src / "clean", jobs=1)
    again = csv_rowvane.repair_many([src], src / "clean", jobs=1)
    assert first.files == again.files == 4 and again.ok


def test_skip_unchanged_reruns_only_what_is_missing_or_stale(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in"
    make_tree(src)
    out = tmp_path / "out"
    csv_rowvane.repair_many([src], out, jobs=1)
    (out / "a.csv").unlink()
    stale = src / "sub" / "c.txt"
    os.utime(stale, ns=(os.stat(out / "sub" / "c.txt").st_mtime_ns + 10**9,) * 2)
    batch = csv_rowvane.repair_many([src], out, jobs=1, skip_unchanged=True)
    assert sorted(os.path.relpath(r.input, src) for r in batch.reports) == ["a.csv", "sub/c.txt"]
    assert len(batch.skipped) == 2


def test_an_output_directory_that_cannot_be_created_fails_every_file(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in"
    make_tree(src)
    blocker = tmp_path / "blocker"
    blocker.write_bytes(b"")
    batch = csv_rowvane.repair_many([src], blocker / "out", jobs=2)
    assert batch.files == 0 and len(batch.failures) == 4
    assert {f.error_type for f in batch.failures} == {"NotADirectoryError"}


def test_on_error_raise_stops_at_the_first_failure(tmp_path: pathlib.Path) -> None:
    with pytest.raises(FileNotFoundError):
        csv_rowvane.repair_many([tmp_path / "nope.csv"], tmp_path / "out", on_error="raise")
    bad = tmp_path / "bad.csv"
    bad.mkdir()  # a directory named like a file holds nothing: not a failure
    src = tmp_path / "in"
    src.mkdir()
    (src / "a.csv").write_bytes(RAGGED)
    (src / "z.csv").symlink_to(tmp_path / "gone")
    with pytest.raises(FileNotFoundError):
        csv_rowvane.repair_many([src], tmp_path / "out2", on_error="raise", jobs=2)


@pytest.mark.parametrize(
    ("kwargs", "match"),
    [({"jobs": 0}, "jobs"), ({"on_error": "ignore"}, "on_error"), ({"delimiter": "§"}, "delimiter"),
     ({"colour": "red"}, "unexpected option")],
)
def test_bad_batch_arguments(tmp_path: pathlib.Path, kwargs: dict[str, object], match: str) -> None:
    with pytest.raises((ValueError, TypeError), match=match):
        csv_rowvane.repair_many([tmp_path], tmp_path / "out", **kwargs)  # type: ignore[arg-type]


@pytest.mark.parametrize("processes", [True, False], ids=["worker processes", "worker threads"])
def test_dask_runs_the_same_batch(tmp_path: pathlib.Path, processes: bool) -> None:
    distributed = pytest.importorskip("distributed")
    import csv_rowvane.dask

    src = tmp_path / "in"
    make_tree(src)
    (src / "dangling.csv").symlink_to(src / "gone.csv")
    local = csv_rowvane.repair_many([src], tmp_path / "local", jobs=1)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=processes,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        remote = csv_rowvane.dask.repair_many([src], tmp_path / "dask")
    assert [os.path.relpath(r.input, src) for r in remote.reports] == \
        [os.path.relpath(r.input, src) for r in local.reports]
    for a, b in zip(local.reports, remote.reports):
        assert pathlib.Path(a.output).read_bytes() == pathlib.Path(b.output).read_bytes()
    assert [f.path for f in remote.failures] == [str(src / "dangling.csv")]
    assert remote.jobs == 2


def test_progress_bar_goes_to_stderr_and_large_files_tick_in_a_worker(
    tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch
) -> None:
    src = tmp_path / "in"
    make_tree(src)
    batch = csv_rowvane.repair_many([src], tmp_path / "out", jobs=1, progress=True)
    err = capsys.readouterr()
    assert batch.ok and "repairing" in err.err and err.out == ""
    # every file counts as large: the one job runs on a pool thread, the
    # calling thread keeps the bar moving
    monkeypatch.setattr(_batch, "LARGE_FILE", 1)
    seen = []
    real = _batch.cf.ThreadPoolExecutor

    def spy(*args: object, **kwargs: object) -> object:
        seen.append(kwargs.get("max_workers"))
        return real(*args, **kwargs)  # type: ignore[arg-type]

    monkeypatch.setattr(_batch.cf, "ThreadPoolExecutor", spy)
    one = csv_rowvane.repair_many([src / "a.csv"], tmp_path / "out2", jobs=1, progress=True)
    assert one.files == 1 and seen == [1]


@pytest.mark.parametrize(
    ("case", "error_type", "names"),
    [
        ("missing input", "FileNotFoundError", "input"),
        ("output folder under a file", "NotADirectoryError", "folder"),
        ("output on a full device", "OSError", "/dev/full"),
    ],
)
def test_failures_name_their_file(tmp_path: pathlib.Path, ragged: pathlib.Path, case: str, error_type: str,
                                  names: str) -> None:
    blocker = tmp_path / "blocker"
    blocker.write_bytes(b"")
    if case == "missing input":
        inp, where = tmp_path / "nope.csv", {"output_dir": tmp_path / "out"}
        culprit = str(inp)
    elif case == "output folder under a file":
        inp, where = ragged, {"output": blocker / "sub" / "clean.csv"}
        culprit = str(blocker / "sub")
    else:
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        inp, where = ragged, {"output": "/dev/full"}
        culprit = "/dev/full"
    for jobs in (1, 2):
        batch = csv_rowvane.repair_many([inp], jobs=jobs, **where)  # type: ignore[arg-type]
        [failure] = batch.failures
        assert batch.jobs == 1  # one file: one thread, whatever was allowed
        assert (failure.path, failure.error_type, failure.filename) == (str(inp), error_type, culprit)
        assert failure.errno is not None
        assert culprit in str(failure) and failure.to_dict()["filename"] == culprit
    assert leftovers(tmp_path) == []


def _stdio(monkeypatch: pytest.MonkeyPatch, data: bytes) -> io.BytesIO:
    """Standard input holding ``data``; returns what standard output receives."""
    written = io.BytesIO()
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
    monkeypatch.setattr(sys, "stdout", io.TextIOWrapper(written, write_through=True))
    return written


def test_standard_input_and_output(tmp_path: pathlib.Path, ragged: pathlib.Path,
                                   monkeypatch: pytest.MonkeyPatch) -> None:
    expected = tmp_path / "expected.csv"
    csv_rowvane.repair(ragged, expected, quarantine=tmp_path / "expected.q.csv", fill_ragged_rows=False)
    for inputs, output in ((["-"], "-"), (["-"], tmp_path / "file.csv"), ([ragged], "-")):
        written = _stdio(monkeypatch, RAGGED)
        quarantine = tmp_path / "q.csv"
        batch = csv_rowvane.repair_many(inputs, output=output, quarantine=quarantine, fill_ragged_rows=False)
        assert batch.ok and batch.files == 1
        [report] = batch.reports
        assert report.input == os.fspath(inputs[0]) and report.output == os.fspath(output)
        data = written.getvalue() if output == "-" else pathlib.Path(output).read_bytes()
        assert data == expected.read_bytes()
        assert quarantine.read_bytes() == (tmp_path / "expected.q.csv").read_bytes()
    # output_dir "-" is standard output too
    written = _stdio(monkeypatch, RAGGED)
    assert csv_rowvane.repair_many("-", "-").reports[0].output == "-"
    assert written.getvalue() == b"a,b,c\n1,2,3\n4,5,\n6,7,\"8,9\"\n10,11,12\n"
    # a failed run writes nothing to standard output
    written = _stdio(monkeypatch, b"")
    batch = csv_rowvane.repair_many([tmp_path / "nope.csv"], output="-")
    assert [f.path for f in batch.failures] == [str(tmp_path / "nope.csv")] and written.getvalue() == b""
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize(
    ("inputs", "kwargs", "match"),
    [
        (["-", "r.csv"], {"output": "-"}, "must be the only input"),
        (["-"], {"in_place": True}, "cannot rewrite standard input"),
        (["-"], {"output_dir": "out"}, "standard input .* needs output"),
        (["r.csv", "r.csv"], {"output": "o.csv"}, "one input file"),
        (["dir"], {"output": "o.csv"}, "one input file"),
        (["dir"], {"output_dir": "out", "quarantine": "q.csv"}, "one input file"),
        (["r.csv"], {}, "give one of output_dir, output and in_place"),
        (["r.csv"], {"output_dir": "out", "output": "o.csv"}, "not output_dir and output"),
        (["r.csv"], {"output_dir": "out", "in_place": True}, "not output_dir and in_place"),
        (["r.csv"], {"output_dir": "out", "quarantine": "q.csv", "quarantine_dir": "q"}, "exclude each other"),
        (["r.csv"], {"output": "o.csv", "quarantine": "-"}, "quarantine cannot be standard output"),
        (["r.csv"], {"output_dir": "r.csv"}, "output_dir 'r.csv' is a file"),
        (["r.csv"], {"output_dir": "out", "changes_dir": "c", "detect": "basic"}, "changes needs detect='auto'"),
    ],
)
def test_arguments_that_make_no_batch_are_refused_before_anything_is_read(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, inputs: list[str], kwargs: dict[str, object],
    match: str,
) -> None:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "r.csv").write_bytes(RAGGED)
    (tmp_path / "dir").mkdir()
    stdin = io.BytesIO(RAGGED)
    _stdio(monkeypatch, b"")
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(stdin))
    with pytest.raises(ValueError, match=match):
        csv_rowvane.repair_many(inputs, **kwargs)  # type: ignore[arg-type]
    assert stdin.tell() == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == ["dir", "r.csv"]


@pytest.mark.parametrize("jobs", [1, 2])
def test_check_many_reports_every_file_in_input_order(tmp_path: pathlib.Path, jobs: int) -> None:
    src = tmp_path / "in"
    rels = make_tree(src)
    batch = csv_rowvane.check_many([src, tmp_path / "missing.csv", src / "a.csv"], jobs=jobs, max_problems=1,
                                   fill_ragged_rows=False)
    assert isinstance(batch, csv_rowvane.CheckBatchReport) and not batch.ok and batch.jobs == jobs
    assert [os.path.relpath(r.input, src) for r in batch.reports] == sorted(rels, key=lambda r: r.split("/"))
    for r in batch.reports:
        single = csv_rowvane.check(r.input, max_problems=1, fill_ragged_rows=False)
        assert (r.total_rows, r.problem_rows, r.problems) == (single.total_rows, single.problem_rows,
                                                              single.problems)
    assert [(f.path, f.error_type) for f in batch.failures] == [(str(tmp_path / "missing.csv"),
                                                                 "FileNotFoundError")]
    d = batch.to_dict()
    assert json.loads(json.dumps(d)) == d and len(d["reports"]) == 4
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in"]  # nothing written


def test_check_many_reads_standard_input(monkeypatch: pytest.MonkeyPatch) -> None:
    _stdio(monkeypatch, RAGGED)
    [report] = csv_rowvane.check_many("-").reports
    assert (report.input, report.total_rows, report.repaired_rows) == ("-", 5, 2)


@pytest.mark.parametrize(
    ("kwargs", "match"),
    [({"jobs": 0}, "jobs"), ({"max_problems": -1}, "max_problems"), ({"output_encoding": "utf-8"}, "output_encoding"),
     ({"delimiter": "§"}, "delimiter")],
)
def test_bad_check_arguments(tmp_path: pathlib.Path, kwargs: dict[str, object], match: str) -> None:
    with pytest.raises((ValueError, TypeError), match=match):
        csv_rowvane.check_many([tmp_path], **kwargs)  # type: ignore[arg-type]
