"""Module object: attributes, documentation, text signatures, type objects."""

from __future__ import annotations

import importlib.machinery
import inspect
import sys
import types

import pytest

import _csv_rowvane_backend as rv

MODULE_DOC = (
    "High-performance, fault-tolerant CSV rowvane and reconstruction engine.\n"
    "\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError."
)

ROWVANE_FILE_DOC = "\n".join(
    [
        "Rowvanes a corrupted CSV file and writes a clean, standard RFC-4180 file.",
        "",
        "Args:",
        "    input_path: Path to the corrupted CSV file.",
        "    output_path: Path where the repaired CSV file will be written.",
        "    quarantine_path: Optional path to write unrecoverable / quarantined rows.",
        '    delimiter: Optional single-character delimiter (e.g. "," or ";"). If None, auto-sniffed.',
        "    quote_char: Optional single-character quote enclosure (default '\"').",
        "    fill_ragged_rows: If True, pads short rows with empty strings. Default True.",
        "    merge_overflow: If True, merges extra tokens into the last column. Default True.",
        "    expected_columns: Optional explicit column count. If None, inferred automatically.",
        "    repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True.",
    ]
)

READER_PARAMS = (
    '(file_path, delimiter=None, quote_char="\\"", fill_ragged_rows=True, '
    "merge_overflow=True, expected_columns=None, repair_quotes=True)"
)
ROWVANE_FILE_PARAMS = (
    "(input_path, output_path, quarantine_path=None, delimiter=None, "
    'quote_char="\\"", fill_ragged_rows=True, merge_overflow=True, '
    "expected_columns=None, repair_quotes=True)"
)


def test_version_doc_and_all() -> None:
    assert rv.__version__ == "0.2.0"
    assert rv.__doc__ == MODULE_DOC
    assert rv.__all__ == ["rowvane_file", "sniff", "open", "RowvaneSummary", "RowvaneReader"]
    assert type(rv.__all__) is list
    for name in rv.__all__:
        assert hasattr(rv, name), name


def test_panic_exception_is_not_published() -> None:
    assert not hasattr(rv, "PanicException")


@pytest.mark.parametrize("name", ["rowvane_file", "sniff", "open"])
def test_functions_are_bound_builtins(name: str) -> None:
    func = getattr(rv, name)
    assert type(func).__name__ == "builtin_function_or_method"
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__module__ == "_csv_rowvane_backend"
    assert func.__self__ is rv


@pytest.mark.parametrize(
    ("obj", "signature", "doc"),
    [
        pytest.param(rv.sniff, "(sample)",
                     "Detects the most likely delimiter from a CSV string sample.", id="sniff"),
        pytest.param(rv.rowvane_file, ROWVANE_FILE_PARAMS, ROWVANE_FILE_DOC, id="rowvane_file"),
        pytest.param(rv.open, READER_PARAMS,
                     "Convenience function to open and stream a rowvaned CSV file.", id="open"),
        pytest.param(rv.RowvaneReader, READER_PARAMS,
                     "In-memory streaming reader iterating over rowvaned rows.", id="RowvaneReader"),
        pytest.param(rv.RowvaneReader.__enter__, "($self)", None, id="__enter__"),
        pytest.param(rv.RowvaneReader.__exit__,
                     "($self, _exc_type=None, _exc_val=None, _exc_tb=None)", None, id="__exit__"),
        pytest.param(rv.RowvaneSummary.to_dict, "($self)",
                     "Converts the summary into a native Python dictionary.", id="to_dict"),
        pytest.param(rv.RowvaneSummary, None,
                     "Python-exposed summary of a rowvane operation.", id="RowvaneSummary"),
    ],
)
def test_text_signatures_and_docs(obj: object, signature: str | None, doc: str | None) -> None:
    assert obj.__text_signature__ == signature
    if doc is None:
        assert not obj.__doc__
    else:
        assert obj.__doc__ == doc


@pytest.mark.parametrize(
    ("obj", "names"),
    [
        (rv.rowvane_file, ["input_path", "output_path", "quarantine_path", "delimiter",
                           "quote_char", "fill_ragged_rows", "merge_overflow",
                           "expected_columns", "repair_quotes"]),
        (rv.open, ["file_path", "delimiter", "quote_char", "fill_ragged_rows",
                   "merge_overflow", "expected_columns", "repair_quotes"]),
        (rv.RowvaneReader, ["file_path", "delimiter", "quote_char", "fill_ragged_rows",
                            "merge_overflow", "expected_columns", "repair_quotes"]),
    ],
)
def test_signatures_parse_with_inspect(obj: object, names: list[str]) -> None:
    sig = inspect.signature(obj)
    params = list(sig.parameters.values())
    assert [p.name for p in params] == names
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    assert sig.parameters["quote_char"].default == '"'
    assert sig.parameters["delimiter"].default is None
    assert sig.parameters["expected_columns"].default is None
    for flag in ("fill_ragged_rows", "merge_overflow", "repair_quotes"):
        assert sig.parameters[flag].default is True


@pytest.mark.parametrize("cls", [rv.RowvaneSummary, rv.RowvaneReader])
def test_class_names(cls: type) -> None:
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__
    assert cls.__name__ in ("RowvaneSummary", "RowvaneReader")
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("cls", [rv.RowvaneSummary, rv.RowvaneReader])
def test_classes_cannot_be_subclassed(cls: type) -> None:
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_second_module_object_shares_the_types() -> None:
    # A second module object from the same shared object, loaded directly.
    loader = importlib.machinery.ExtensionFileLoader(rv.__name__, rv.__file__)
    other = loader.create_module(types.SimpleNamespace(name=rv.__name__, origin=rv.__file__))
    loader.exec_module(other)
    assert other is not rv
    assert other.RowvaneSummary is rv.RowvaneSummary
    assert other.RowvaneReader is rv.RowvaneReader
    assert other.sniff is not rv.sniff
    assert other.sniff.__self__ is other
    assert other.sniff("a;b\nc;d") == ";"
    assert other.__all__ == rv.__all__
    assert other.__all__ is not rv.__all__
    assert sys.modules["_csv_rowvane_backend"] is rv
