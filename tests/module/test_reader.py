"""RowvaneReader and open(): iteration, length, summary, context manager,
ownership of the returned rows and lifetime of the reader."""

from __future__ import annotations

import gc
import os
import pathlib
import sys
import weakref
from typing import Any, Callable

import pytest

import _csv_rowvane_backend as rv

EMPTY_REPR = ("<RowvaneSummary total_rows=0 rowvaned_rows=0 repaired_rows=0 "
              "quarantined_rows=0 delimiter=',' inferred_columns=0>")

DATA = b"h1;h2;h3\na;b;c\nd;e\nf;g;h;i\n"
DATA_ROWS = [["h1", "h2", "h3"], ["a", "b", "c"], ["d", "e", ""], ["f", "g", "h;i"]]


@pytest.fixture(params=["RowvaneReader", "open"])
def make_reader(request: pytest.FixtureRequest, write_input: Callable[..., str]) -> Callable[..., Any]:
    factory = rv.RowvaneReader if request.param == "RowvaneReader" else rv.open

    def make(data: bytes = DATA, **kwargs: Any) -> Any:
        return factory(write_input(data), **kwargs)

    return make


def test_rows_and_summary(make_reader: Callable[..., Any]) -> None:
    reader = make_reader()
    assert type(reader) is rv.RowvaneReader
    assert len(reader) == 4
    rows = list(reader)
    assert rows == DATA_ROWS
    for row in rows:
        assert type(row) is list
        assert all(type(f) is str for f in row)
    s = reader.summary
    assert s.to_dict() == {"total_rows": 4, "rowvaned_rows": 4, "repaired_rows": 2,
                           "quarantined_rows": 0, "detected_delimiter": ";",
                           "inferred_columns": 3}


def test_iteration_protocol(make_reader: Callable[..., Any]) -> None:
    reader = make_reader()
    assert iter(reader) is reader
    assert next(reader) == DATA_ROWS[0]
    assert iter(reader) is reader
    assert list(reader) == DATA_ROWS[1:]
    assert list(reader) == []
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(reader)
    assert len(reader) == 4
    assert bool(reader) is True
    assert reader.summary.rowvaned_rows == 4


@pytest.mark.parametrize("data", [b"", b"\xef\xbb\xbf"], ids=["empty", "bom-only"])
def test_empty_file(data: bytes, make_reader: Callable[..., Any]) -> None:
    reader = make_reader(data)
    assert len(reader) == 0
    assert bool(reader) is False
    assert list(reader) == []
    with pytest.raises(StopIteration):
        next(reader)
    assert repr(reader.summary) == EMPTY_REPR


def test_empty_file_ignores_options(make_reader: Callable[..., Any]) -> None:
    reader = make_reader(b"", delimiter="|", expected_columns=5)
    assert repr(reader.summary) == EMPTY_REPR


def test_bom_only_with_given_options_reports_them(make_reader: Callable[..., Any]) -> None:
    reader = make_reader(b"\xef\xbb\xbf", delimiter="|", expected_columns=5)
    s = reader.summary
    assert (s.detected_delimiter, s.inferred_columns, s.total_rows) == ("|", 5, 0)


def test_bom_gives_the_same_rows(make_reader: Callable[..., Any]) -> None:
    plain = make_reader(DATA)
    with_bom = make_reader(b"\xef\xbb\xbf" + DATA)
    assert list(with_bom) == list(plain) == DATA_ROWS
    assert with_bom.summary.to_dict() == plain.summary.to_dict()


def test_quarantined_rows_are_never_yielded(make_reader: Callable[..., Any]) -> None:
    reader = make_reader(b"a,b\nshort\nc,d\ntoo,many,cells\ne,f\n",
                         fill_ragged_rows=False, merge_overflow=False)
    assert list(reader) == [["a", "b"], ["c", "d"], ["e", "f"]]
    s = reader.summary
    assert len(reader) == s.rowvaned_rows == 3
    assert s.quarantined_rows == 2
    assert s.total_rows == len(reader) + s.quarantined_rows


def test_summary_is_new_on_every_read(make_reader: Callable[..., Any]) -> None:
    reader = make_reader()
    first, second = reader.summary, reader.summary
    assert first is not second
    assert reader.summary is not reader.summary
    assert first.to_dict() == second.to_dict()
    list(reader)
    assert reader.summary.to_dict() == first.to_dict()


def test_summary_is_read_only(make_reader: Callable[..., Any]) -> None:
    reader = make_reader()
    with pytest.raises(AttributeError):
        reader.summary = None
    with pytest.raises(AttributeError):
        del reader.summary
    assert reader.summary.total_rows == 4
    assert rv.RowvaneReader.summary.__doc__ is None


def test_no_instance_dict_or_weakref(make_reader: Callable[..., Any]) -> None:
    reader = make_reader()
    with pytest.raises(AttributeError):
        reader.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(reader)


def test_context_manager(make_reader: Callable[..., Any]) -> None:
    reader = make_reader()
    with reader as bound:
        assert bound is reader
        assert next(bound) == DATA_ROWS[0]
    # Nothing was closed: the reader goes on where it stopped.
    assert list(reader) == DATA_ROWS[1:]
    assert len(reader) == 4


def test_context_manager_lets_exceptions_through(make_reader: Callable[..., Any]) -> None:
    error = ValueError("boom")
    reader = make_reader()
    with pytest.raises(ValueError) as excinfo:
        with reader:
            raise error
    assert excinfo.value is error
    assert list(reader) == DATA_ROWS


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((), {}),
        ((None, None, None), {}),
        ((ValueError, ValueError("x"), None), {}),
        ((1, "two", object()), {}),
        ((KeyError,), {}),
        ((), {"_exc_type": 1, "_exc_val": 2, "_exc_tb": 3}),
        ((None,), {"_exc_tb": None}),
    ],
)
def test_exit_returns_false(args: tuple[Any, ...], kwargs: dict[str, Any],
                            make_reader: Callable[..., Any]) -> None:
    reader = make_reader()
    assert reader.__exit__(*args, **kwargs) is False
    assert len(list(reader)) == 4


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((1, 2, 3, 4), {},
         "RowvaneReader.__exit__() takes from 0 to 3 positional arguments but 4 were given"),
        ((), {"exc_type": 1},
         "RowvaneReader.__exit__() got an unexpected keyword argument 'exc_type'"),
        ((1,), {"_exc_type": 1},
         "RowvaneReader.__exit__() got multiple values for argument '_exc_type'"),
    ],
)
def test_exit_binding_errors(args: tuple[Any, ...], kwargs: dict[str, Any], message: str,
                             make_reader: Callable[..., Any]) -> None:
    reader = make_reader()
    with pytest.raises(TypeError) as excinfo:
        reader.__exit__(*args, **kwargs)
    assert excinfo.value.args == (message,)


def test_enter_takes_no_arguments(make_reader: Callable[..., Any]) -> None:
    reader = make_reader()
    assert reader.__enter__() is reader
    with pytest.raises(TypeError):
        reader.__enter__(1)


def test_returned_rows_belong_to_the_caller(make_reader: Callable[..., Any]) -> None:
    reader = make_reader()
    first = next(reader)
    first.append("extra")
    first[0] = "changed"
    first.clear()
    second = next(reader)
    assert second == DATA_ROWS[1]
    second[1] = "x"
    assert list(reader) == DATA_ROWS[2:]
    assert len(reader) == 4


def test_open_and_class_agree(write_input: Callable[..., str]) -> None:
    path = write_input(b"a;b;c\nd;e\nf,g;h;i;j\n")
    by_open = rv.open(path, delimiter=";")
    by_class = rv.RowvaneReader(path, delimiter=";")
    assert type(by_open) is type(by_class) is rv.RowvaneReader
    assert list(by_open) == list(by_class)
    assert by_open.summary.to_dict() == by_class.summary.to_dict()


def test_reader_holds_no_file(write_input: Callable[..., str], fd_count: Callable[[], int | None]) -> None:
    path = write_input(DATA)
    before = fd_count()
    reader = rv.RowvaneReader(path)
    if before is not None:
        assert fd_count() == before
    os.remove(path)
    assert list(reader) == DATA_ROWS


def test_failed_construction_releases_the_file(tmp_path: pathlib.Path,
                                               fd_count: Callable[[], int | None]) -> None:
    if fd_count() is None:
        pytest.skip("cannot count descriptors")
    (tmp_path / "dir").mkdir()
    before = fd_count()
    for _ in range(50):
        with pytest.raises(IsADirectoryError):
            rv.RowvaneReader(str(tmp_path / "dir"))
        with pytest.raises(FileNotFoundError):
            rv.open(str(tmp_path / "missing"))
    assert fd_count() == before


def test_readers_release_their_type(write_input: Callable[..., str]) -> None:
    path = write_input(DATA)
    gc.collect()
    before = sys.getrefcount(rv.RowvaneReader)
    for _ in range(100):
        reader = rv.RowvaneReader(path)
        next(reader)
        del reader
        reader = rv.open(path)
        del reader
    gc.collect()
    assert sys.getrefcount(rv.RowvaneReader) == before


def test_rows_outlive_the_reader(write_input: Callable[..., str]) -> None:
    reader = rv.RowvaneReader(write_input(DATA))
    row = next(reader)
    del reader
    gc.collect()
    assert row == DATA_ROWS[0]


def test_many_rows(write_input: Callable[..., str]) -> None:
    count = 50_000
    path = write_input(b"".join(b"%d,\xc3\xa9%d\n" % (i, i) for i in range(count)))
    reader = rv.open(path)
    assert len(reader) == count
    for i, row in enumerate(reader):
        assert row == [str(i), f"é{i}"]
    assert i == count - 1


def test_threads_share_one_reader(write_input: Callable[..., str]) -> None:
    import threading

    count = 20_000
    reader = rv.open(write_input(b"".join(b"%d,x\n" % i for i in range(count))))
    seen: list[list[str]] = []
    errors: list[BaseException] = []

    def consume() -> None:
        try:
            for row in reader:
                seen.append(row)
                len(reader)
                reader.summary
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=consume) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert sorted(int(row[0]) for row in seen) == list(range(count))
    assert all(row[1] == "x" for row in seen)
