"""How failed file operations become Python exceptions: always the plain
OSError for rowvane_file, a class chosen by the error kind for the reader."""

from __future__ import annotations

import errno
import os
import pathlib
from typing import Any, Callable

import pytest

import _csv_rowvane_backend as rv

NUL_MESSAGE = "file name contained an unexpected NUL byte"


def os_message(code: int) -> str:
    return f"{os.strerror(code)} (os error {code})"


def make_missing(tmp: pathlib.Path) -> str:
    return str(tmp / "missing.csv")


def make_directory(tmp: pathlib.Path) -> str:
    (tmp / "adir").mkdir()
    return str(tmp / "adir")


def make_not_a_directory(tmp: pathlib.Path) -> str:
    (tmp / "plain").write_bytes(b"a,b\n")
    return str(tmp / "plain" / "child.csv")


def make_symlink_loop(tmp: pathlib.Path) -> str:
    os.symlink(tmp / "loop_b", tmp / "loop_a")
    os.symlink(tmp / "loop_a", tmp / "loop_b")
    return str(tmp / "loop_a")


def make_long_name(tmp: pathlib.Path) -> str:
    return str(tmp / ("n" * 300))


def make_nul(tmp: pathlib.Path) -> str:
    (tmp / "real").write_bytes(b"a,b\n")
    return str(tmp / "real") + "\0tail"


def make_unreadable(tmp: pathlib.Path) -> str:
    if not os.path.exists("/proc/self/mem"):
        pytest.skip("no /proc/self/mem")
    # Opening works; reading at offset 0 fails with EIO.
    return "/proc/self/mem"


def make_no_permission(tmp: pathlib.Path) -> str:
    if os.geteuid() == 0:
        pytest.skip("permission bits do not bind root")
    path = tmp / "locked.csv"
    path.write_bytes(b"a,b\n")
    os.chmod(path, 0)
    return str(path)


# (id, path factory, reader exception class, message)
INPUT_FAILURES = [
    ("missing", make_missing, FileNotFoundError, "No such file or directory (os error 2)"),
    ("directory", make_directory, IsADirectoryError, "Is a directory (os error 21)"),
    ("not-a-directory", make_not_a_directory, NotADirectoryError, os_message(errno.ENOTDIR)),
    ("symlink-loop", make_symlink_loop, OSError, os_message(errno.ELOOP)),
    ("name-too-long", make_long_name, OSError, os_message(errno.ENAMETOOLONG)),
    ("nul-byte", make_nul, OSError, NUL_MESSAGE),
    ("read-fails", make_unreadable, OSError, os_message(errno.EIO)),
    ("no-permission", make_no_permission, PermissionError, "Permission denied (os error 13)"),
]


def check_exception(err: BaseException, cls: type, message: str) -> None:
    assert type(err) is cls
    assert err.args == (message,)
    assert str(err) == message
    assert isinstance(err, OSError)
    assert err.errno is None
    assert err.strerror is None
    assert err.filename is None
    assert err.filename2 is None


@pytest.mark.parametrize("factory", [rv.RowvaneReader, rv.open], ids=["RowvaneReader", "open"])
@pytest.mark.parametrize(("make", "cls", "message"), [c[1:] for c in INPUT_FAILURES],
                         ids=[c[0] for c in INPUT_FAILURES])
def test_reader_maps_error_kinds(factory: Callable[..., Any], make: Callable[[pathlib.Path], str],
                                 cls: type, message: str, tmp_path: pathlib.Path) -> None:
    path = make(tmp_path)
    with pytest.raises(OSError) as excinfo:
        factory(path)
    check_exception(excinfo.value, cls, message)
    assert getattr(excinfo.value, "__notes__", None) is None


@pytest.mark.parametrize(("make", "cls", "message"), [c[1:] for c in INPUT_FAILURES],
                         ids=[c[0] for c in INPUT_FAILURES])
def test_rowvane_file_input_errors_are_plain(make: Callable[[pathlib.Path], str], cls: type,
                                             message: str, tmp_path: pathlib.Path) -> None:
    path = make(tmp_path)
    out = tmp_path / "out.csv"
    with pytest.raises(OSError) as excinfo:
        rv.rowvane_file(path, str(out))
    check_exception(excinfo.value, OSError, message)
    assert not out.exists()


def make_dev_full(tmp: pathlib.Path) -> str:
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    return "/dev/full"


OUTPUT_FAILURES = [
    ("missing-directory", lambda tmp: str(tmp / "nodir" / "out.csv"),
     "No such file or directory (os error 2)"),
    ("directory", make_directory, "Is a directory (os error 21)"),
    ("not-a-directory", make_not_a_directory, os_message(errno.ENOTDIR)),
    ("name-too-long", make_long_name, os_message(errno.ENAMETOOLONG)),
    ("nul-byte", make_nul, NUL_MESSAGE),
    ("device-full", make_dev_full, os_message(errno.ENOSPC)),
    ("empty-path", lambda tmp: "", "No such file or directory (os error 2)"),
]


@pytest.mark.parametrize("role", ["output_path", "quarantine_path"])
@pytest.mark.parametrize(("make", "message"), [c[1:] for c in OUTPUT_FAILURES],
                         ids=[c[0] for c in OUTPUT_FAILURES])
def test_rowvane_file_output_errors_are_plain(role: str, make: Callable[[pathlib.Path], str],
                                              message: str, tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\nc,d\n")
    kwargs = {"input_path": str(src), "output_path": str(tmp_path / "out.csv")}
    kwargs[role] = make(tmp_path)
    with pytest.raises(OSError) as excinfo:
        rv.rowvane_file(**kwargs)
    check_exception(excinfo.value, OSError, message)
    assert src.read_bytes() == b"a,b\nc,d\n"


def test_errors_are_catchable_as_exception(tmp_path: pathlib.Path) -> None:
    try:
        rv.open(str(tmp_path / "missing"))
    except Exception as exc:  # noqa: BLE001 - the point of the test
        assert isinstance(exc, FileNotFoundError)
    else:
        pytest.fail("no exception")
