"""Parquet and Arrow IPC outputs: column names, the type of each column with
infer_types, every cell's text kept without it, the missing extra."""

from __future__ import annotations

import csv
import datetime
import gzip
import json
import math
import pathlib
import sys
from typing import Any

import pytest

import csv_rowvane
from csv_rowvane import _tables

from frontend_support import Run, leftovers

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpus"


def read_back(path: pathlib.Path) -> Any:
    """The table written at ``path``, whichever its format."""
    if path.suffix == ".parquet":
        return pq.read_table(path)
    with pa.memory_map(str(path)) as source:
        return pa.ipc.open_file(source).read_all()


@pytest.mark.parametrize(
    ("header", "width", "expected"),
    [
        (["a", "b"], 2, ["a", "b"]),
        (["a", "", "c", ""], 4, ["a", "column_2", "c", "column_4"]),
        (["name", "name", "name"], 3, ["name", "name_2", "name_3"]),
        (["x", "x", "x_2"], 3, ["x", "x_3", "x_2"]),            # never clashes with a given name
        (["a"], 3, ["a", "column_2", "column_3"]),               # rows wider than the header
        (["", "column_1"], 2, ["column_1_2", "column_1"]),
        (["a\0", "a", "\0"], 3, ["a", "a_2", "column_3"]),      # a NUL would end an Arrow name
        ([], 0, []),
    ],
)
def test_column_names_are_non_empty_and_unique(header: list[str], width: int, expected: list[str]) -> None:
    assert _tables.column_names(header, width) == expected


# (column text after the header, delimiter, expected type, expected values)
TYPE_CASES: list[tuple[str, list[str], str, str, list[Any]]] = [
    ("integers", ["1", "-20", "", "300"], ",", "int64", [1, -20, None, 300]),
    ("leading zeros are codes", ["007", "12"], ",", "string", ["007", "12", ]),
    ("int64 bounds", ["9223372036854775807", "-9223372036854775808"], ",", "int64",
     [9223372036854775807, -9223372036854775808]),
    ("beyond int64 stays text", ["9223372036854775808", "1"], ",", "string", ["9223372036854775808", "1"]),
    ("floats and integers", ["1.5", "2", "-0.25", "1e3", ".5"], ",", "double", [1.5, 2.0, -0.25, 1000.0, 0.5]),
    ("an overflowing float stays text", ["1.5", "1e999"], ",", "string", ["1.5", "1e999"]),
    ("decimal comma with ;", ["1,5", "2", "-3,25"], ";", "double", [1.5, 2.0, -3.25]),
    ("decimal comma and point mixed", ["1,5", "2.5"], ";", "string", ["1,5", "2.5"]),
    ("no decimal comma with ,", ["1,5", "2"], ",", "string", ["1,5", "2"]),
    ("booleans in any case", ["true", "FALSE", "", "True"], ",", "bool", [True, False, None, True]),
    ("yes and no are text", ["yes", "no"], ",", "string", ["yes", "no"]),
    ("dates", ["2024-02-29", "1999-12-31"], ",", "date32[day]",
     [datetime.date(2024, 2, 29), datetime.date(1999, 12, 31)]),
    ("a date that does not exist", ["2023-02-29", "2023-03-01"], ",", "string", ["2023-02-29", "2023-03-01"]),
    ("timestamps, dates among them", ["2024-01-02 03:04:05", "2024-01-03T10:00", "2024-01-04"], ",",
     "timestamp[us]", [datetime.datetime(2024, 1, 2, 3, 4, 5), datetime.datetime(2024, 1, 3, 10, 0),
                       datetime.datetime(2024, 1, 4)]),
    ("fractions of a second", ["2024-01-02 03:04:05.123456"], ",", "timestamp[us]",
     [datetime.datetime(2024, 1, 2, 3, 4, 5, 123456)]),
    ("zoned timestamps in UTC", ["2024-01-02T03:04:05Z", "2024-01-02 05:04:05+02:00"], ",", "timestamp[us, tz=UTC]",
     [datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=datetime.UTC)] * 2),
    ("zoned and naive mixed", ["2024-01-02T03:04:05Z", "2024-01-02 05:04:05"], ",", "string",
     ["2024-01-02T03:04:05Z", "2024-01-02 05:04:05"]),
    ("numbers and text", ["1", "two"], ",", "string", ["1", "two"]),
    ("only empty cells", ["", ""], ",", "string", [None, None]),
]


@pytest.mark.parametrize(("case", "cells", "delimiter", "arrow_type", "values"), TYPE_CASES,
                         ids=[c[0] for c in TYPE_CASES])
@pytest.mark.parametrize("suffix", [".parquet", ".arrow"])
def test_infer_types_types_a_column_when_every_cell_reads_so(
        tmp_path: pathlib.Path, case: str, cells: list[str], delimiter: str, arrow_type: str,
        values: list[Any], suffix: str) -> None:
    # a text column beside it keeps every row, so the repair neither drops
    # rows of empty cells nor sees a one-column file
    lines = [f"key{delimiter}value"] + [f"k{i}{delimiter}{c}" for i, c in enumerate(cells)]
    src = tmp_path / "in.csv"
    src.write_text("\n".join(lines) + "\n", encoding="utf-8")
    out = tmp_path / f"out{suffix}"
    report = csv_rowvane.repair(src, out, infer_types=True, delimiter=delimiter)
    table = read_back(out)
    assert str(table.schema.field("value").type) == arrow_type
    assert table.column("value").to_pylist() == values
    assert report.column_types == {"key": "string", "value": arrow_type}
    assert report.output_format == suffix[1:]


def test_batches_narrow_the_types_over_the_whole_file(tmp_path: pathlib.Path) -> None:
    """A type is decided from every row, not the first batch: the text in
    the last rows keeps the column text, in every batch."""
    src = tmp_path / "in.csv"
    src.write_text("n,m\n" + "1,2\n" * 10 + "x,2.5\n", encoding="utf-8")
    out = tmp_path / "out.parquet"
    report = csv_rowvane.repair(src, out, infer_types=True)
    assert report.column_types == {"n": "string", "m": "double"}
    # the same with batches of 3 rows: the schema is written before the first
    _tables.write_table(str(src), str(tmp_path / "small.parquet"), "parquet", ",", '"', True, batch_rows=3)
    small = pq.read_table(tmp_path / "small.parquet")
    assert small.schema == pq.read_table(out).schema
    assert small.column("n").to_pylist()[-1] == "x" and pq.ParquetFile(tmp_path / "small.parquet").num_row_groups == 4


def test_without_infer_types_every_cell_keeps_its_text(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(b'id,,name,id\n007,"a\r\nb",  spaced ,1\n,"say ""hi""",,\n')
    for suffix in (".parquet", ".arrow", ".feather"):
        out = tmp_path / f"out{suffix}"
        report = csv_rowvane.repair(src, out, detect="basic")
        table = read_back(out)
        assert table.column_names == ["id", "column_2", "name", "id_2"]
        assert all(str(t) == "string" for t in table.schema.types)
        assert table.to_pylist() == [
            {"id": "007", "column_2": "a\r\nb", "name": "  spaced ", "id_2": "1"},
            {"id": "", "column_2": 'say "hi"', "name": "", "id_2": ""},
        ]
        assert report.output_size == out.stat().st_size and "written as" in "; ".join(report.notes())
    assert leftovers(tmp_path) == []


def test_compressed_input_to_parquet_on_the_command_line(cli: Run, tmp_path: pathlib.Path) -> None:
    (tmp_path / "export.csv.gz").write_bytes(gzip.compress(b"id;price;day\n1;1,5;2024-01-01\n2;2;2024-01-02\n3\n"))
    r = cli("repair", "export.csv.gz", "-o", "clean.parquet", "--infer-types", "--json", "report.json")
    assert r.returncode == 0, r.stderr
    table = pq.read_table(tmp_path / "clean.parquet")
    assert table.to_pylist() == [
        {"id": 1, "price": 1.5, "day": datetime.date(2024, 1, 1)},
        {"id": 2, "price": 2.0, "day": datetime.date(2024, 1, 2)},
        {"id": 3, "price": None, "day": None},
    ]
    out = r.stdout.decode()
    assert "gzip input" in out and "written as parquet, 3 of 3 columns typed" in out
    report = json.loads((tmp_path / "report.json").read_text())["reports"][0]
    assert report["column_types"] == {"id": "int64", "price": "double", "day": "date32[day]"}
    assert report["compression"] == "gzip" and report["output_format"] == "parquet"
    r = cli("repair", "export.csv.gz", "-o", "clean.csv", "--infer-types")
    assert r.returncode == 2 and "--infer-types needs output naming a Parquet or Arrow file" in r.stderr.decode()


def test_a_missing_pyarrow_names_the_extra(tmp_path: pathlib.Path, ragged: pathlib.Path,
                                           monkeypatch: pytest.MonkeyPatch) -> None:
    for name in [m for m in sys.modules if m == "pyarrow" or m.startswith("pyarrow.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    out = tmp_path / "clean.parquet"
    with pytest.raises(ImportError, match=r"pip install 'csv-rowvane-backend\[parquet\]'"):
        csv_rowvane.repair(ragged, out)
    assert not out.exists() and leftovers(tmp_path) == []
    batch = csv_rowvane.repair_many([ragged], output=out)
    assert "csv-rowvane-backend[parquet]" in batch.failures[0].message


def test_a_failed_conversion_leaves_nothing(tmp_path: pathlib.Path, ragged: pathlib.Path,
                                            monkeypatch: pytest.MonkeyPatch) -> None:
    out = tmp_path / "clean.parquet"
    out.write_bytes(b"previous")

    def broken(*args: object, **kwargs: object) -> dict[str, str]:
        raise OSError(28, "No space left on device", args[1])

    monkeypatch.setattr(_tables, "write_table", broken)
    with pytest.raises(OSError) as info:
        csv_rowvane.repair(ragged, out)
    assert info.value.filename == str(out)
    assert out.read_bytes() == b"previous" and leftovers(tmp_path) == []


def test_infer_types_needs_a_table_output(tmp_path: pathlib.Path, ragged: pathlib.Path) -> None:
    with pytest.raises(ValueError, match="infer_types needs a Parquet or Arrow output"):
        csv_rowvane.repair(ragged, tmp_path / "o.csv", infer_types=True)
    with pytest.raises(ValueError, match="infer_types needs output"):
        csv_rowvane.repair_many([ragged], tmp_path / "out", infer_types=True)
    with pytest.raises(TypeError, match="infer_types"):
        csv_rowvane.check_many([ragged], infer_types=True)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["ragged.csv"]


def _corpus_files() -> list[pathlib.Path]:
    if not CORPUS.is_dir():
        return []
    return sorted(p for p in CORPUS.rglob("*") if p.is_file() and p.suffix.lower() in (".csv", ".tsv", ".txt")
                  and p.stat().st_size < 1 << 20)


def _csv_rows(path: pathlib.Path, delimiter: str, quote: str) -> list[list[str]]:
    with open(path, encoding="utf-8-sig", newline="") as f:
        return [row or [""] for row in csv.reader(f, delimiter=delimiter, quotechar=quote, strict=False)]


def _same_value(text: str, value: Any, arrow_type: str) -> bool:
    if value is None:
        return text == ""
    if arrow_type == "int64":
        return str(value) == text
    if arrow_type == "double":
        return math.isclose(float(text.replace(",", ".")), value)
    if arrow_type == "bool":
        return text.lower() == str(value).lower()
    if arrow_type.startswith("date32"):
        return bool(value.isoformat() == text)
    if arrow_type.startswith("timestamp"):
        return bool(value.date().isoformat() == text[:10] or value.tzinfo is not None)
    return bool(value == text)


@pytest.mark.skipif(not CORPUS.is_dir(), reason="the shared corpus is not there")
def test_no_cell_of_the_corpus_changes(tmp_path: pathlib.Path) -> None:
    """Every file of the corpus, written as Parquet: read back as text, each
    cell is the text of the repaired CSV; typed, each value is the cell's."""
    files = _corpus_files()
    assert files
    checked = 0
    for src in files:
        plain = tmp_path / "plain.csv"
        try:
            report = csv_rowvane.repair(src, plain)
        except (OSError, ValueError, UnicodeDecodeError):
            continue
        rows = _csv_rows(plain, report.output_delimiter, report.output_quote_char)
        if not rows:
            continue
        width = max(len(r) for r in rows)
        expected = [r + [""] * (width - len(r)) for r in rows[1:]]
        for infer in (False, True):
            out = tmp_path / "t.parquet"
            typed = csv_rowvane.repair(src, out, infer_types=infer)
            table = pq.read_table(out)
            assert table.num_columns == width and table.num_rows == len(expected), src
            types = [str(t) for t in table.schema.types]
            for i, column in enumerate(table.columns):
                got = column.to_pylist()
                if not infer:
                    assert got == [r[i] for r in expected], (src, i)
                else:
                    for text, value in zip((r[i] for r in expected), got):
                        assert _same_value(text, value, types[i]), (src, i, text, value)
            assert typed.column_types is not None and list(typed.column_types.values()) == types
        checked += 1
    assert checked > len(files) // 2
    assert leftovers(tmp_path) == []
