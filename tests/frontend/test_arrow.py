"""read_arrow: the repaired rows as an Arrow stream made natively, read by
pyarrow and polars through the PyCapsule interface."""

from __future__ import annotations

import datetime
import gzip
import os
import pathlib
import subprocess
import sys
import tempfile
from collections.abc import Iterator
from typing import Any

import pytest

import csv_rowvane
from csv_rowvane import _core

from frontend_support import RAGGED

pa = pytest.importorskip("pyarrow")

TYPED = (b"id;name;price;day;when;flag;code\n"
         b"1;Ann;1,5;2024-01-01;2024-01-01 10:00;true;007\n"
         b"2;;2;;2024-01-02T11:30:15.5;FALSE;010\n"
         b"3;\"Bo; \"\"B\"\"\";-0,25;2024-02-29;;;\n")


@pytest.fixture(autouse=True)
def private_tmp(tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[pathlib.Path]:
    where = tmp_path / "private-tmp"
    where.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(where))
    yield where


def _file(tmp_path: pathlib.Path, data: bytes, name: str = "in.csv") -> pathlib.Path:
    p = tmp_path / name
    p.write_bytes(data)
    return p


@pytest.mark.parametrize(
    ("infer_types", "expected_types", "first_row"),
    [
        (False, ["string"] * 7,
         {"id": "1", "name": "Ann", "price": "1,5", "day": "2024-01-01", "when": "2024-01-01 10:00",
          "flag": "true", "code": "007"}),
        (True, ["int64", "string", "double", "date32[day]", "timestamp[us]", "bool", "string"],
         {"id": 1, "name": "Ann", "price": 1.5, "day": datetime.date(2024, 1, 1),
          "when": datetime.datetime(2024, 1, 1, 10, 0), "flag": True, "code": "007"}),
    ],
)
def test_pyarrow_reads_the_stream(tmp_path: pathlib.Path, infer_types: bool, expected_types: list[str],
                                  first_row: dict[str, Any]) -> None:
    stream = csv_rowvane.read_arrow(_file(tmp_path, TYPED), infer_types=infer_types)
    table = pa.table(stream)
    assert [str(t) for t in table.schema.types] == expected_types
    assert table.num_rows == 3 == stream.num_rows
    rows = table.to_pylist()
    assert rows[0] == first_row
    assert rows[2]["name"] == 'Bo; "B"'
    empty = None if infer_types else ""
    assert rows[1]["name"] == empty and rows[2]["flag"] == empty
    assert pa.schema(stream) == table.schema
    assert list(stream.column_types.values()) == expected_types


def test_record_batches_of_batch_rows(tmp_path: pathlib.Path) -> None:
    src = _file(tmp_path, b"n,text\n" + b"".join(b"%d,row %d\n" % (i, i) for i in range(10)))
    stream = csv_rowvane.read_arrow(src, batch_rows=4, infer_types=True)
    reader = pa.RecordBatchReader.from_stream(stream)
    batches = list(reader)
    assert [b.num_rows for b in batches] == [4, 4, 2]
    assert pa.Table.from_batches(batches).column("n").to_pylist() == list(range(10))
    # every call is a stream of its own
    assert pa.table(stream).num_rows == 10


@pytest.mark.parametrize(
    ("data", "options", "names", "rows"),
    [
        (b"a,,a\n1,2,3\n", {}, ["a", "column_2", "a_2"], [["1", "2", "3"]]),
        (b"a,b\n1,2\n", {"header": False}, ["column_1", "column_2"], [["a", "b"], ["1", "2"]]),
        (RAGGED, {"merge_overflow": False, "fill_ragged_rows": False}, ["a", "b", "c"],
         [["1", "2", "3"], ["10", "11", "12"]]),
        (b"only,a,header\n", {}, ["only", "a", "header"], []),
    ],
)
def test_names_and_repair_options(tmp_path: pathlib.Path, data: bytes, options: dict[str, Any],
                                  names: list[str], rows: list[list[str]]) -> None:
    table = pa.table(csv_rowvane.read_arrow(_file(tmp_path, data), **options))
    assert table.column_names == names
    assert [list(r.values()) for r in table.to_pylist()] == rows


def test_report_and_compressed_input(tmp_path: pathlib.Path) -> None:
    src = _file(tmp_path, gzip.compress(RAGGED), "export.bin")
    quarantine = tmp_path / "rejects.csv"
    stream = csv_rowvane.read_arrow(src, merge_overflow=False, quarantine=quarantine)
    assert pa.table(stream).num_rows == 3
    report = stream.report
    assert (report.input, report.compression, report.quarantined_rows) == (str(src), "gzip", 1)
    assert report.output_format == "arrow-stream" and report.column_types == {"a": "string", "b": "string",
                                                                               "c": "string"}
    assert b"6,7,8,9" in quarantine.read_bytes()


def test_close_removes_the_text_and_streams_made_read_on(tmp_path: pathlib.Path,
                                                         private_tmp: pathlib.Path) -> None:
    stream = csv_rowvane.read_arrow(_file(tmp_path, RAGGED))
    assert len(list(private_tmp.iterdir())) == 1
    capsule_reader = pa.RecordBatchReader.from_stream(stream)
    unread = stream.__arrow_c_stream__()  # released unread by its capsule
    stream.close()
    assert list(private_tmp.iterdir()) == []
    assert capsule_reader.read_all().num_rows == 4
    del unread
    with pytest.raises(ValueError, match="closed"):
        stream.__arrow_c_stream__()
    with csv_rowvane.read_arrow(_file(tmp_path, RAGGED)) as s2:
        assert pa.table(s2).num_rows == 4
    assert list(private_tmp.iterdir()) == []
    # a failed repair leaves nothing either
    with pytest.raises(FileNotFoundError):
        csv_rowvane.read_arrow(tmp_path / "nope.csv")
    assert list(private_tmp.iterdir()) == []


@pytest.mark.parametrize(
    ("kwargs", "error"),
    [
        ({"batch_rows": 0}, ValueError),
        ({"batch_rows": True}, ValueError),
        ({"header": "yes"}, TypeError),
        ({"output_encoding": "utf-8-sig"}, TypeError),
        ({"frobnicate": 1}, TypeError),
    ],
)
def test_bad_arguments(tmp_path: pathlib.Path, kwargs: dict[str, Any], error: type[Exception]) -> None:
    with pytest.raises(error):
        csv_rowvane.read_arrow(_file(tmp_path, RAGGED), **kwargs)


def test_native_arguments_are_checked(tmp_path: pathlib.Path) -> None:
    src = str(_file(tmp_path, RAGGED))
    with pytest.raises(ValueError, match="unknown column type"):
        _core.arrow_schema(["a"], ["decimal"])
    with pytest.raises(TypeError):
        _core.arrow_schema(["a", "b"], ["string"])
    with pytest.raises(ValueError, match="batch_rows"):
        _core.arrow_stream(src, ",", '"', True, 0, ["a"], ["string"], False)
    with pytest.raises(FileNotFoundError):
        _core.arrow_scan(str(tmp_path / "nope.csv"), ",", '"', True, False)
    # a row wider than the columns it is read into fails the stream: no cell is dropped
    narrow = csv_rowvane._tables.NativeStream(src, ",", '"', True, False, width=3)
    with pytest.raises(pa.ArrowInvalid, match="a row of 4 cells in a table of 3 columns"):
        pa.table(narrow)


def test_no_pyarrow_is_needed_to_make_the_stream(tmp_path: pathlib.Path) -> None:
    src = _file(tmp_path, TYPED)
    code = (
        "import sys; sys.modules['pyarrow'] = None\n"
        "import csv_rowvane\n"
        f"s = csv_rowvane.read_arrow({str(src)!r}, infer_types=True)\n"
        "capsule = s.__arrow_c_stream__(); schema = s.__arrow_c_schema__()\n"
        "print(type(capsule).__name__, s.num_rows, s.column_types['id'])\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, env=env, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.decode().split() == ["PyCapsule", "3", "int64"]


def test_polars_reads_the_stream(tmp_path: pathlib.Path) -> None:
    pl = pytest.importorskip("polars")
    stream = csv_rowvane.read_arrow(_file(tmp_path, TYPED), infer_types=True)
    df = pl.DataFrame(stream)
    assert df.shape == (3, 7)
    assert df["price"].to_list() == [1.5, 2.0, -0.25]
    assert df["id"].dtype == pl.Int64 and df["day"].dtype == pl.Date
    assert pl.from_arrow(pa.table(stream))["name"].to_list() == ["Ann", None, 'Bo; "B"']


def test_duckdb_scans_the_stream(tmp_path: pathlib.Path) -> None:
    duckdb = pytest.importorskip("duckdb")
    stream = csv_rowvane.read_arrow(_file(tmp_path, TYPED), infer_types=True)
    con = duckdb.connect()
    try:
        # The stream object itself: each scan asks it for a fresh stream.
        con.register("repaired", stream)
        assert con.execute("SELECT count(*), sum(price) FROM repaired").fetchone() == (3, 3.25)
        assert con.execute("SELECT name FROM repaired ORDER BY id").fetchall() == [("Ann",), (None,), ('Bo; "B"',)]
    finally:
        con.close()


def test_pandas_reads_the_stream(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("pandas")
    df = pa.table(csv_rowvane.read_arrow(_file(tmp_path, TYPED), infer_types=True)).to_pandas()
    assert list(df["price"]) == [1.5, 2.0, -0.25] and str(df["id"].dtype) == "int64"
    text = pa.table(csv_rowvane.read_arrow(_file(tmp_path, TYPED))).to_pandas()
    assert set(map(str, text.dtypes)) <= {"object", "str", "string"}


hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies

_CELL = st.text(alphabet=st.sampled_from(list('ab ,;"\n\r\t\0é€\U0001f600')), max_size=12)


@hypothesis.settings(max_examples=150, deadline=None)
@hypothesis.given(rows=st.lists(st.lists(_CELL, min_size=1, max_size=5), min_size=1, max_size=12),
                  delimiter=st.sampled_from([",", ";", "\t", "|"]), quote=st.sampled_from(['"', "'"]))
def test_the_native_reader_reads_what_a_csv_writer_wrote(rows: list[list[str]], delimiter: str, quote: str) -> None:
    """Any cells written as RFC 4180 come back as they were: quotes doubled,
    delimiters, CR, LF, NUL and non-ASCII text inside quoted fields."""
    import csv
    import io

    buf = io.StringIO()
    csv.writer(buf, delimiter=delimiter, quotechar=quote, lineterminator="\n",
               quoting=csv.QUOTE_MINIMAL).writerows(rows)
    fd, path = tempfile.mkstemp(suffix=".csv")
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            f.write(buf.getvalue())
        stream = csv_rowvane._tables.NativeStream(path, delimiter, quote, False, False, batch_rows=5)
        got = [[v for v in r.values()] for r in pa.table(stream).to_pylist()]
    finally:
        os.unlink(path)
    width = max(len(r) for r in rows)
    # a row of one empty cell is written as an empty line, read as one empty cell
    expected = [r + [""] * (width - len(r)) for r in rows]
    assert got == expected


@hypothesis.settings(max_examples=200, deadline=None)
@hypothesis.given(data=st.binary(max_size=200), infer=st.booleans())
def test_any_bytes_make_a_stream_without_a_crash(data: bytes, infer: bool) -> None:
    fd, path = tempfile.mkstemp(suffix=".csv")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        stream = csv_rowvane._tables.NativeStream(path, ",", '"', True, infer, batch_rows=3)
        table = pa.table(stream)
        assert table.num_columns == len(stream.names)
        assert table.num_rows == stream.row_count()
    finally:
        os.unlink(path)
