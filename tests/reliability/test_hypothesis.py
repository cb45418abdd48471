"""Random files and random argument values, wrong types included, through
rowvane_file, the reader (class and open) and sniff. Only the documented
exceptions may come out: TypeError, OverflowError and UnicodeEncodeError from
the argument conversions (each with the note naming the first bad parameter),
OSError for files that cannot be opened or paths with a NUL byte. The module
documents no ValueError. Successful runs must satisfy the count invariants,
agree between rowvane_file and the reader, and write an output that reads back
as the kept rows and a quarantine file with one record per set-aside row."""

from __future__ import annotations

import csv
import io
import os
import pathlib
from typing import Any

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import _csv_rowvane_backend as rv
from reliability_support import (
    CANDIDATES,
    NUL_PATH_MESSAGE,
    READER_PARAMS,
    ROWVANE_FILE_PARAMS,
    first_byte,
    first_conversion_error,
)

# Fixed examples under CI (CI=true), so a run there is repeatable; fresh ones elsewhere.
SETTINGS = settings(max_examples=200, deadline=None, derandomize=bool(os.environ.get("CI")),
                    suppress_health_check=[HealthCheck.too_slow,
                                           HealthCheck.function_scoped_fixture])

CHUNKS = [b"a", b"xyz", b"1", b",", b";", b"\t", b"|", b'"', b'""', b"'", b" ", b"\r", b"\n",
          b"\r\n", b"\xef\xbb\xbf", b"\xff", b"\x00", b"\xc3\xa9", b"\xc3", b"\xe2\x80\xa8"]

contents = st.one_of(
    st.binary(max_size=300),
    st.lists(st.sampled_from(CHUNKS), max_size=80).map(b"".join),
)

lone_surrogates = st.sampled_from(["\ud800", "a\udfff", "\udc80;"])
wrong_types = st.one_of(
    st.integers(-(2**70), 2**70),
    st.floats(allow_nan=True),
    st.binary(max_size=4),
    st.lists(st.integers(), max_size=2),
    st.just(object()),
)



def mostly(valid: st.SearchStrategy, wrong: st.SearchStrategy) -> st.SearchStrategy:
    """A valid value nine times in ten, so that most runs get past the
    conversions; a wrong one otherwise."""
    return st.integers(0, 9).flatmap(lambda k: wrong if k == 0 else valid)


delimiters = mostly(
    st.one_of(st.none(), st.sampled_from(["", ",", ";", "\t", "|", " ", ";;", "é", "\0"]),
              st.text(max_size=3)),
    st.one_of(lone_surrogates, wrong_types))
quotes = mostly(st.one_of(st.sampled_from(['"', "'", "", "é", "|"]), st.text(max_size=2)),
                st.one_of(st.none(), lone_surrogates, wrong_types))
flags = mostly(st.booleans(),
               st.one_of(st.none(), st.integers(0, 1), st.text(max_size=1), wrong_types))
# Counts stay small where rows may be padded; huge values only when padding is
# off (padding to 2**60 columns is a memory question, see test_extreme.py).
counts = mostly(st.one_of(st.none(), st.integers(0, 6), st.booleans()),
                st.one_of(st.integers(-(2**70), -1), st.integers(2**64, 2**70),
                          st.floats(allow_nan=True), st.text(max_size=2), st.binary(max_size=2)))
huge_counts = st.integers(2**32, 2**64 - 1)

OPTIONAL_ARGS = ("delimiter", "quote_char", "fill_ragged_rows", "merge_overflow",
                 "expected_columns", "repair_quotes")


@st.composite
def run_arguments(draw) -> dict[str, Any]:
    args: dict[str, Any] = {}
    for name, strategy in (("delimiter", delimiters), ("quote_char", quotes),
                           ("fill_ragged_rows", flags), ("merge_overflow", flags),
                           ("expected_columns", counts), ("repair_quotes", flags)):
        if draw(st.booleans()):
            args[name] = draw(strategy)
    if args.get("fill_ragged_rows", True) is not True and draw(st.booleans()):
        args["expected_columns"] = draw(huge_counts)
    return args


@pytest.fixture(scope="module")
def workdir(module_scratch: pathlib.Path) -> pathlib.Path:
    return module_scratch


def path_variant(workdir: pathlib.Path, kind: str, name: str) -> Any:
    return {
        "ok": str(workdir / name),
        "nul": str(workdir / name) + "\0x",
        "missing-dir": str(workdir / "no-such-dir" / name),
        "surrogate": str(workdir / name) + "\udcff",
        "bytes": str(workdir / name).encode(),
        "path-object": workdir / name,
        "none": None,
    }[kind]


path_kinds = mostly(st.just("ok"), st.sampled_from(["nul", "missing-dir", "surrogate", "bytes",
                                                   "path-object", "none"]))


def expected_delimiter(args: dict[str, Any], data: bytes) -> str | None:
    """The reported delimiter when it follows from the arguments alone."""
    if not data:
        return ","
    b = first_byte(args.get("delimiter"))
    return None if b is None else chr(b)


def check_summary(summary: Any, args: dict[str, Any], data: bytes) -> None:
    d = summary.to_dict()
    assert list(d) == ["total_rows", "rowvaned_rows", "repaired_rows", "quarantined_rows",
                       "detected_delimiter", "inferred_columns"]
    assert d["total_rows"] == d["rowvaned_rows"] + d["quarantined_rows"]
    assert d["repaired_rows"] <= d["rowvaned_rows"]
    assert len(d["detected_delimiter"]) == 1 and ord(d["detected_delimiter"]) <= 0xFF
    want = expected_delimiter(args, data)
    if want is not None:
        assert d["detected_delimiter"] == want
    else:
        assert d["detected_delimiter"] in CANDIDATES
    columns = args.get("expected_columns")
    if data and columns is not None:
        assert d["inferred_columns"] == int(columns)
    if not data:
        assert d == {"total_rows": 0, "rowvaned_rows": 0, "repaired_rows": 0,
                     "quarantined_rows": 0, "detected_delimiter": ",", "inferred_columns": 0}
    if d["inferred_columns"] == 0:
        assert d["repaired_rows"] == d["quarantined_rows"] == 0
    assert repr(summary) == (
        f"<RowvaneSummary total_rows={d['total_rows']} rowvaned_rows={d['rowvaned_rows']} "
        f"repaired_rows={d['repaired_rows']} quarantined_rows={d['quarantined_rows']} "
        f"delimiter='{d['detected_delimiter']}' inferred_columns={d['inferred_columns']}>")


def quote_byte(args: dict[str, Any]) -> int:
    return first_byte(args.get("quote_char", '"')) or 0x22


def check_conversion_failure(exc: BaseException, expected: tuple) -> None:
    name, exc_type, message = expected
    assert type(exc) is exc_type, (exc, expected)
    assert getattr(exc, "__notes__", None) == [f"while processing '{name}'"]
    if message is not None:
        assert str(exc) == message


@SETTINGS
@given(data=contents, args=run_arguments(), out_kind=path_kinds, q_kind=path_kinds,
       in_kind=mostly(st.just("ok"), st.sampled_from(["nul", "missing", "surrogate",
                                                      "path-object"])))
def test_rowvane_file(workdir: pathlib.Path, data: bytes, args: dict[str, Any], out_kind: str,
                      q_kind: str, in_kind: str) -> None:
    src = workdir / "in.csv"
    src.write_bytes(data)
    input_path: Any = {"ok": str(src), "missing": str(workdir / "missing.csv")}.get(
        in_kind) or path_variant(workdir, in_kind, "in.csv")
    out = workdir / "out.csv"
    q = workdir / "q.csv"
    for p in (out, q):
        p.unlink(missing_ok=True)
    output_path = path_variant(workdir, out_kind, "out.csv")
    quarantine_path = path_variant(workdir, q_kind, "q.csv")
    call = {"input_path": input_path, "output_path": output_path,
            "quarantine_path": quarantine_path, **args}

    expected = first_conversion_error(ROWVANE_FILE_PARAMS, call)
    try:
        summary = rv.rowvane_file(**call)
    except (TypeError, OverflowError, UnicodeEncodeError) as exc:
        assert expected is not None, f"unexpected {exc!r}"
        check_conversion_failure(exc, expected)
        assert not out.exists() and not q.exists()
        event(f"conversion error: {expected[0]}")
        return
    except OSError as exc:
        assert expected is None, f"{exc!r} instead of {expected}"
        assert type(exc) is OSError and exc.errno is None and len(exc.args) == 1
        paths = [input_path, output_path] + ([quarantine_path] if quarantine_path else [])
        if any("\0" in p for p in paths):
            assert str(exc) == NUL_PATH_MESSAGE
        else:
            assert str(exc).endswith(")") and " (os error " in str(exc)
            assert in_kind == "missing" or "missing-dir" in (out_kind, q_kind)
        event("OSError")
        return
    assert expected is None, f"no exception, expected {expected}"
    assert in_kind == "ok" and out_kind == "ok" and q_kind in ("ok", "none")
    check_summary(summary, args, data)
    event("repaired")

    # The reader over the same input agrees with the file run.
    reader_args = {k: v for k, v in args.items() if k in OPTIONAL_ARGS}
    reader = rv.RowvaneReader(str(src), **reader_args)
    rows = list(reader)
    assert reader.summary.to_dict() == summary.to_dict()
    assert len(rows) == len(reader) == summary.rowvaned_rows
    if summary.inferred_columns:
        assert all(len(r) == summary.inferred_columns for r in rows)

    # The output reads back as the kept rows where the format can say so.
    delim = summary.detected_delimiter
    quote = chr(quote_byte(args))
    written = out.read_bytes()
    if not rows:
        assert written == b""
    elif (ord(delim) < 0x80 and ord(quote) < 0x80 and delim != quote
          and "\r" not in (delim, quote) and "\n" not in (delim, quote)
          and not rows[0][0].startswith("\ufeff")):
        back = list(rv.open(str(out), delimiter=delim, quote_char=quote, expected_columns=0,
                            repair_quotes=False))
        assert back == rows

    if q_kind == "ok":
        text = q.read_text(encoding="utf-8")
        records = list(csv.reader(io.StringIO(text, newline="")))
        assert records[0] == ["line", "reason", "raw_content"]
        assert len(records) == summary.quarantined_rows + 1
        lines = [int(r[0]) for r in records[1:]]
        assert lines == sorted(lines) and all(n >= 1 for n in lines)
        for r in records[1:]:
            assert r[1] in (f"Row has too few columns (expected {summary.inferred_columns})",
                            f"Row has extra columns (expected {summary.inferred_columns})")
    else:
        assert not q.exists()


@SETTINGS
@given(data=contents, args=run_arguments(), use_open=st.booleans(),
       path_kind=mostly(st.just("ok"), st.sampled_from(["nul", "missing", "directory",
                                                        "surrogate", "bytes", "none"])))
def test_reader(workdir: pathlib.Path, data: bytes, args: dict[str, Any], use_open: bool,
                path_kind: str) -> None:
    src = workdir / "reader.csv"
    src.write_bytes(data)
    path: Any = {"ok": str(src), "missing": str(workdir / "missing.csv"),
                 "directory": str(workdir)}.get(path_kind) or path_variant(workdir, path_kind, "r")
    call = {"file_path": path, **args}
    expected = first_conversion_error(READER_PARAMS, call)
    factory = rv.open if use_open else rv.RowvaneReader
    try:
        reader = factory(**call)
    except (TypeError, OverflowError, UnicodeEncodeError) as exc:
        assert expected is not None, f"unexpected {exc!r}"
        check_conversion_failure(exc, expected)
        event(f"conversion error: {expected[0]}")
        return
    except OSError as exc:
        assert expected is None, f"{exc!r} instead of {expected}"
        assert exc.errno is None and len(exc.args) == 1
        event(type(exc).__name__)
        want_type = {"nul": OSError, "missing": FileNotFoundError,
                     "directory": IsADirectoryError}[path_kind]
        assert type(exc) is want_type
        if path_kind == "nul":
            assert str(exc) == NUL_PATH_MESSAGE
        return
    assert expected is None and path_kind == "ok"
    event("read")
    summary = reader.summary
    check_summary(summary, args, data)
    rows = []
    for row in reader:
        assert type(row) is list and all(type(f) is str for f in row) and row
        rows.append(row)
    assert len(rows) == len(reader) == summary.rowvaned_rows
    assert list(reader) == [] and next(reader, None) is None
    assert bool(reader) == bool(rows)


texts = st.one_of(st.text(max_size=200),
                  st.lists(st.sampled_from(CHUNKS), max_size=60).map(
                      lambda parts: b"".join(parts).decode("utf-8", "replace")))


@SETTINGS
@given(sample=mostly(texts, st.one_of(lone_surrogates, wrong_types, st.none())))
def test_sniff(sample: Any) -> None:
    try:
        got = rv.sniff(sample)
    except (TypeError, UnicodeEncodeError) as exc:
        if isinstance(sample, str):
            assert any("\ud800" <= c <= "\udfff" for c in sample)
            assert type(exc) is UnicodeEncodeError
        else:
            assert type(exc) is TypeError
        assert exc.__notes__ == ["while processing 'sample'"]
        event("refused")
        return
    event("sniffed")
    assert isinstance(sample, str)
    assert got in CANDIDATES
    assert rv.sniff(sample=sample) == got


# --- real files ---------------------------------------------------------------

CORPUS_OPTIONS = [
    {},
    {"fill_ragged_rows": False, "merge_overflow": False},
    {"delimiter": ";", "quote_char": "'", "repair_quotes": False},
    {"expected_columns": 2, "fill_ragged_rows": False},
]


def test_corpus_files(corpus_dir: pathlib.Path, workdir: pathlib.Path) -> None:
    """Every file of the shared corpus (CRLF, BOMs, NUL bytes, UTF-16, broken
    quoting) through the same checks as the generated files."""
    files = sorted(p for p in corpus_dir.rglob("*")
                   if p.is_file() and p.suffix not in (".md", ".tsv"))
    assert len(files) > 100
    out = workdir / "corpus-out.csv"
    q = workdir / "corpus-q.csv"
    for path in files:
        data = path.read_bytes()
        for args in CORPUS_OPTIONS:
            summary = rv.rowvane_file(str(path), str(out), str(q), **args)
            check_summary(summary, args, data)
            reader = rv.open(str(path), **args)
            rows = list(reader)
            assert reader.summary.to_dict() == summary.to_dict(), path
            assert len(rows) == summary.rowvaned_rows
            delim = summary.detected_delimiter
            quote = chr(quote_byte(args))
            if rows and ord(delim) < 0x80 and delim != quote and delim not in "\r\n" \
                    and not rows[0][0].startswith("\ufeff"):
                back = list(rv.open(str(out), delimiter=delim, quote_char=quote,
                                    expected_columns=0, repair_quotes=False))
                assert back == rows, path
            records = list(csv.reader(io.StringIO(q.read_text(encoding="utf-8"), newline="")))
            assert len(records) == summary.quarantined_rows + 1, path
