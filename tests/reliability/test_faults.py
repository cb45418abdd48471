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

    @pytest.mark.parametrize("role", ["output", "quarantine"])
    def test_rewrite_of_a_name_too_long_for_a_temporary_file(
            self, scratch: pathlib.Path, role: str) -> None:
        # ".<name>.rowvane-XXXXXX" passes the 255-byte name limit: with no
        # temporary file the rewrite is refused, never done by truncating the
        # input in place (where a later write failure would destroy it).
        path = scratch / ("n" * 250 + ".csv")
        path.write_bytes(RAGGED)
        args = ((str(path), str(path)) if role == "output"
                else (str(path), str(scratch / "out.csv"), str(path)))
        with pytest.raises(OSError) as info:
            rv.rowvane_file(*args, fill_ragged_rows=False)
        assert_plain_oserror(info.value, f"{os.strerror(36)} (os error 36)")
        assert path.read_bytes() == RAGGED
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


def run_as_nobody(code: str, *args: str) -> str:
    """Runs `code` in a child that imported the module and then dropped root
    for uid and gid 65534 (with no supplementary groups); returns its output."""
    prologue = textwrap.dedent(
        """
        import os, sys
        import _csv_rowvane_backend as rv
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
        """
    )
    proc = subprocess.run([sys.executable, "-c", prologue + textwrap.dedent(code), *args],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    return proc.stdout.strip()


needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="changes owners: needs root")

NOBODY = 65534

# A POSIX access ACL as the kernel stores it in system.posix_acl_access:
# version 2, then (tag, permissions, id) entries sorted by tag.
ACL_USER_OBJ, ACL_USER, ACL_GROUP_OBJ, ACL_MASK, ACL_OTHER = 0x01, 0x02, 0x04, 0x10, 0x20
ACL_UNDEFINED_ID = 0xFFFFFFFF


def access_acl(user: int, user_perm: int, obj: tuple[int, int, int], mask: int) -> bytes:
    import struct
    owner, group, other = obj
    entries = [(ACL_USER_OBJ, owner, ACL_UNDEFINED_ID), (ACL_USER, user_perm, user),
               (ACL_GROUP_OBJ, group, ACL_UNDEFINED_ID), (ACL_MASK, mask, ACL_UNDEFINED_ID),
               (ACL_OTHER, other, ACL_UNDEFINED_ID)]
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *e) for e in entries)


class TestInPlaceIdentity:
    """What an in-place rewrite keeps of the file it replaces."""

    @needs_root
    @pytest.mark.parametrize("mode", [0o4755, 0o2750, 0o6711, 0o640], ids=oct)
    def test_owner_group_and_set_id_bits_are_kept(self, scratch: pathlib.Path,
                                                  mode: int) -> None:
        path = scratch / "data.csv"
        path.write_bytes(RAGGED)
        os.chown(path, NOBODY, NOBODY)
        path.chmod(mode)
        rv.rowvane_file(str(path), str(path))
        st = path.stat()
        assert (st.st_uid, st.st_gid) == (NOBODY, NOBODY)
        assert st.st_mode & 0o7777 == mode
        assert path.read_bytes() == expected_output(scratch, RAGGED)
        assert leftover_temporaries(scratch) == []

    @needs_root
    def test_group_is_kept_in_a_set_gid_directory(self, scratch: pathlib.Path) -> None:
        sub = scratch / "shared"
        sub.mkdir()
        os.chown(sub, 0, 4321)
        sub.chmod(0o2777)  # new files there take the directory's group
        path = sub / "data.csv"
        path.write_bytes(RAGGED)
        os.chown(path, NOBODY, 1234)
        rv.rowvane_file(str(path), str(path))
        st = path.stat()
        assert (st.st_uid, st.st_gid) == (NOBODY, 1234)

    @needs_root
    @pytest.mark.parametrize("kept_rows", [True, False], ids=["rows-kept", "empty-output"])
    def test_set_id_bits_are_dropped_when_the_owner_cannot_be_kept(
            self, scratch: pathlib.Path, kept_rows: bool) -> None:
        # A file of another user that nobody may rewrite: the replacement
        # belongs to nobody, so the set-id bits must not come with it. (A
        # write by nobody makes the kernel drop them too; an empty output is
        # never written to.)
        scratch.chmod(0o777)
        path = scratch / "data.csv"
        path.write_bytes(RAGGED)
        os.chown(path, 1234, 1234)
        path.chmod(0o6777)
        columns = 3 if kept_rows else 9
        got = run_as_nobody(
            """
            rv.rowvane_file(sys.argv[1], sys.argv[1], sys.argv[2], expected_columns=int(sys.argv[3]),
                            fill_ragged_rows=False, merge_overflow=False)
            print("ok")
            """, str(path), str(scratch / "q.csv"), str(columns))
        assert got == "ok"
        st = path.stat()
        assert (st.st_uid, st.st_gid) == (NOBODY, NOBODY)
        assert st.st_mode & 0o7777 == 0o777
        assert path.read_bytes() == expected_output(
            scratch, RAGGED, expected_columns=columns, fill_ragged_rows=False,
            merge_overflow=False)

    def test_extended_attributes_and_acl_are_kept(self, tmp_path: pathlib.Path) -> None:
        path = tmp_path / "data.csv"
        path.write_bytes(RAGGED)
        path.chmod(0o640)
        acl = access_acl(user=1234, user_perm=6, obj=(6, 4, 0), mask=6)
        try:
            os.setxattr(path, "user.origin", b"export 7")
            os.setxattr(path, "system.posix_acl_access", acl)
        except OSError as exc:
            pytest.skip(f"no extended attributes or ACLs here: {exc}")
        mode = path.stat().st_mode & 0o7777  # the mask became the group bits
        rv.rowvane_file(str(path), str(path))
        assert os.getxattr(path, "user.origin") == b"export 7"
        assert os.getxattr(path, "system.posix_acl_access") == acl
        assert path.stat().st_mode & 0o7777 == mode
        assert path.read_bytes() == expected_output(tmp_path, RAGGED)

    @needs_root
    def test_unwritable_directory_refuses_the_rewrite(self, scratch: pathlib.Path) -> None:
        # The file may be written but no temporary file made beside it: the
        # rewrite fails and the input stays as it was.
        scratch.chmod(0o777)
        sub = scratch / "ro"
        sub.mkdir()
        path = sub / "data.csv"
        path.write_bytes(RAGGED)
        os.chown(path, NOBODY, NOBODY)
        os.chown(sub, NOBODY, NOBODY)
        sub.chmod(0o555)
        got = run_as_nobody(
            """
            try:
                rv.rowvane_file(sys.argv[1], sys.argv[1])
            except OSError as exc:
                print(type(exc).__name__, str(exc), sep="|")
            else:
                print("ok")
            """, str(path))
        assert got == f"OSError|{os.strerror(13)} (os error 13)"
        assert path.read_bytes() == RAGGED
        assert sorted(p.name for p in sub.iterdir()) == ["data.csv"]


SAME_FILE_MESSAGE = "output and quarantine paths name the same file"


def same_file_layouts():
    """(id, setup) where setup(dir) makes the files and returns (input,
    output, quarantine) paths naming one destination."""

    def one_path_for_all(d: pathlib.Path):
        return d / "in.csv", d / "in.csv", d / "in.csv"

    def existing_output(d: pathlib.Path):
        (d / "out.csv").write_bytes(b"old output\n")
        return d / "in.csv", d / "out.csv", d / "out.csv"

    def new_output(d: pathlib.Path):
        return d / "in.csv", d / "out.csv", d / "out.csv"

    def new_output_spelled_twice(d: pathlib.Path):
        (d / "sub").mkdir()
        return d / "in.csv", d / "out.csv", d / "sub" / ".." / "out.csv"

    def symlink(d: pathlib.Path):
        (d / "out.csv").write_bytes(b"old output\n")
        (d / "link.csv").symlink_to("out.csv")
        return d / "in.csv", d / "out.csv", d / "link.csv"

    def dangling_symlink(d: pathlib.Path):
        (d / "link.csv").symlink_to("out.csv")
        return d / "in.csv", d / "link.csv", d / "out.csv"

    def hard_link(d: pathlib.Path):
        (d / "out.csv").write_bytes(b"old output\n")
        os.link(d / "out.csv", d / "other.csv")
        return d / "in.csv", d / "other.csv", d / "out.csv"

    def input_twice_through_links(d: pathlib.Path):
        (d / "link.csv").symlink_to("in.csv")
        return d / "in.csv", d / "link.csv", d / "in.csv"

    return [pytest.param(f, id=f.__name__) for f in (
        one_path_for_all, existing_output, new_output, new_output_spelled_twice, symlink,
        dangling_symlink, hard_link, input_twice_through_links)]


class TestSameDestination:
    @pytest.mark.parametrize("setup", same_file_layouts())
    def test_refused_before_anything_is_written(self, scratch: pathlib.Path, setup) -> None:
        (scratch / "in.csv").write_bytes(RAGGED)
        src, out, q = setup(scratch)

        def snapshot():
            return sorted((p.name, p.is_symlink(), p.read_bytes() if p.is_file() else None)
                          for p in scratch.iterdir())

        before = snapshot()
        with pytest.raises(OSError) as info:
            rv.rowvane_file(str(src), str(out), str(q),
                            fill_ragged_rows=False, merge_overflow=False)
        assert_plain_oserror(info.value, SAME_FILE_MESSAGE)
        assert snapshot() == before

    def test_devices_may_take_both(self, scratch: pathlib.Path) -> None:
        # Nothing is truncated on a device: both streams may go to /dev/null.
        (scratch / "in.csv").write_bytes(RAGGED)
        summary = rv.rowvane_file(str(scratch / "in.csv"), os.devnull, os.devnull,
                                  fill_ragged_rows=False, merge_overflow=False)
        assert summary.quarantined_rows == 3
