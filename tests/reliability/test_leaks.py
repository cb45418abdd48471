"""Every entry point and every error path, called many times: the number of
Python heap blocks (sys.getallocatedblocks) and the process's resident memory
(/proc/self/statm) must stay flat. Readers and summaries must be freed when
their last reference goes, which sys.getrefcount shows (the classes have no
weak-reference slot).

A leak of one Python object per call shows as thousands of blocks; a leak of
native row storage shows in the resident memory, so the native-heavy loops use
inputs of tens of kilobytes."""

from __future__ import annotations

import gc
import pathlib
import sys
from collections.abc import Callable

import pytest

import _csv_rowvane_backend as rv
from reliability_support import SANITIZED, rss_bytes

ITERATIONS = 20_000
BLOCK_SLACK = 300  # interpreter noise: caches, interned strings, free lists
RSS_SLACK = 12 << 20

RAGGED = b"a,b,c\n1,2,3\nx,y\n4,5,6,7\n\"q\"\"t\",\"u\nv\",w\n\xff\xfe,z,\xc3\n"


def expect_flat_blocks(call: Callable[[], object], iterations: int = ITERATIONS) -> None:
    for _ in range(200):  # warm caches, free lists and lazily created types
        call()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(iterations):
        call()
    gc.collect()
    grown = sys.getallocatedblocks() - before
    assert grown < BLOCK_SLACK, f"{grown} blocks more after {iterations} calls"


def expect_flat_rss(call: Callable[[], object], iterations: int) -> None:
    if SANITIZED:
        pytest.skip("resident size is meaningless under the sanitizer's allocator")
    for _ in range(20):
        call()
    gc.collect()
    before = rss_bytes()
    for _ in range(iterations):
        call()
    gc.collect()
    grown = rss_bytes() - before
    assert grown < RSS_SLACK, f"resident memory grew by {grown >> 20} MiB after {iterations} calls"


def raises(exc: type[BaseException], func: Callable, *args, **kwargs) -> Callable[[], None]:
    def call() -> None:
        try:
            func(*args, **kwargs)
        except exc as e:
            del e
        else:
            raise AssertionError(f"{func!r} did not raise {exc.__name__}")
    return call


@pytest.fixture
def files(scratch: pathlib.Path) -> dict[str, str]:
    tmp_path = scratch
    src = tmp_path / "in.csv"
    src.write_bytes(RAGGED)
    big = tmp_path / "big.csv"
    # ~60 kB, many short fields, some repairs and quarantine on every run
    big.write_bytes(b"".join(b"%d,field %d,\"q,%d\"\n" % (i, i, i) if i % 7 else b"%d,short\n" % i
                             for i in range(2000)))
    return {"in": str(src), "big": str(big), "out": str(tmp_path / "out.csv"),
            "q": str(tmp_path / "q.csv"), "dir": str(tmp_path),
            "missing": str(tmp_path / "missing.csv")}


# --- successful calls ---------------------------------------------------------

def test_sniff() -> None:
    samples = ["a;b\nc;d\n", "", "x", "é|ü\n1|2\n", '"a,b";c\n"d,e";f\n']

    def call() -> None:
        for s in samples:
            rv.sniff(s)
            rv.sniff(sample=s)
    expect_flat_blocks(call, ITERATIONS // 5)


def test_rowvane_file(files: dict[str, str]) -> None:
    expect_flat_blocks(lambda: rv.rowvane_file(files["in"], files["out"], files["q"]), 10_000)
    expect_flat_blocks(lambda: rv.rowvane_file(
        files["in"], files["out"], quarantine_path=files["q"], delimiter=";;", quote_char="'",
        fill_ragged_rows=False, merge_overflow=False, expected_columns=3, repair_quotes=False),
        10_000)


def test_rowvane_file_native_memory(files: dict[str, str]) -> None:
    expect_flat_rss(lambda: rv.rowvane_file(files["big"], files["out"], files["q"],
                                            expected_columns=3, fill_ragged_rows=False), 1500)


def read_everything(path: str, **kwargs) -> None:
    reader = rv.RowvaneReader(path, **kwargs)
    len(reader)
    for row in reader:
        row.append("x")
    summary = reader.summary
    summary.to_dict()
    repr(summary)
    (summary.total_rows, summary.rowvaned_rows, summary.repaired_rows,
     summary.quarantined_rows, summary.detected_delimiter, summary.inferred_columns)
    with reader as same:
        same.__exit__(None, None, None)
    reader.__exit__()
    iter(reader)
    next(reader, None)


def test_reader(files: dict[str, str]) -> None:
    expect_flat_blocks(lambda: read_everything(files["in"]), 5000)
    expect_flat_blocks(lambda: read_everything(files["in"], delimiter="\t", quote_char="é",
                                               expected_columns=2, repair_quotes=False), 5000)
    expect_flat_blocks(lambda: rv.open(files["in"]), ITERATIONS)


def test_reader_native_memory(files: dict[str, str]) -> None:
    def partly() -> None:  # dropped half way: the remaining rows must go too
        reader = rv.open(files["big"])
        for _ in range(len(reader) // 2):
            next(reader)

    expect_flat_rss(lambda: read_everything(files["big"]), 400)
    expect_flat_rss(lambda: rv.open(files["big"]), 1500)
    expect_flat_rss(partly, 400)


def test_summary_attribute_errors(files: dict[str, str]) -> None:
    summary = rv.rowvane_file(files["in"], files["out"])

    def call() -> None:
        for name in ("total_rows", "detected_delimiter"):
            try:
                setattr(summary, name, 1)
            except AttributeError:
                pass
            try:
                delattr(summary, name)
            except AttributeError:
                pass
        try:
            rv.RowvaneSummary()
        except TypeError:
            pass
    expect_flat_blocks(call, 5000)


# --- error paths --------------------------------------------------------------

def error_calls(files: dict[str, str]) -> list[tuple[str, Callable[[], None]]]:
    f = files
    lone = "\ud800"
    return [
        ("sniff-missing", raises(TypeError, rv.sniff)),
        ("sniff-too-many", raises(TypeError, rv.sniff, "a", "b")),
        ("sniff-unknown-kw", raises(TypeError, rv.sniff, sample="x", other=1)),
        ("sniff-twice", raises(TypeError, rv.sniff, "x", sample="y")),
        ("sniff-bytes", raises(TypeError, rv.sniff, b"a,b")),
        ("sniff-none", raises(TypeError, rv.sniff, None)),
        ("sniff-surrogate", raises(UnicodeEncodeError, rv.sniff, "a" + lone)),
        ("file-missing-args", raises(TypeError, rv.rowvane_file)),
        ("file-ten-args", raises(TypeError, rv.rowvane_file, *["x"] * 10)),
        ("file-unknown-kw", raises(TypeError, rv.rowvane_file, f["in"], f["out"], quarantine=1)),
        ("file-twice", raises(TypeError, rv.rowvane_file, f["in"], f["out"], output_path="y")),
        ("file-path-object", raises(TypeError, rv.rowvane_file, pathlib.Path(f["in"]), f["out"])),
        ("file-surrogate-path", raises(UnicodeEncodeError, rv.rowvane_file, lone, f["out"])),
        ("file-bad-delimiter", raises(TypeError, rv.rowvane_file, f["in"], f["out"], delimiter=1)),
        ("file-none-quote", raises(TypeError, rv.rowvane_file, f["in"], f["out"], quote_char=None)),
        ("file-int-flag", raises(TypeError, rv.rowvane_file, f["in"], f["out"], merge_overflow=0)),
        ("file-negative-count",
         raises(OverflowError, rv.rowvane_file, f["in"], f["out"], expected_columns=-1)),
        ("file-huge-count",
         raises(OverflowError, rv.rowvane_file, f["in"], f["out"], expected_columns=2**64)),
        ("file-float-count",
         raises(TypeError, rv.rowvane_file, f["in"], f["out"], expected_columns=1.5)),
        ("file-missing-input", raises(OSError, rv.rowvane_file, f["missing"], f["out"])),
        ("file-dir-output", raises(OSError, rv.rowvane_file, f["in"], f["dir"])),
        ("file-dir-quarantine", raises(OSError, rv.rowvane_file, f["in"], f["out"], f["dir"])),
        ("file-empty-quarantine", raises(OSError, rv.rowvane_file, f["in"], f["out"], "")),
        ("file-nul-path", raises(OSError, rv.rowvane_file, f["in"] + "\0", f["out"])),
        ("reader-missing-arg", raises(TypeError, rv.RowvaneReader)),
        ("reader-unknown-kw", raises(TypeError, rv.RowvaneReader, f["in"], quote="x")),
        ("reader-twice", raises(TypeError, rv.RowvaneReader, f["in"], file_path=f["in"])),
        ("reader-bad-flag", raises(TypeError, rv.RowvaneReader, f["in"], repair_quotes=None)),
        ("reader-surrogate-delimiter",
         raises(UnicodeEncodeError, rv.RowvaneReader, f["in"], delimiter=lone)),
        ("reader-negative-count",
         raises(OverflowError, rv.RowvaneReader, f["in"], expected_columns=-5)),
        ("reader-missing-file", raises(FileNotFoundError, rv.RowvaneReader, f["missing"])),
        ("reader-directory", raises(IsADirectoryError, rv.RowvaneReader, f["dir"])),
        ("reader-nul-path", raises(OSError, rv.RowvaneReader, "a\0b")),
        ("open-missing-arg", raises(TypeError, rv.open)),
        ("open-too-many", raises(TypeError, rv.open, *["x"] * 8)),
        ("open-missing-file", raises(FileNotFoundError, rv.open, f["missing"])),
        ("open-bytes-path", raises(TypeError, rv.open, f["in"].encode())),
    ]


def test_error_paths(files: dict[str, str]) -> None:
    calls = error_calls(files)

    def call() -> None:
        for _, c in calls:
            c()
    expect_flat_blocks(call, ITERATIONS // 20)


def test_method_errors(files: dict[str, str]) -> None:
    reader = rv.open(files["in"])
    calls = [
        raises(TypeError, reader.__exit__, 1, 2, 3, 4),
        raises(TypeError, reader.__exit__, _exc_type=1, other=2),
        raises(TypeError, reader.__enter__, 1),
        raises(AttributeError, setattr, reader, "summary", 1),
        raises(TypeError, reader.summary.to_dict, 1),
    ]

    def call() -> None:
        for c in calls:
            c()
    expect_flat_blocks(call, ITERATIONS // 5)


# --- deallocation -------------------------------------------------------------

def test_reader_and_summary_references(files: dict[str, str]) -> None:
    reader = rv.open(files["in"])
    base = sys.getrefcount(reader)
    assert iter(reader) is reader
    with reader as same:
        assert same is reader
    del same
    # What getrefcount reports for an object that one local name holds (the
    # interpreter may or may not count the argument itself).
    control = ["only", "here"]
    single = sys.getrefcount(control)
    rows = 0
    for row in reader:
        assert sys.getrefcount(row) == single
        rows += 1
    assert rows == len(reader) > 0
    assert reader.__exit__(None, None, None) is False
    summary = reader.summary
    assert sys.getrefcount(reader) == base
    assert sys.getrefcount(summary) == single
    assert sys.getrefcount(summary.to_dict()) == sys.getrefcount({"fresh": 1})

    result = rv.rowvane_file(files["in"], files["out"])
    assert sys.getrefcount(result) == single


def test_readers_are_freed(files: dict[str, str]) -> None:
    # A reader holds its rows natively; creating and dropping many large ones
    # must not accumulate them, whether or not they were iterated.
    gc.collect()
    before_blocks = sys.getallocatedblocks()
    before_rss = rss_bytes()
    for i in range(300):
        reader = rv.open(files["big"])
        if i % 2:
            list(reader)
        del reader
    gc.collect()
    assert sys.getallocatedblocks() - before_blocks < BLOCK_SLACK
    if not SANITIZED:
        assert rss_bytes() - before_rss < RSS_SLACK


def test_notes_do_not_accumulate(files: dict[str, str]) -> None:
    # Each failing conversion attaches one note to a new exception.
    for _ in range(1000):
        try:
            rv.rowvane_file(files["in"], files["out"], fill_ragged_rows=None)
        except TypeError as e:
            assert e.__notes__ == ["while processing 'fill_ragged_rows'"]


def test_type_references_return(files: dict[str, str]) -> None:
    # Every instance holds a reference to its heap type and gives it back when
    # freed; a missing release would not show in the block count.
    for _ in range(100):
        rv.open(files["in"]).summary
    gc.collect()
    reader_refs = sys.getrefcount(rv.RowvaneReader)
    summary_refs = sys.getrefcount(rv.RowvaneSummary)
    for _ in range(5000):
        reader = rv.open(files["in"])
        list(reader)
        reader.summary.to_dict()
        rv.rowvane_file(files["in"], files["out"])
        try:
            rv.RowvaneReader(files["missing"])
        except FileNotFoundError:
            pass
        del reader
    gc.collect()
    assert sys.getrefcount(rv.RowvaneReader) == reader_refs
    assert sys.getrefcount(rv.RowvaneSummary) == summary_refs
