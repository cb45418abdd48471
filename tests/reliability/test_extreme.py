"""Inputs of extreme shape: one field of 100 MB, lines of millions of quotes, a
million columns, nothing but line breaks or NUL bytes, and column counts that
cannot be satisfied in memory. Each must run without a crash and give exactly
the result the parsing and output rules imply. The two 100 MB cases carry the
`extreme` mark (deselect with -m "not extreme")."""

from __future__ import annotations

import pathlib
import random
import subprocess
import sys
import textwrap

import pytest

import _csv_rowvane_backend as rv
from reliability_support import count_records_of_line_breaks

MB = 1_000_000


def run(scratch: pathlib.Path, data: bytes, quarantine: bool = False, **kwargs):
    src = scratch / "in.csv"
    out = scratch / "out.csv"
    q = scratch / "q.csv"
    src.write_bytes(data)
    summary = rv.rowvane_file(str(src), str(out), str(q) if quarantine else None, **kwargs)
    result = (summary, out.read_bytes(), q.read_bytes() if quarantine else None)
    out.unlink()
    if quarantine:
        q.unlink()
    return result


def read_rows(scratch: pathlib.Path, **kwargs) -> list[list[str]]:
    return list(rv.open(str(scratch / "in.csv"), **kwargs))


def counts(summary) -> tuple[int, int, int, int, str, int]:
    return (summary.total_rows, summary.rowvaned_rows, summary.repaired_rows,
            summary.quarantined_rows, summary.detected_delimiter, summary.inferred_columns)


@pytest.mark.extreme
def test_100mb_unquoted_field(scratch: pathlib.Path) -> None:
    payload = b"0123456789abcdefghij" * (100 * MB // 20)
    data = payload + b"\n"
    summary, out, _ = run(scratch, data)
    assert counts(summary) == (1, 1, 0, 0, ",", 1)
    assert out == data
    rows = read_rows(scratch)
    assert len(rows) == 1 and len(rows[0]) == 1
    assert rows[0][0] == payload.decode()


@pytest.mark.extreme
def test_100mb_quoted_field_with_every_trigger(scratch: pathlib.Path) -> None:
    # Inside the quotes: the delimiter, doubled quotes, CR LF and non-ASCII.
    chunk = 'ab,"c"\r\né|'
    repeat = 100 * MB // len(chunk.encode())
    field = chunk * repeat
    data = b'"' + field.replace('"', '""').encode() + b'"\n'
    summary, out, _ = run(scratch, data)
    assert counts(summary) == (1, 1, 0, 0, ",", 1)
    assert out == data  # the writer quotes and doubles exactly as the input did
    rows = read_rows(scratch)
    assert len(rows) == 1 and len(rows[0]) == 1
    assert rows[0][0] == field


@pytest.mark.parametrize(
    ("quotes", "tail", "field"),
    [
        # An opening quote, then pairs that each give one literal quote; the
        # last quote closes before the line feed.
        (10 * MB, b"\n", '"' * (5 * MB - 1)),
        (10 * MB, b"", '"' * (5 * MB - 1)),
        # One quote more: the pairs use up every quote and the field stays
        # open, swallowing the final line feed.
        (10 * MB + 1, b"\n", '"' * (5 * MB) + "\n"),
    ],
    ids=["even-lf", "even-eof", "odd-lf"],
)
@pytest.mark.parametrize("repair", [True, False], ids=["repair", "no-repair"])
def test_10mb_line_of_quotes(scratch: pathlib.Path, quotes: int, tail: bytes, field: str,
                             repair: bool) -> None:
    data = b'"' * quotes + tail
    summary, out, _ = run(scratch, data, repair_quotes=repair)
    assert counts(summary) == (1, 1, 0, 0, ",", 1)
    assert out == b'"' + field.replace('"', '""').encode() + b'"\n'
    assert read_rows(scratch, repair_quotes=repair) == [[field]]


def alternating_line(letters: int) -> str:
    """'"a"b"c"...' : an opening quote, then a letter and a quote, `letters` times."""
    alphabet = "abcdefghijklmnopqrstuvwxyz"
    body = "".join(alphabet[i % 26] + '"' for i in range(letters))
    return '"' + body


@pytest.mark.parametrize("repair", [True, False], ids=["repair", "no-repair"])
def test_10mb_line_of_alternating_quotes(scratch: pathlib.Path, repair: bool) -> None:
    line = alternating_line(5 * MB)
    data = line.encode() + b"\n"
    if repair:
        # Every inner quote is stray (the last quote of the line can still
        # close), so the field is everything between the first and last quote.
        field = line[1:-1]
    else:
        # The second quote closes; the rest continues the field unquoted.
        field = line[1] + line[3:]
    summary, out, _ = run(scratch, data, repair_quotes=repair)
    assert counts(summary) == (1, 1, 0, 0, ",", 1)
    assert out == b'"' + field.replace('"', '""').encode() + b'"\n'
    assert read_rows(scratch, repair_quotes=repair) == [[field]]


class TestMillionColumns:
    N = 1_000_000
    FIELDS = [str(i) for i in range(N)]
    LINE = ",".join(FIELDS)

    def test_kept_as_is(self, scratch: pathlib.Path) -> None:
        data = self.LINE.encode() + b"\n"
        summary, out, _ = run(scratch, data)
        assert counts(summary) == (1, 1, 0, 0, ",", self.N)
        assert out == data
        rows = read_rows(scratch)
        assert rows == [self.FIELDS]

    def test_merged_into_one_column(self, scratch: pathlib.Path) -> None:
        summary, out, _ = run(scratch, self.LINE.encode(), expected_columns=1)
        assert counts(summary) == (1, 1, 1, 0, ",", 1)
        assert out == b'"' + self.LINE.encode() + b'"\n'
        assert read_rows(scratch, expected_columns=1) == [[self.LINE]]

    def test_merged_into_two_columns(self, scratch: pathlib.Path) -> None:
        summary, out, _ = run(scratch, self.LINE.encode(), expected_columns=2, delimiter=",")
        assert counts(summary) == (1, 1, 1, 0, ",", 2)
        rest = self.LINE[2:]
        assert out == b'0,"' + rest.encode() + b'"\n'

    def test_padded_to_two_million(self, scratch: pathlib.Path) -> None:
        summary, out, _ = run(scratch, self.LINE.encode(), expected_columns=2 * self.N)
        assert counts(summary) == (1, 1, 1, 0, ",", 2 * self.N)
        assert out == self.LINE.encode() + b"," * self.N + b"\n"
        rows = read_rows(scratch, expected_columns=2 * self.N)
        assert rows == [self.FIELDS + [""] * self.N]

    def test_quarantined(self, scratch: pathlib.Path) -> None:
        data = b"\n" + self.LINE.encode() + b"\n"  # starts on line 2
        summary, out, q = run(scratch, data, quarantine=True, expected_columns=3,
                              fill_ragged_rows=False, merge_overflow=False)
        assert counts(summary) == (2, 0, 0, 2, ",", 3)
        assert out == b""
        assert q == (b"line,reason,raw_content\n"
                     b'1,"Row has too few columns (expected 3)",""\n'
                     b'2,"Row has extra columns (expected 3)","' + self.LINE.encode() + b'"\n')


def line_break_inputs() -> list:
    rng = random.Random(20261208)
    mix = bytes(rng.choice(b"\r\n") for _ in range(MB))
    return [
        pytest.param(b"\n" * MB, id="lf"),
        pytest.param(b"\r" * MB, id="cr"),
        pytest.param(b"\r\n" * (MB // 2), id="crlf"),
        pytest.param(b"\n\r" * (MB // 2), id="lfcr"),
        pytest.param(b"\r\r\n" * (MB // 3), id="cr-crlf"),
        pytest.param(mix, id="random-mix"),
        pytest.param(b"\xef\xbb\xbf" + b"\r\n" * 1000, id="bom-crlf"),
    ]


@pytest.mark.parametrize("data", line_break_inputs())
def test_only_line_breaks(scratch: pathlib.Path, data: bytes) -> None:
    rows = count_records_of_line_breaks(data.removeprefix(b"\xef\xbb\xbf"))
    # Every row is blank: nothing to infer, each kept as one empty field.
    summary, out, _ = run(scratch, data)
    assert counts(summary) == (rows, rows, 0, 0, ",", 0)
    assert out == b"\n" * rows
    reader = rv.open(str(scratch / "in.csv"))
    assert len(reader) == rows
    seen = 0
    for row in reader:
        assert row == [""]
        seen += 1
    assert seen == rows

    # With two columns demanded and no padding, every row is set aside; the
    # row that starts after the k-th line break begins on line k + 1.
    summary, out, q = run(scratch, data, quarantine=True, expected_columns=2,
                          fill_ragged_rows=False)
    assert counts(summary) == (rows, 0, 0, rows, ",", 2)
    assert out == b""
    assert q == b"line,reason,raw_content\n" + b"".join(
        b'%d,"Row has too few columns (expected 2)",""\n' % line for line in range(1, rows + 1))


class TestOnlyNulBytes:
    DATA = b"\0" * (10 * MB)

    def test_one_field(self, scratch: pathlib.Path) -> None:
        summary, out, _ = run(scratch, self.DATA)
        assert counts(summary) == (1, 1, 0, 0, ",", 1)
        assert out == self.DATA + b"\n"
        assert read_rows(scratch) == [["\0" * len(self.DATA)]]

    def test_nul_as_delimiter(self, scratch: pathlib.Path) -> None:
        n = len(self.DATA)
        summary, out, _ = run(scratch, self.DATA, delimiter="\0")
        assert counts(summary) == (1, 1, 0, 0, "\0", n + 1)
        assert out == self.DATA + b"\n"  # n + 1 empty fields between NUL separators
        rows = read_rows(scratch, delimiter="\0")
        assert len(rows) == 1 and len(rows[0]) == n + 1 and set(rows[0]) == {""}

    def test_sniff(self) -> None:
        assert rv.sniff("\0" * MB) == ","
        assert rv.sniff("\0,\0\n" * MB) == ","
        assert rv.sniff("\0;\0\n" * MB) == ";"


def test_sniff_on_a_huge_unclosed_quote() -> None:
    sample = '"' + "a;b\n" * (2 * MB)
    assert rv.sniff(sample) == ","  # one row for every candidate: nothing scores
    assert rv.sniff(sample[1:]) == ";"


# Runs in a child process under an address-space limit, so that an attempt to
# honour an absurd column count can fail fast instead of exhausting the
# machine. The child reports the exception type it saw.
HUGE_COLUMNS_CHILD = textwrap.dedent(
    """
    import resource, sys
    with open("/proc/self/maps") as maps:
        if "asan" in maps.read():
            print("skip: sanitizer build")
            sys.exit(0)
    import _csv_rowvane_backend as rv
    src, out, how, columns = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    limit = 4 << 30
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        if how == "file":
            rv.rowvane_file(src, out, expected_columns=columns)
        else:
            rv.open(src, expected_columns=columns)
    except BaseException as exc:
        print(type(exc).__name__)
    else:
        print("ok")
    """
)


@pytest.mark.parametrize("columns", [2**40, 2**62, 2**64 - 1], ids=["2^40", "2^62", "2^64-1"])
@pytest.mark.parametrize("how", ["file", "reader"])
def test_padding_to_an_impossible_column_count(scratch: pathlib.Path, how: str,
                                               columns: int) -> None:
    src = scratch / "in.csv"
    src.write_bytes(b"a,b\n")
    proc = subprocess.run(
        [sys.executable, "-c", HUGE_COLUMNS_CHILD, str(src), str(scratch / "out.csv"), how,
         str(columns)],
        capture_output=True, text=True, timeout=300)
    if proc.stdout.startswith("skip:"):
        pytest.skip(proc.stdout.strip())
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "MemoryError"


@pytest.mark.parametrize("columns", [2**40, 2**64 - 1], ids=["2^40", "2^64-1"])
def test_impossible_column_count_without_padding(scratch: pathlib.Path, columns: int) -> None:
    # Nothing to allocate when short rows are set aside instead of padded.
    summary, out, q = run(scratch, b"a,b\nc\n", quarantine=True, expected_columns=columns,
                          fill_ragged_rows=False)
    assert counts(summary) == (2, 0, 0, 2, ",", columns)
    assert out == b""
    assert q == (b"line,reason,raw_content\n"
                 b'1,"Row has too few columns (expected %d)","a,b"\n'
                 b'2,"Row has too few columns (expected %d)","c"\n' % (columns, columns))


# Collects a reader's rows under an address-space limit `extra` MiB above what
# the child uses once the module is imported. Whatever runs out, the child
# must see MemoryError and nothing else: no PanicException, no abort. A
# next() that fails is retried once the limit is lifted, and must not have
# lost its row. Prints "open-failed", or "ok <rows> <checksum> <failed nexts>".
READER_UNDER_LIMIT_CHILD = textwrap.dedent(
    """
    import gc, resource, sys
    with open("/proc/self/maps") as maps:
        if "asan" in maps.read():
            print("skip: sanitizer build")
            sys.exit(0)
    import _csv_rowvane_backend as rv
    path, extra, rows = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    # Everything the loop needs is made before the limit, so that only the
    # module allocates under it.
    kept = [None] * (rows + 1)  # every row stays alive, as list(reader) keeps it
    slots = list(range(rows + 1))
    failed = []
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    unlimited = (hard, hard)
    gc.collect()
    gc.disable()
    with open("/proc/self/status") as status:
        vm = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm * 1024 + (extra << 20), hard))
    try:
        reader = rv.open(path)
    except MemoryError:
        resource.setrlimit(resource.RLIMIT_AS, unlimited)
        print("open-failed")
        sys.exit(0)
    it = iter(reader)
    for slot in slots:
        try:
            kept[slot] = next(it)
        except StopIteration:
            break
        except MemoryError:
            resource.setrlimit(resource.RLIMIT_AS, unlimited)
            failed.append(slot)
            kept[slot] = next(it)  # the same row, now that memory is there
    resource.setrlimit(resource.RLIMIT_AS, unlimited)
    got = kept[:slot]
    print("ok", len(got), sum(int(row[0]) for row in got), len(failed))
    """
)

LARGE_ROWS = 200_000


@pytest.fixture(scope="module")
def large_file(module_scratch: pathlib.Path) -> pathlib.Path:
    path = module_scratch / "large.csv"
    path.write_bytes(b"".join(b"%d,field %d,\xc3\xa9 %d\n" % (i, i, i) for i in range(LARGE_ROWS)))
    return path


def test_reader_at_memory_limits_raises_only_memory_error(large_file: pathlib.Path) -> None:
    outcomes = set()
    for extra in range(4, 80, 2):
        proc = subprocess.run(
            [sys.executable, "-c", READER_UNDER_LIMIT_CHILD, str(large_file), str(extra),
             str(LARGE_ROWS)],
            capture_output=True, text=True, timeout=300)
        if proc.stdout.startswith("skip:"):
            pytest.skip(proc.stdout.strip())
        assert "uncaught panic" not in proc.stderr, f"+{extra} MiB: {proc.stderr[-2000:]}"
        assert proc.returncode == 0, f"+{extra} MiB: {proc.stderr[-2000:]}"
        got = proc.stdout.split()
        if got == ["open-failed"]:
            outcomes.add("open-failed")
            continue
        assert got[:3] == ["ok", str(LARGE_ROWS), str(LARGE_ROWS * (LARGE_ROWS - 1) // 2)], \
            f"+{extra} MiB: {proc.stdout}"
        outcomes.add("retried" if int(got[3]) else "ok")
    # The range must reach from a reader that cannot be built to one that
    # runs through, and a limit hit while the rows are handed out.
    assert outcomes == {"open-failed", "retried", "ok"}


# A row whose only field is too large for the memory left: next() fails with
# MemoryError and returns that same row once memory is there again.
HUGE_FIELD_CHILD = textwrap.dedent(
    """
    import resource, sys
    with open("/proc/self/maps") as maps:
        if "asan" in maps.read():
            print("skip: sanitizer build")
            sys.exit(0)
    import _csv_rowvane_backend as rv
    path, size = sys.argv[1], int(sys.argv[2])
    reader = rv.open(path)
    with open("/proc/self/status") as status:
        vm = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    unlimited = (hard, hard)
    outcome = []
    resource.setrlimit(resource.RLIMIT_AS, (vm * 1024 + size // 4, hard))
    try:
        next(reader)
    except BaseException as exc:
        resource.setrlimit(resource.RLIMIT_AS, unlimited)
        outcome.append(type(exc).__name__)
    else:
        resource.setrlimit(resource.RLIMIT_AS, unlimited)
        outcome.append("no-failure")
    row = next(reader)
    outcome.append("big" if row == ["x" * size] else repr(row[:1])[:40])
    outcome.append(repr(next(reader)))
    outcome.append(repr(next(reader, "end")))
    print(*outcome)
    """
)


def test_failed_next_for_a_huge_field_keeps_the_row(scratch: pathlib.Path) -> None:
    size = 200 * MB
    path = scratch / "huge.csv"
    with open(path, "wb") as f:
        f.write(b"x" * size + b"\nlast\n")
    proc = subprocess.run([sys.executable, "-c", HUGE_FIELD_CHILD, str(path), str(size)],
                          capture_output=True, text=True, timeout=300)
    if proc.stdout.startswith("skip:"):
        pytest.skip(proc.stdout.strip())
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split() == ["MemoryError", "big", "['last']", "'end'"]
