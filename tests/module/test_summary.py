"""RowvaneSummary: attributes, to_dict, textual form, immutability, lifetime."""

from __future__ import annotations

import gc
import sys
import weakref
from typing import Any, Callable

import pytest

import _csv_rowvane_backend as rv

FIELDS = ["total_rows", "rowvaned_rows", "repaired_rows", "quarantined_rows",
          "detected_delimiter", "inferred_columns"]

EMPTY_REPR = ("<RowvaneSummary total_rows=0 rowvaned_rows=0 repaired_rows=0 "
              "quarantined_rows=0 delimiter=',' inferred_columns=0>")


@pytest.fixture
def summary(run_file: Callable[..., Any]) -> Any:
    # 5 rows: one kept unchanged, three padded, one merged.
    data = b"a;b;c\nd;e\nf;g;h;i\n\nj\n"
    s, _, _ = run_file(data, delimiter=";", expected_columns=3, fill_ragged_rows=True)
    return s


@pytest.mark.parametrize(
    ("data", "kwargs", "expected_repr", "expected_dict"),
    [
        pytest.param(b"", {}, EMPTY_REPR,
                     {"total_rows": 0, "rowvaned_rows": 0, "repaired_rows": 0,
                      "quarantined_rows": 0, "detected_delimiter": ",", "inferred_columns": 0},
                     id="empty"),
        pytest.param(b"", {"delimiter": ";", "expected_columns": 4}, EMPTY_REPR, None,
                     id="empty-ignores-options"),
        pytest.param(b"a;b;c\nd;e\nf;g;h;i\n\nj\n",
                     {"delimiter": ";", "expected_columns": 3, "fill_ragged_rows": False},
                     "<RowvaneSummary total_rows=5 rowvaned_rows=2 repaired_rows=1 "
                     "quarantined_rows=3 delimiter=';' inferred_columns=3>",
                     {"total_rows": 5, "rowvaned_rows": 2, "repaired_rows": 1,
                      "quarantined_rows": 3, "detected_delimiter": ";", "inferred_columns": 3},
                     id="mixed"),
        pytest.param(b"a\tb\nc\td\n", {},
                     "<RowvaneSummary total_rows=2 rowvaned_rows=2 repaired_rows=0 "
                     "quarantined_rows=0 delimiter='\t' inferred_columns=2>", None, id="tab"),
        pytest.param(b"a\nb\n", {"delimiter": "\u00e9", "expected_columns": 0},
                     "<RowvaneSummary total_rows=2 rowvaned_rows=2 repaired_rows=0 "
                     "quarantined_rows=0 delimiter='\u00c3' inferred_columns=0>",
                     {"total_rows": 2, "rowvaned_rows": 2, "repaired_rows": 0,
                      "quarantined_rows": 0, "detected_delimiter": "\u00c3",
                      "inferred_columns": 0},
                     id="non-ascii"),
        pytest.param(b"a'b\n", {"delimiter": "'"},
                     "<RowvaneSummary total_rows=1 rowvaned_rows=1 repaired_rows=0 "
                     "quarantined_rows=0 delimiter=''' inferred_columns=2>", None,
                     id="apostrophe-unescaped"),
    ],
)
def test_repr_and_to_dict(data: bytes, kwargs: dict[str, Any], expected_repr: str,
                          expected_dict: dict[str, Any] | None,
                          run_file: Callable[..., Any], read_rows: Callable[..., Any]) -> None:
    from_file, _, _ = run_file(data, **kwargs)
    _, from_reader = read_rows(data, **kwargs)
    for s in (from_file, from_reader):
        assert type(s) is rv.RowvaneSummary
        assert repr(s) == expected_repr
        assert str(s) == expected_repr
        d = s.to_dict()
        assert type(d) is dict
        assert list(d) == FIELDS
        assert d == {name: getattr(s, name) for name in FIELDS}
        if expected_dict is not None:
            assert d == expected_dict


def test_attribute_types(summary: Any) -> None:
    for name in FIELDS:
        value = getattr(summary, name)
        assert type(value) is (str if name == "detected_delimiter" else int), name
        assert getattr(summary, name) == value
    assert len(summary.detected_delimiter) == 1


def test_to_dict_returns_new_independent_dicts(summary: Any) -> None:
    first = summary.to_dict()
    second = summary.to_dict()
    assert first == second
    assert first is not second
    first["total_rows"] = -1
    first.clear()
    assert summary.to_dict() == second
    assert summary.total_rows == second["total_rows"]


def test_to_dict_takes_no_arguments(summary: Any) -> None:
    with pytest.raises(TypeError):
        summary.to_dict(1)
    with pytest.raises(TypeError):
        summary.to_dict(x=1)


@pytest.mark.parametrize("name", FIELDS)
def test_attributes_are_read_only(summary: Any, name: str) -> None:
    before = getattr(summary, name)
    with pytest.raises(AttributeError):
        setattr(summary, name, 99)
    with pytest.raises(AttributeError):
        delattr(summary, name)
    assert getattr(summary, name) == before
    assert getattr(rv.RowvaneSummary, name).__doc__ is None


def test_no_instance_dict_or_weakref(summary: Any) -> None:
    with pytest.raises(AttributeError):
        summary.extra = 1
    assert not hasattr(summary, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(summary)


@pytest.mark.parametrize(
    "call",
    [
        lambda: rv.RowvaneSummary(),
        lambda: rv.RowvaneSummary(total_rows=1),
        lambda: rv.RowvaneSummary.__new__(rv.RowvaneSummary),
        lambda: type("Sub", (rv.RowvaneSummary,), {}),
    ],
    ids=["no-args", "kwargs", "__new__", "subclass"],
)
def test_cannot_be_created_or_subclassed(call: Callable[[], Any]) -> None:
    with pytest.raises(TypeError):
        call()


def test_summary_outlives_its_reader(write_input: Callable[..., str]) -> None:
    reader = rv.RowvaneReader(write_input(b"a;b\nc;d;e\n"))
    s = reader.summary
    expected = s.to_dict()
    del reader
    gc.collect()
    assert s.to_dict() == expected
    assert repr(s).startswith("<RowvaneSummary total_rows=2 ")


def test_summaries_release_their_type(write_input: Callable[..., str]) -> None:
    reader = rv.RowvaneReader(write_input(b"a,b\n"))
    gc.collect()
    before = sys.getrefcount(rv.RowvaneSummary)
    for _ in range(200):
        s = reader.summary
        s.to_dict()
        repr(s)
        del s
    gc.collect()
    assert sys.getrefcount(rv.RowvaneSummary) == before


def test_large_counts(run_file: Callable[..., Any]) -> None:
    rows = 70_000
    data = b"".join(b"%d,x\n" % i for i in range(rows))
    s, out, _ = run_file(data)
    assert (s.total_rows, s.rowvaned_rows, s.inferred_columns) == (rows, rows, 2)
    assert repr(s) == (f"<RowvaneSummary total_rows={rows} rowvaned_rows={rows} repaired_rows=0 "
                       "quarantined_rows=0 delimiter=',' inferred_columns=2>")
    assert out == data
