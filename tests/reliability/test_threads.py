"""Several Python threads using the module at once: repairing files, creating
readers and pulling rows from one shared reader. Nothing may crash, every
result must equal the single-threaded one, and a shared reader must hand out
each row exactly once. The access flag of a reader can only refuse a call
("Already borrowed" / "Already mutably borrowed") when two calls on it really
overlap, which the interpreter lock rules out for plain iteration; on a build
without that lock the refusals are tolerated and the call is retried."""

from __future__ import annotations

import pathlib
import sys
import threading
from collections.abc import Callable

import pytest

import _csv_rowvane_backend as rv

THREADS = 6
GIL = getattr(sys, "_is_gil_enabled", lambda: True)()
BORROW_MESSAGES = {"Already borrowed", "Already mutably borrowed"}

ROWS = 30_000


def table(rows: int) -> bytes:
    """Rows numbered from 0, with quoting, ragged rows and a bad byte mixed in."""
    out = [b"id,text,value\n"]
    for i in range(rows):
        if i % 11 == 0:
            out.append(b'%d,"quoted, ""text"" %d",%d\n' % (i, i, i))
        elif i % 13 == 0:
            out.append(b"%d,short\n" % i)  # padded
        elif i % 17 == 0:
            out.append(b"%d,a,b,extra\xff\n" % i)  # merged
        else:
            out.append(b"%d,plain %d,%d\n" % (i, i, i))
    return b"".join(out)


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as possible
    yield
    sys.setswitchinterval(old)


def run_threads(target: Callable[[int], None], count: int = THREADS) -> None:
    errors: list[BaseException] = []
    barrier = threading.Barrier(count)

    def body(i: int) -> None:
        try:
            barrier.wait()
            target(i)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
        assert not t.is_alive(), "a thread hung"
    if errors:
        raise errors[0]


def with_borrow_retry(call: Callable[[], object]) -> object:
    """Calls `call`; where the interpreter lock does not serialise calls, an
    access-flag refusal is allowed and the call is retried."""
    while True:
        try:
            return call()
        except RuntimeError as e:
            if GIL or str(e) not in BORROW_MESSAGES:
                raise


def test_rowvane_file_in_parallel(scratch: pathlib.Path) -> None:
    data = table(3000)
    src = scratch / "in.csv"
    src.write_bytes(data)
    ref_out = scratch / "ref.csv"
    ref_q = scratch / "ref-q.csv"
    ref = rv.rowvane_file(str(src), str(ref_out), str(ref_q), fill_ragged_rows=False)
    want_out, want_q = ref_out.read_bytes(), ref_q.read_bytes()

    def work(i: int) -> None:
        for k in range(25):
            out = scratch / f"out-{i}.csv"
            q = scratch / f"q-{i}.csv"
            got = rv.rowvane_file(str(src), str(out), str(q), fill_ragged_rows=False)
            assert got.to_dict() == ref.to_dict()
            assert out.read_bytes() == want_out
            assert q.read_bytes() == want_q
            assert rv.sniff(data[: 200 + k].decode("utf-8", "replace")) == ","

    run_threads(work)


def test_same_output_from_many_threads(scratch: pathlib.Path) -> None:
    # Calls run one after another, so the last writer wins with a whole file,
    # never an interleaving of two.
    src = scratch / "in.csv"
    src.write_bytes(table(2000))
    out = scratch / "shared-out.csv"
    ref = scratch / "ref.csv"
    rv.rowvane_file(str(src), str(ref))

    def work(i: int) -> None:
        for _ in range(20):
            rv.rowvane_file(str(src), str(out))

    run_threads(work)
    assert out.read_bytes() == ref.read_bytes()


def test_readers_in_parallel(scratch: pathlib.Path) -> None:
    src = scratch / "in.csv"
    src.write_bytes(table(2000))
    want = list(rv.open(str(src)))
    want_summary = rv.open(str(src)).summary.to_dict()

    def work(i: int) -> None:
        for _ in range(10):
            reader = rv.RowvaneReader(str(src)) if i % 2 else rv.open(str(src))
            assert len(reader) == len(want)
            assert list(reader) == want
            assert reader.summary.to_dict() == want_summary

    run_threads(work)


def test_shared_reader_yields_each_row_once(scratch: pathlib.Path) -> None:
    src = scratch / "in.csv"
    src.write_bytes(table(ROWS))
    want = list(rv.open(str(src)))
    reader = rv.open(str(src))
    taken: list[list[list[str]]] = [[] for _ in range(THREADS)]
    done = object()

    def work(i: int) -> None:
        mine = taken[i]
        while True:
            row = with_borrow_retry(lambda: next(reader, done))
            if row is done:
                break
            mine.append(row)
            if len(mine) % 97 == 0:  # readers of shared state in between
                assert with_borrow_retry(lambda: len(reader)) == len(want)
                assert with_borrow_retry(lambda: reader.summary).rowvaned_rows == len(want)
                assert with_borrow_retry(lambda: iter(reader)) is reader

    run_threads(work)
    rows = [row for chunk in taken for row in chunk]
    assert len(rows) == len(want)
    # The first field of every row but the header is its number: each row
    # exactly once, and each thread saw its rows in input order.
    assert sorted(rows, key=lambda r: -1 if r[0] == "id" else int(r[0])) == want
    for chunk in taken:
        numbers = [int(r[0]) for r in chunk if r[0] != "id"]
        assert numbers == sorted(numbers)
    assert next(reader, done) is done


def test_shared_reader_with_context_manager_and_summary(scratch: pathlib.Path) -> None:
    src = scratch / "in.csv"
    src.write_bytes(table(5000))
    reader = rv.open(str(src))
    total = len(reader)
    counted = [0] * THREADS

    def work(i: int) -> None:
        if i == 0:
            for _ in range(2000):
                with_borrow_retry(reader.__enter__)
                with_borrow_retry(lambda: reader.__exit__(None, None, None))
                with_borrow_retry(lambda: reader.summary.to_dict())
            return
        for _row in reader:
            counted[i] += 1

    run_threads(work)
    assert sum(counted) == total


def test_first_use_from_many_threads(scratch: pathlib.Path) -> None:
    # A fresh interpreter whose threads race to the first call of every entry
    # point (the one-time creation of the classes and the fault exception).
    import subprocess
    import textwrap

    src = scratch / "in.csv"
    src.write_bytes(b"a,b\n1,2\n")
    code = textwrap.dedent(
        f"""
        import sys, threading
        sys.setswitchinterval(1e-6)
        barrier = threading.Barrier(8)
        results = []
        def body():
            import _csv_rowvane_backend as rv
            barrier.wait()
            s = rv.rowvane_file({str(src)!r}, {str(scratch / 'o.csv')!r})
            r = rv.open({str(src)!r})
            results.append((type(s).__name__, type(r).__name__, list(r), rv.sniff("a;b\\nc;d")))
        threads = [threading.Thread(target=body) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert len(results) == 8 and len(set(map(repr, results))) == 1, results
        print(results[0])
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "('RowvaneSummary', 'RowvaneReader', [['a', 'b'], ['1', '2']], ';')"
