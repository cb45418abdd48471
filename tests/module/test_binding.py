"""Argument binding and conversion: messages, notes, order, accepted values."""

from __future__ import annotations

import os
import pathlib
from typing import Any, Callable

import pytest

import _csv_rowvane_backend as rv


def note_of(excinfo: pytest.ExceptionInfo[BaseException]) -> list[str] | None:
    return getattr(excinfo.value, "__notes__", None)


# ---------------------------------------------------------------------------
# Binding failures (TypeError, no note, no file touched)
# ---------------------------------------------------------------------------

BINDING_CASES = [
    (lambda: rv.sniff(), "sniff() missing 1 required positional argument: 'sample'"),
    (lambda: rv.sniff("a", "b"), "sniff() takes 1 positional arguments but 2 were given"),
    (lambda: rv.sniff("a", "b", "c"), "sniff() takes 1 positional arguments but 3 were given"),
    (lambda: rv.sniff(sample="x", other=1), "sniff() got an unexpected keyword argument 'other'"),
    (lambda: rv.sniff("x", sample="y"), "sniff() got multiple values for argument 'sample'"),
    (lambda: rv.sniff(other=1), "sniff() got an unexpected keyword argument 'other'"),
    (lambda: rv.rowvane_file(),
     "rowvane_file() missing 2 required positional arguments: 'input_path' and 'output_path'"),
    (lambda: rv.rowvane_file("a"),
     "rowvane_file() missing 1 required positional argument: 'output_path'"),
    (lambda: rv.rowvane_file(output_path="b"),
     "rowvane_file() missing 1 required positional argument: 'input_path'"),
    (lambda: rv.rowvane_file(delimiter=";"),
     "rowvane_file() missing 2 required positional arguments: 'input_path' and 'output_path'"),
    (lambda: rv.rowvane_file(*["x"] * 10),
     "rowvane_file() takes from 2 to 9 positional arguments but 10 were given"),
    (lambda: rv.rowvane_file("a", "b", quarantine="q"),
     "rowvane_file() got an unexpected keyword argument 'quarantine'"),
    (lambda: rv.rowvane_file("a", "b", input_path="c"),
     "rowvane_file() got multiple values for argument 'input_path'"),
    (lambda: rv.rowvane_file("a", "b", None, ";", delimiter=","),
     "rowvane_file() got multiple values for argument 'delimiter'"),
    # Keywords are examined in call order; the first failure wins.
    (lambda: rv.rowvane_file("a", "b", bogus=1, input_path="c"),
     "rowvane_file() got an unexpected keyword argument 'bogus'"),
    (lambda: rv.rowvane_file("a", "b", input_path="c", bogus=1),
     "rowvane_file() got multiple values for argument 'input_path'"),
    # Binding comes before any conversion.
    (lambda: rv.rowvane_file(1, 2, bogus=3),
     "rowvane_file() got an unexpected keyword argument 'bogus'"),
    (lambda: rv.open(), "open() missing 1 required positional argument: 'file_path'"),
    (lambda: rv.open(*["x"] * 8), "open() takes from 1 to 7 positional arguments but 8 were given"),
    (lambda: rv.open("x", bogus=1, file_path="y"), "open() got an unexpected keyword argument 'bogus'"),
    (lambda: rv.open("x", file_path="y", bogus=1), "open() got multiple values for argument 'file_path'"),
    (lambda: rv.RowvaneReader(),
     "RowvaneReader.__new__() missing 1 required positional argument: 'file_path'"),
    (lambda: rv.RowvaneReader(*["x"] * 8),
     "RowvaneReader.__new__() takes from 1 to 7 positional arguments but 8 were given"),
    (lambda: rv.RowvaneReader("x", bogus=1, file_path="y"),
     "RowvaneReader.__new__() got an unexpected keyword argument 'bogus'"),
    (lambda: rv.RowvaneReader("x", file_path="y", bogus=1),
     "RowvaneReader.__new__() got multiple values for argument 'file_path'"),
    (lambda: rv.RowvaneReader(3, bogus=1),
     "RowvaneReader.__new__() got an unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize(("call", "message"), BINDING_CASES,
                         ids=[m for _, m in BINDING_CASES])
def test_binding_failures(call: Callable[[], Any], message: str) -> None:
    with pytest.raises(TypeError) as excinfo:
        call()
    assert type(excinfo.value) is TypeError
    assert excinfo.value.args == (message,)
    assert note_of(excinfo) is None


def test_binding_failure_touches_no_file(write_input: Callable[..., str], tmp_path: pathlib.Path) -> None:
    src = write_input(b"a,b\n")
    out = tmp_path / "out.csv"
    with pytest.raises(TypeError):
        rv.rowvane_file(src, str(out), bogus=1)
    assert not out.exists()


# ---------------------------------------------------------------------------
# Conversion failures: the conversion's own exception plus one note
# ---------------------------------------------------------------------------


class Outer:
    class Inner:
        pass


SNIFF_CONVERSION_CASES = [
    (3, TypeError, "'int' object is not an instance of 'str'"),
    (b"a,b", TypeError, "'bytes' object is not an instance of 'str'"),
    (None, TypeError, "'None' is not an instance of 'str'"),
    (["a"], TypeError, "'list' object is not an instance of 'str'"),
    (Outer.Inner(), TypeError, "'Outer.Inner' object is not an instance of 'str'"),
    ("a\ud800b", UnicodeEncodeError, None),
]


@pytest.mark.parametrize(("value", "exc_type", "message"), SNIFF_CONVERSION_CASES)
def test_sniff_conversion_failures(value: Any, exc_type: type, message: str | None) -> None:
    with pytest.raises(exc_type) as excinfo:
        rv.sniff(value)
    assert type(excinfo.value) is exc_type
    if message is not None:
        assert excinfo.value.args == (message,)
    assert note_of(excinfo) == ["while processing 'sample'"]


def test_sniff_keyword_and_str_subclass() -> None:
    class MyStr(str):
        pass

    assert rv.sniff(sample="a;b\nc;d") == ";"
    assert rv.sniff(MyStr("a|b\nc|d")) == "|"


# Entry points sharing the reconciliation options. Each takes an existing
# input path, a scratch directory and keyword arguments.
def call_rowvane_file(path: str, tmp: pathlib.Path, **kw: Any) -> Any:
    return rv.rowvane_file(path, str(tmp / "conv.out.csv"), **kw)


def call_open(path: str, tmp: pathlib.Path, **kw: Any) -> Any:
    return rv.open(path, **kw).summary


def call_reader(path: str, tmp: pathlib.Path, **kw: Any) -> Any:
    return rv.RowvaneReader(path, **kw).summary


ENTRY_POINTS = [
    pytest.param(call_rowvane_file, id="rowvane_file"),
    pytest.param(call_open, id="open"),
    pytest.param(call_reader, id="RowvaneReader"),
]

OPTION_CONVERSION_CASES = [
    ({"delimiter": 1}, TypeError, "'int' object is not an instance of 'str'", "delimiter"),
    ({"delimiter": b";"}, TypeError, "'bytes' object is not an instance of 'str'", "delimiter"),
    ({"delimiter": "\udc80"}, UnicodeEncodeError, None, "delimiter"),
    ({"quote_char": None}, TypeError, "'None' is not an instance of 'str'", "quote_char"),
    ({"quote_char": 34}, TypeError, "'int' object is not an instance of 'str'", "quote_char"),
    ({"fill_ragged_rows": None}, TypeError, "'None' is not an instance of 'bool'", "fill_ragged_rows"),
    ({"fill_ragged_rows": 1}, TypeError, "'int' object is not an instance of 'bool'", "fill_ragged_rows"),
    ({"merge_overflow": 0}, TypeError, "'int' object is not an instance of 'bool'", "merge_overflow"),
    ({"merge_overflow": "yes"}, TypeError, "'str' object is not an instance of 'bool'", "merge_overflow"),
    ({"repair_quotes": 1.0}, TypeError, "'float' object is not an instance of 'bool'", "repair_quotes"),
    ({"repair_quotes": None}, TypeError, "'None' is not an instance of 'bool'", "repair_quotes"),
    ({"expected_columns": -1}, OverflowError, None, "expected_columns"),
    ({"expected_columns": 2**64}, OverflowError, None, "expected_columns"),
    ({"expected_columns": -(2**70)}, OverflowError, None, "expected_columns"),
    ({"expected_columns": "3"}, TypeError, None, "expected_columns"),
    ({"expected_columns": 3.0}, TypeError, None, "expected_columns"),
    # Conversion stops at the first bad parameter, in parameter order.
    ({"repair_quotes": 1, "delimiter": 5}, TypeError,
     "'int' object is not an instance of 'str'", "delimiter"),
    ({"expected_columns": -1, "fill_ragged_rows": None}, TypeError,
     "'None' is not an instance of 'bool'", "fill_ragged_rows"),
]


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize(("kwargs", "exc_type", "message", "param"), OPTION_CONVERSION_CASES)
def test_option_conversion_failures(entry: Callable[..., Any], kwargs: dict[str, Any],
                                    exc_type: type, message: str | None, param: str,
                                    write_input: Callable[..., str],
                                    tmp_path: pathlib.Path) -> None:
    src = write_input(b"a,b\n")
    with pytest.raises(exc_type) as excinfo:
        entry(src, tmp_path, **kwargs)
    assert type(excinfo.value) is exc_type
    if message is not None:
        assert excinfo.value.args == (message,)
    assert note_of(excinfo) == [f"while processing '{param}'"]
    # No file has been touched.
    assert not (tmp_path / "conv.out.csv").exists()


PATH_CONVERSION_CASES = [
    ({"input_path": pathlib.Path("in.csv")}, TypeError,
     "'PosixPath' object is not an instance of 'str'", "input_path"),
    ({"input_path": b"in.csv"}, TypeError, "'bytes' object is not an instance of 'str'", "input_path"),
    ({"input_path": None}, TypeError, "'None' is not an instance of 'str'", "input_path"),
    ({"output_path": pathlib.Path("out.csv")}, TypeError,
     "'PosixPath' object is not an instance of 'str'", "output_path"),
    ({"output_path": None}, TypeError, "'None' is not an instance of 'str'", "output_path"),
    ({"quarantine_path": b"q.csv"}, TypeError, "'bytes' object is not an instance of 'str'",
     "quarantine_path"),
    ({"quarantine_path": 0}, TypeError, "'int' object is not an instance of 'str'", "quarantine_path"),
    ({"output_path": "\ud800"}, UnicodeEncodeError, None, "output_path"),
    # The first bad argument in parameter order is the one reported.
    ({"input_path": 1, "output_path": 2}, TypeError,
     "'int' object is not an instance of 'str'", "input_path"),
    ({"output_path": 2, "repair_quotes": 3}, TypeError,
     "'int' object is not an instance of 'str'", "output_path"),
]


@pytest.mark.parametrize(("override", "exc_type", "message", "param"), PATH_CONVERSION_CASES)
def test_rowvane_file_path_conversion(override: dict[str, Any], exc_type: type,
                                      message: str | None, param: str,
                                      write_input: Callable[..., str],
                                      tmp_path: pathlib.Path) -> None:
    kwargs: dict[str, Any] = {
        "input_path": write_input(b"a,b\n"),
        "output_path": str(tmp_path / "out.csv"),
    }
    kwargs.update(override)
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(exc_type) as excinfo:
        rv.rowvane_file(**kwargs)
    assert type(excinfo.value) is exc_type
    if message is not None:
        assert excinfo.value.args == (message,)
    assert note_of(excinfo) == [f"while processing '{param}'"]
    assert sorted(os.listdir(tmp_path)) == before


@pytest.mark.parametrize("factory", [rv.open, rv.RowvaneReader])
@pytest.mark.parametrize(
    ("value", "message"),
    [
        (pathlib.Path("x.csv"), "'PosixPath' object is not an instance of 'str'"),
        (b"x.csv", "'bytes' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
    ],
)
def test_reader_path_conversion(factory: Callable[..., Any], value: Any, message: str) -> None:
    with pytest.raises(TypeError) as excinfo:
        factory(value)
    assert excinfo.value.args == (message,)
    assert note_of(excinfo) == ["while processing 'file_path'"]


# ---------------------------------------------------------------------------
# Accepted values and their meaning
# ---------------------------------------------------------------------------


class Index:
    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


SEMI_INPUT = b"a;b;c\nd;e\nf;g;h;i\nj;k;l\n"

# (kwargs, expected (detected_delimiter, inferred_columns))
ACCEPTED_CASES = [
    ({}, (";", 3)),
    ({"delimiter": None}, (";", 3)),
    ({"delimiter": ""}, (";", 3)),
    ({"delimiter": ";"}, (";", 3)),
    ({"delimiter": ";;"}, (";", 3)),
    ({"delimiter": ";,|"}, (";", 3)),
    ({"delimiter": ","}, (",", 1)),
    ({"delimiter": "\t"}, ("\t", 1)),
    ({"delimiter": "é"}, ("\u00c3", 1)),
    ({"delimiter": "\u00a6"}, ("\u00c2", 1)),
    ({"delimiter": "\U0001f986"}, ("\u00f0", 1)),
    ({"expected_columns": None}, (";", 3)),
    ({"expected_columns": 0}, (";", 0)),
    ({"expected_columns": True}, (";", 1)),
    ({"expected_columns": False}, (";", 0)),
    ({"expected_columns": Index(2)}, (";", 2)),
    ({"expected_columns": 7}, (";", 7)),
    ({"quote_char": ""}, (";", 3)),
    ({"quote_char": "'"}, (";", 3)),
    ({"fill_ragged_rows": False, "merge_overflow": False, "repair_quotes": False}, (";", 3)),
]


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize(("kwargs", "expected"), ACCEPTED_CASES,
                         ids=[repr(k) for k, _ in ACCEPTED_CASES])
def test_accepted_values(entry: Callable[..., Any], kwargs: dict[str, Any],
                         expected: tuple[str, int], write_input: Callable[..., str],
                         tmp_path: pathlib.Path) -> None:
    summary = entry(write_input(SEMI_INPUT), tmp_path, **kwargs)
    assert (summary.detected_delimiter, summary.inferred_columns) == expected
    assert summary.total_rows == 4


def test_all_arguments_positionally(write_input: Callable[..., str], tmp_path: pathlib.Path) -> None:
    src = write_input(b"a;b\nc\n")
    out = tmp_path / "o.csv"
    q = tmp_path / "q.csv"
    summary = rv.rowvane_file(src, str(out), str(q), ";", '"', False, True, 2, True)
    assert (summary.quarantined_rows, summary.rowvaned_rows) == (1, 1)
    assert out.read_bytes() == b"a;b\n"
    reader = rv.RowvaneReader(src, ";", '"', False, True, 2, True)
    assert list(reader) == [["a", "b"]]
    reader = rv.open(src, ";", '"', True, True, 2, True)
    assert list(reader) == [["a", "b"], ["c", ""]]


def test_unknown_quote_bytes_use_first_utf8_byte(read_rows: Callable[..., Any]) -> None:
    # "é" as quote_char uses the byte 0xC3: the input bytes C3 61 C3 form a quoted field.
    rows, _ = read_rows(b"\xc3a,b\xc3,c\n", quote_char="é", delimiter=",", expected_columns=0)
    assert rows == [["a,b", "c"]]


def test_huge_expected_columns_is_accepted(run_file: Callable[..., Any]) -> None:
    big = 2**64 - 1
    summary, out, quarantine = run_file(b"a,b\n", quarantine=True, expected_columns=big,
                                        fill_ragged_rows=False)
    assert summary.inferred_columns == big
    assert out == b""
    assert quarantine == (b"line,reason,raw_content\n"
                          b'1,"Row has too few columns (expected 18446744073709551615)","a,b"\n')


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_numpy_bools_are_flags(entry: Callable[..., Any], write_input: Callable[..., str],
                               tmp_path: pathlib.Path) -> None:
    np = pytest.importorskip("numpy")
    src = write_input(b"a,b\nc\n")
    summary = entry(src, tmp_path, delimiter=",", expected_columns=2,
                    fill_ragged_rows=np.bool_(False), merge_overflow=np.True_,
                    repair_quotes=np.False_)
    assert (summary.rowvaned_rows, summary.quarantined_rows) == (1, 1)
    summary = entry(src, tmp_path, delimiter=",", expected_columns=2,
                    fill_ragged_rows=np.True_)
    assert (summary.rowvaned_rows, summary.repaired_rows) == (2, 1)
    with pytest.raises(TypeError) as excinfo:
        entry(src, tmp_path, fill_ragged_rows=np.int64(1))
    assert note_of(excinfo) == ["while processing 'fill_ragged_rows'"]
