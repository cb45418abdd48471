"""The single-file API: repair, check, read, sniff_file."""

from __future__ import annotations

import errno
import json
import os
import pathlib
import stat
from typing import Any

import pytest

import _csv_rowvane_backend as rv
import csv_rowvane
from csv_rowvane import RepairReport, _core

from frontend_support import RAGGED, SAMPLE, leftovers


def test_repair_with_pathlib_returns_a_full_report(tmp_path: pathlib.Path) -> None:
    out, quar = tmp_path / "clean.csv", tmp_path / "rejects.csv"
    # Read as UTF-8, as the engine reads it (its Latin-1 line aside, the
    # sample is UTF-8): the same bytes as the engine's own run.
    report = csv_rowvane.repair(SAMPLE, out, quarantine=quar, encoding="utf-8")
    assert isinstance(report, RepairReport)
    expected = rv.rowvane_file(str(SAMPLE), str(tmp_path / "direct.csv"), str(tmp_path / "direct.q.csv"))
    assert out.read_bytes() == (tmp_path / "direct.csv").read_bytes()
    assert quar.read_bytes() == (tmp_path / "direct.q.csv").read_bytes()
    for name in ("total_rows", "rowvaned_rows", "repaired_rows", "quarantined_rows",
                 "detected_delimiter", "inferred_columns"):
        assert getattr(report, name) == getattr(expected, name), name
    assert (report.input, report.output, report.quarantine) == (str(SAMPLE), str(out), str(quar))
    assert (report.output_delimiter, report.output_quote_char) == (";", '"')
    assert report.input_size == SAMPLE.stat().st_size
    assert report.output_size == out.stat().st_size
    assert report.elapsed >= 0
    d = report.to_dict()
    assert json.loads(json.dumps(d)) == d
    text = str(report)
    assert str(SAMPLE) in text and "3 repaired" in text and "6 columns" in text
    with pytest.raises(AttributeError):
        report.total_rows = 0  # type: ignore[misc]
    assert leftovers(tmp_path) == []


class PathLikeOnly:
    def __init__(self, p: str) -> None:
        self.p = p

    def __fspath__(self) -> str:
        return self.p


def test_any_pathlike_is_accepted(tmp_path: pathlib.Path, ragged: pathlib.Path) -> None:
    report = csv_rowvane.repair(PathLikeOnly(str(ragged)), PathLikeOnly(str(tmp_path / "o.csv")))
    assert report.total_rows == 5


@pytest.mark.parametrize("which", ["input", "output", "quarantine"])
def test_bytes_paths_are_a_type_error(tmp_path: pathlib.Path, ragged: pathlib.Path, which: str) -> None:
    args: dict[str, Any] = {"input": ragged, "output": tmp_path / "o.csv", "quarantine": tmp_path / "q.csv"}
    args[which] = os.fsencode(args[which])
    with pytest.raises(TypeError, match=which):
        csv_rowvane.repair(args["input"], args["output"], quarantine=args["quarantine"])


@pytest.mark.parametrize(
    ("option", "value"),
    [("delimiter", "§"), ("delimiter", "ab"), ("delimiter", ""), ("delimiter", "é"),
     ("quote_char", "«"), ("quote_char", "''"), ("quote_char", ""), ("delimiter", 1)],
)
def test_non_ascii_or_long_delimiter_and_quote_are_refused(
    tmp_path: pathlib.Path, ragged: pathlib.Path, option: str, value: Any
) -> None:
    out = tmp_path / "o.csv"
    with pytest.raises(ValueError, match=f"{option} must be a single ASCII character") as info:
        csv_rowvane.repair(ragged, out, **{option: value})
    assert "U+007F" in str(info.value)
    assert not out.exists()
    with pytest.raises(ValueError, match=option):
        csv_rowvane.read(ragged, **{option: value})


def test_ascii_delimiter_and_quote_are_used(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(b"a|'b|c'|d\n1|2|3\n")
    # (the backend infers the column count with the double quote whatever
    # quote_char is, so the count is given here)
    report = csv_rowvane.repair(src, tmp_path / "o.csv", delimiter="|", quote_char="'", expected_columns=3)
    assert (report.output_delimiter, report.output_quote_char) == ("|", "'")
    assert (tmp_path / "o.csv").read_bytes() == b"a|'b|c'|d\n1|2|3\n"


def _errno_of(cls: type[OSError]) -> int:
    return {FileNotFoundError: errno.ENOENT, IsADirectoryError: errno.EISDIR,
            NotADirectoryError: errno.ENOTDIR, PermissionError: errno.EACCES}[cls]


@pytest.mark.parametrize(
    ("case", "exc", "blamed"),
    [
        ("missing input", FileNotFoundError, "input"),
        ("input is a directory", IsADirectoryError, "input"),
        ("output directory missing", FileNotFoundError, "output"),
        ("output is a directory", IsADirectoryError, "output"),
        ("output under a file", NotADirectoryError, "output"),
        ("quarantine directory missing", FileNotFoundError, "quarantine"),
    ],
)
def test_failures_raise_the_matching_oserror_with_the_path(
    tmp_path: pathlib.Path, ragged: pathlib.Path, case: str, exc: type[OSError], blamed: str
) -> None:
    paths = {"input": ragged, "output": tmp_path / "out.csv", "quarantine": tmp_path / "q.csv"}
    if case == "missing input":
        paths["input"] = tmp_path / "nope.csv"
    elif case == "input is a directory":
        paths["input"] = tmp_path
    elif case == "output directory missing":
        paths["output"] = tmp_path / "no" / "out.csv"
    elif case == "output is a directory":
        (tmp_path / "d").mkdir()
        paths["output"] = tmp_path / "d"
    elif case == "output under a file":
        paths["output"] = ragged / "out.csv"
    elif case == "quarantine directory missing":
        paths["quarantine"] = tmp_path / "no" / "q.csv"
    before = sorted(p.name for p in tmp_path.iterdir())
    with pytest.raises(exc) as info:
        csv_rowvane.repair(paths["input"], paths["output"], quarantine=paths["quarantine"])
    e = info.value
    assert e.errno == _errno_of(exc)
    assert e.strerror == os.strerror(e.errno)
    assert e.filename == str(paths[blamed])
    assert sorted(p.name for p in tmp_path.iterdir()) == before, "nothing is created on failure"


def test_full_device_reports_enospc_on_the_output(ragged: pathlib.Path) -> None:
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    with pytest.raises(OSError) as info:
        csv_rowvane.repair(ragged, "/dev/full")
    assert info.value.errno == errno.ENOSPC
    assert info.value.filename == "/dev/full"


@pytest.mark.parametrize("detect", ["auto", "basic"])
def test_a_failed_run_keeps_the_previous_output(
    tmp_path: pathlib.Path, ragged: pathlib.Path, monkeypatch: pytest.MonkeyPatch, detect: str
) -> None:
    out, quar = tmp_path / "out.csv", tmp_path / "q.csv"
    out.write_bytes(b"previous output\n")
    quar.write_bytes(b"previous quarantine\n")
    owner, name = (_core, "repair_file") if detect == "auto" else (_core, "repair_basic")
    real = getattr(owner, name)

    def half_then(exc: BaseException) -> Any:
        def fake(*args: Any, **kw: Any) -> Any:
            real(*args, **kw)  # the temporary files are written whole ...
            raise exc  # ... and then the run fails or is interrupted

        return fake

    for exc in (OSError(28, "No space left on device"), KeyboardInterrupt()):
        monkeypatch.setattr(owner, name, half_then(exc))
        with pytest.raises(type(exc)):
            csv_rowvane.repair(ragged, out, quarantine=quar, changes=tmp_path / "c.csv" if detect == "auto" else None,
                               detect=detect)  # type: ignore[arg-type]
        assert out.read_bytes() == b"previous output\n"
        assert quar.read_bytes() == b"previous quarantine\n"
        assert leftovers(tmp_path) == []


def test_output_and_quarantine_naming_one_file_are_refused(tmp_path: pathlib.Path, ragged: pathlib.Path) -> None:
    out = tmp_path / "o.csv"
    link = tmp_path / "link.csv"
    out.write_bytes(b"keep\n")
    link.symlink_to(out)
    for q in (out, link):
        with pytest.raises(ValueError, match="same file"):
            csv_rowvane.repair(ragged, out, quarantine=q)
    with pytest.raises(ValueError, match="overwrite the input"):
        csv_rowvane.repair(ragged, out, quarantine=ragged)
    assert out.read_bytes() == b"keep\n"
    assert ragged.read_bytes() == RAGGED


def test_output_naming_the_input_rewrites_it_safely(tmp_path: pathlib.Path) -> None:
    p = tmp_path / "in.csv"
    p.write_bytes(RAGGED)
    p.chmod(0o640)
    report = csv_rowvane.repair(p, p)
    assert p.read_bytes() == b"a,b,c\n1,2,3\n4,5,\n6,7,\"8,9\"\n10,11,12\n"
    assert stat.S_IMODE(p.stat().st_mode) == 0o640
    assert report.repaired_rows == 2
    assert leftovers(tmp_path) == []


def test_output_modes_and_symbolic_links(tmp_path: pathlib.Path, ragged: pathlib.Path) -> None:
    old = os.umask(0o027)
    try:
        fresh = tmp_path / "fresh.csv"
        csv_rowvane.repair(ragged, fresh)
        assert stat.S_IMODE(fresh.stat().st_mode) == 0o640  # 0666 less the mask, as open() gives
        kept = tmp_path / "kept.csv"
        kept.write_bytes(b"x")
        kept.chmod(0o604)
        csv_rowvane.repair(ragged, kept)
        assert stat.S_IMODE(kept.stat().st_mode) == 0o604  # an existing file keeps its mode
    finally:
        os.umask(old)
    target = tmp_path / "target.csv"
    target.write_bytes(b"old")
    link = tmp_path / "link.csv"
    link.symlink_to(target.name)
    csv_rowvane.repair(ragged, link)
    assert link.is_symlink() and target.read_bytes().startswith(b"a,b,c\n")


def test_devices_are_written_directly(ragged: pathlib.Path) -> None:
    report = csv_rowvane.repair(ragged, os.devnull)
    assert report.output_size is None and report.total_rows == 5


def test_read_takes_pathlike_and_names_the_path_on_failure(tmp_path: pathlib.Path, ragged: pathlib.Path) -> None:
    with csv_rowvane.read(ragged) as reader:
        rows = list(reader)
    assert rows[2] == ["4", "5", ""] and rows[3] == ["6", "7", "8,9"]
    with pytest.raises(FileNotFoundError) as info:
        csv_rowvane.read(tmp_path / "nope.csv")
    assert info.value.filename == str(tmp_path / "nope.csv")
    assert info.value.errno == errno.ENOENT


@pytest.mark.parametrize(
    ("data", "expected"),
    [
        (b"a;b;c\n1;2;3\n", ";"),
        (b"a,b,c\n1,2,3\n", ","),
        (b"a\tb\tc\n1\t2\t3\n", "\t"),
        (b"a|b|c\n1|2|3\n", "|"),
        (b"\xef\xbb\xbfa;b\n1;2\n", ";"),
        (b"x;y\n\xff\xfe;2\n", ";"),
    ],
)
def test_sniff_file(tmp_path: pathlib.Path, data: bytes, expected: str) -> None:
    p = tmp_path / "s.csv"
    p.write_bytes(data)
    assert csv_rowvane.sniff_file(p) == expected


def test_sniff_file_reads_only_its_sample(tmp_path: pathlib.Path) -> None:
    p = tmp_path / "s.csv"
    p.write_bytes(b"a|b|c\n1|2|3\n" + b"x,y,z,w,v\n" * 10)
    assert csv_rowvane.sniff_file(p, sample_size=14) == "|"  # cut back to whole lines
    assert csv_rowvane.sniff_file(p) == ","
    with pytest.raises(ValueError, match="sample_size"):
        csv_rowvane.sniff_file(p, sample_size=0)
    with pytest.raises(IsADirectoryError):
        csv_rowvane.sniff_file(tmp_path)


def test_check_reports_without_writing(tmp_path: pathlib.Path, ragged: pathlib.Path) -> None:
    before = sorted(tmp_path.iterdir())
    report = csv_rowvane.check(ragged)
    assert sorted(tmp_path.iterdir()) == before
    assert (report.total_rows, report.repaired_rows, report.quarantined_rows) == (5, 2, 0)
    assert [(p.line, p.action) for p in report.problems] == [(3, "padded"), (4, "merged")]
    assert report.problems[1].content == "6,7,8,9"
    strict = csv_rowvane.check(ragged, fill_ragged_rows=False, merge_overflow=False, max_problems=1,
                               detect="basic")
    assert strict.quarantined_rows == 2 and strict.problem_rows == 2
    assert [p.action for p in strict.problems] == ["set aside"]
    assert "Row has too few columns (expected 3)" in str(strict)
    assert json.loads(json.dumps(strict.to_dict()))["problems"][0]["line"] == 3
