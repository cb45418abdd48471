"""Failures of the platform during a file run: a full disk (/dev/full), a
file-size limit, paths that cannot be opened, and rewrites of the input in
place. Each checks the exact exception and what is left on disk.

Write failures injected below the writer (short writes, EINTR, a failure at
any byte) are exercised through the core's fault seam by fuzz/fuzz_rowvane.cpp,
not from Python."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import _csv_rowvane_backend as rv
from reliability_support import NUL_PATH_MESSAGE

ENOSPC_MESSAGE = f"{os.strerror(28)} (os error 28)"
EFBIG_MESSAGE = f"{os.strerror(27)} (os error 27)"
ENOENT_MESSAGE = f"{os.strerror(2)} (os error 2)"
EISDIR_MESSAGE = f"{os.strerror(21)} (os error 21)"

# Three columns; rows 3 and 5 are too short, row 4 too long.
RAGGED = b"a,b,c\n1,2,3\nx,y\n4,5,6,7\nz\n8,9,10\n"


def assert_plain_oserror(exc: BaseException, message: str) -> None:
    assert type(exc) is OSError
    assert exc.args == (message,)
    assert str(exc) == message
    assert exc.errno is None and exc.filename is None


def expected_output(scratch: pathlib.Path, data: bytes, **kwargs: object) -> bytes:
    """The output of a clean run over `data` with the same options."""
    src = scratch / "reference-in.csv"
    dst = scratch / "reference-out.csv"
    src.write_bytes(data)
    rv.rowvane_file(str(src), str(dst), **kwargs)
    return dst.read_bytes()


def leftover_temporaries(directory: pathlib.Path) -> list[str]:
    return sorted(p.name for p in directory.iterdir() if ".rowvane-" in p.name)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
class TestFullDisk:
    @pytest.mark.parametrize(
        "data",
        [
            pytest.param(RAGGED, id="buffered"),  # fails when the 8192-byte buffer is emptied
            pytest.param(b"h\n" + b"x" * 20000 + b"\n", id="direct"),  # a record >= 8192 bytes
            pytest.param(b"a,b\n" * 50000, id="many-blocks"),
        ],
    )
    def test_output_on_full_disk(self, scratch: pathlib.Path, data: bytes) -> None:
        src = scratch / "in.csv"
        src.write_bytes(data)
        with pytest.raises(OSError) as info:
            rv.rowvane_file(str(src), "/dev/full")
        assert_plain_oserror(info.value, ENOSPC_MESSAGE)
        assert src.read_bytes() == data

    def test_quarantine_on_full_disk_after_complete_output(self, scratch: pathlib.Path) -> None:
        want = expected_output(scratch, RAGGED, fill_ragged_rows=False, merge_overflow=False)
        src = scratch / "in.csv"
        out = scratch / "out.csv"
        src.write_bytes(RAGGED)
        with pytest.raises(OSError) as info:
            rv.rowvane_file(str(src), str(out), "/dev/full",
                            fill_ragged_rows=False, merge_overflow=False)
        assert_plain_oserror(info.value, ENOSPC_MESSAGE)
        assert out.read_bytes() == want
        assert src.read_bytes() == RAGGED

    def test_in_place_rewrite_with_failing_quarantine_keeps_input(
            self, scratch: pathlib.Path) -> None:
        path = scratch / "data.csv"
        path.write_bytes(RAGGED)
        with pytest.raises(OSError) as info:
            rv.rowvane_file(str(path), str(path), "/dev/full",
                            fill_ragged_rows=False, merge_overflow=False)
        assert_plain_oserror(info.value, ENOSPC_MESSAGE)
        assert path.read_bytes() == RAGGED
        assert leftover_temporaries(scratch) == []

    def test_failures_repeat_without_leaking_descriptors(self, scratch: pathlib.Path) -> None:
        src = scratch / "in.csv"
        src.write_bytes(RAGGED)
        fd_dir = "/proc/self/fd"
        before = len(os.listdir(fd_dir))
        for _ in range(300):
            with pytest.raises(OSError):
                rv.rowvane_file(str(src), "/dev/full")
            with pytest.raises(OSError):
                rv.rowvane_file(str(src), str(scratch / "o.csv"), "/dev/full",
                                expected_columns=2, fill_ragged_rows=False)
        assert len(os.listdir(fd_dir)) == before


# Runs in a child process: the file-size limit and the ignored SIGXFSZ must
# not reach the test process.
FSIZE_CHILD = textwrap.dedent(
    """
    import resource, signal, sys
    import _csv_rowvane_backend as rv
    src, out, limit = sys.argv[1], sys.argv[2], int(sys.argv[3])
    quarantine = sys.argv[4] if len(sys.argv) > 4 else None
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    try:
        rv.rowvane_file(src, out, quarantine, fill_ragged_rows=False, merge_overflow=False)
    except OSError as exc:
        print(type(exc).__name__, exc.errno, str(exc), sep="|")
    else:
        print("ok")
    """
)


def run_with_file_size_limit(*args: str) -> str:
    proc = subprocess.run([sys.executable, "-c", FSIZE_CHILD, *args],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


class TestFileSizeLimit:
    # 200 kB of rows, every fifth one too short: the output passes the limit
    # after a few blocks; the quarantine file is far smaller.
    DATA = b"".join(b"%d,a,b\n" % i if i % 5 else b"%d,short\n" % i for i in range(20000))
    LIMIT = 20000

    def test_output_past_the_limit(self, scratch: pathlib.Path) -> None:
        src = scratch / "in.csv"
        out = scratch / "out.csv"
        src.write_bytes(self.DATA)
        got = run_with_file_size_limit(str(src), str(out), str(self.LIMIT))
        assert got == f"OSError|None|{EFBIG_MESSAGE}"
        assert src.read_bytes() == self.DATA
        written = out.read_bytes()
        assert len(written) <= self.LIMIT
        full = expected_output(scratch, self.DATA, fill_ragged_rows=False, merge_overflow=False)
        assert full.startswith(written)

    def test_in_place_rewrite_past_the_limit_keeps_input(self, scratch: pathlib.Path) -> None:
        path = scratch / "data.csv"
        path.write_bytes(self.DATA)
        got = run_with_file_size_limit(str(path), str(path), str(self.LIMIT))
        assert got == f"OSError|None|{EFBIG_MESSAGE}"
        assert path.read_bytes() == self.DATA
        assert leftover_temporaries(scratch) == []

    def test_quarantine_past_the_limit(self, scratch: pathlib.Path) -> None:
        head = b"".join(b"%d,b,c\n" % i for i in range(100))  # settles 3 columns
        data = head + b"".join(b"%d\n" % i for i in range(30000))
        src = scratch / "in.csv"
        out = scratch / "out.csv"
        q = scratch / "q.csv"
        src.write_bytes(data)
        got = run_with_file_size_limit(str(src), str(out), str(self.LIMIT), str(q))
        assert got == f"OSError|None|{EFBIG_MESSAGE}"
        assert out.read_bytes() == head
        assert q.read_bytes().startswith(b"line,reason,raw_content\n")
        assert len(q.read_bytes()) <= self.LIMIT


class TestInPlace:
    def test_quarantine_onto_the_input(self, scratch: pathlib.Path) -> None:
        want = expected_output(scratch, RAGGED, fill_ragged_rows=False, merge_overflow=False)
        path = scratch / "data.csv"
        out = scratch / "out.csv"
        path.write_bytes(RAGGED)
        summary = rv.rowvane_file(str(path), str(out), str(path),
                                  fill_ragged_rows=False, merge_overflow=False)
        assert summary.quarantined_rows == 3
        assert out.read_bytes() == want
        assert path.read_bytes() == (
            b"line,reason,raw_content\n"
            b'3,"Row has too few columns (expected 3)","x,y"\n'
            b'4,"Row has extra columns (expected 3)","4,5,6,7"\n'
            b'5,"Row has too few columns (expected 3)","z"\n'
        )
        assert leftover_temporaries(scratch) == []

    def test_output_through_a_symlink_to_the_input(self, scratch: pathlib.Path) -> None:
        want = expected_output(scratch, RAGGED)
        path = scratch / "data.csv"
        link = scratch / "link.csv"
        path.write_bytes(RAGGED)
        link.symlink_to(path.name)
        rv.rowvane_file(str(path), str(link))
        assert link.is_symlink()
        assert path.read_bytes() == want
        assert leftover_temporaries(scratch) == []

    def test_rewrite_of_a_name_too_long_for_a_temporary_file(
            self, scratch: pathlib.Path) -> None:
        # ".<name>.rowvane-XXXXXX" would pass the 255-byte name limit: the
        # rewrite must still happen (by truncating in place).
        path = scratch / ("n" * 250 + ".csv")
        path.write_bytes(RAGGED)
        want = expected_output(scratch, RAGGED)
        rv.rowvane_file(str(path), str(path))
        assert path.read_bytes() == want
        assert leftover_temporaries(scratch) == []

    def test_rewrite_keeps_permission_bits(self, scratch: pathlib.Path) -> None:
        path = scratch / "data.csv"
        path.write_bytes(RAGGED)
        path.chmod(0o640)
        rv.rowvane_file(str(path), str(path))
        assert path.stat().st_mode & 0o7777 == 0o640
        assert path.read_bytes() == expected_output(scratch, RAGGED)


class TestUnopenablePaths:
    @pytest.mark.parametrize("role", ["input", "output", "quarantine"])
    def test_nul_byte_in_a_path(self, scratch: pathlib.Path, role: str) -> None:
        src = scratch / "in.csv"
        src.write_bytes(RAGGED)
        paths = {"input": str(src), "output": str(scratch / "out.csv"),
                 "quarantine": str(scratch / "q.csv")}
        paths[role] = str(scratch / "bad\0name.csv")
        with pytest.raises(OSError) as info:
            rv.rowvane_file(paths["input"], paths["output"], paths["quarantine"])
        assert_plain_oserror(info.value, NUL_PATH_MESSAGE)
        assert sorted(p.name for p in scratch.iterdir()) == ["in.csv"]

    @pytest.mark.parametrize("factory", [rv.RowvaneReader, rv.open])
    def test_nul_byte_in_a_reader_path(self, scratch: pathlib.Path, factory) -> None:
        with pytest.raises(OSError) as info:
            factory(str(scratch / "x\0y"))
        assert_plain_oserror(info.value, NUL_PATH_MESSAGE)

    def test_directory_as_input(self, scratch: pathlib.Path) -> None:
        with pytest.raises(OSError) as info:
            rv.rowvane_file(str(scratch), str(scratch / "out.csv"))
        assert_plain_oserror(info.value, EISDIR_MESSAGE)
        assert list(scratch.iterdir()) == []
        with pytest.raises(IsADirectoryError) as info2:
            rv.RowvaneReader(str(scratch))
        assert info2.value.args == (EISDIR_MESSAGE,)

    @pytest.mark.parametrize("role", ["output", "quarantine"])
    def test_directory_as_destination(self, scratch: pathlib.Path, role: str) -> None:
        src = scratch / "in.csv"
        src.write_bytes(RAGGED)
        sub = scratch / "sub"
        sub.mkdir()
        out = scratch / "out.csv"
        args = (str(src), str(sub)) if role == "output" else (str(src), str(out), str(sub))
        with pytest.raises(OSError) as info:
            rv.rowvane_file(*args)
        assert_plain_oserror(info.value, EISDIR_MESSAGE)
        assert src.read_bytes() == RAGGED
        assert list(sub.iterdir()) == []

    def test_output_in_a_missing_directory(self, scratch: pathlib.Path) -> None:
        src = scratch / "in.csv"
        src.write_bytes(RAGGED)
        with pytest.raises(OSError) as info:
            rv.rowvane_file(str(src), str(scratch / "missing" / "out.csv"))
        assert_plain_oserror(info.value, ENOENT_MESSAGE)
        assert sorted(p.name for p in scratch.iterdir()) == ["in.csv"]

    def test_name_too_long(self, scratch: pathlib.Path) -> None:
        src = scratch / "in.csv"
        src.write_bytes(RAGGED)
        long_name = str(scratch / ("x" * 300))
        message = f"{os.strerror(36)} (os error 36)"
        with pytest.raises(OSError) as info:
            rv.rowvane_file(str(src), long_name)
        assert_plain_oserror(info.value, message)
        with pytest.raises(OSError) as info:
            rv.rowvane_file(long_name, str(scratch / "out.csv"))
        assert_plain_oserror(info.value, message)
        with pytest.raises(OSError) as info2:
            rv.open(long_name)
        assert type(info2.value) is OSError and info2.value.args == (message,)
        assert sorted(p.name for p in scratch.iterdir()) == ["in.csv"]

    def test_missing_input_creates_nothing(self, scratch: pathlib.Path) -> None:
        with pytest.raises(OSError) as info:
            rv.rowvane_file(str(scratch / "nope.csv"), str(scratch / "out.csv"),
                            str(scratch / "q.csv"))
        assert_plain_oserror(info.value, ENOENT_MESSAGE)
        assert list(scratch.iterdir()) == []

    @pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
    def test_unreadable_input(self, scratch: pathlib.Path) -> None:
        src = scratch / "in.csv"
        src.write_bytes(RAGGED)
        src.chmod(0)
        message = f"{os.strerror(13)} (os error 13)"
        with pytest.raises(OSError) as info:
            rv.rowvane_file(str(src), str(scratch / "out.csv"))
        assert_plain_oserror(info.value, message)
        with pytest.raises(PermissionError) as info2:
            rv.open(str(src))
        assert info2.value.args == (message,)
