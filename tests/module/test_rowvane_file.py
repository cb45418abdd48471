"""rowvane_file: behaviour, the output and quarantine formats byte for byte,
and what is left on disk when a file operation fails."""

from __future__ import annotations

import os
import pathlib
import stat
from typing import Any, Callable

import pytest

import _csv_rowvane_backend as rv
import rowvane_model as model

HEADER = b"line,reason,raw_content\n"
NUL_MESSAGE = "file name contained an unexpected NUL byte"

# ---------------------------------------------------------------------------
# Output format
# ---------------------------------------------------------------------------

KEEP = {"delimiter": ",", "expected_columns": 0}

OUTPUT_CASES = [
    # (id, input, kwargs, expected output bytes)
    ("example", b'a,b\n"c,d","e""f"\n', {},
     bytes.fromhex("61 2C 62 0A 22 63 2C 64 22 2C 22 65 22 22 66 22 0A")),
    ("lone-cr-field", b'"\r",x\n', KEEP, b'"\r",x\n'),
    ("cr-inside-field", b'"a\rb",c\n', KEEP, b'"a\rb",c\n'),
    ("lf-inside-field", b'"a\nb",c\n', KEEP, b'"a\nb",c\n'),
    ("crlf-inside-field", b'"a\r\nb",c\n', KEEP, b'"a\r\nb",c\n'),
    ("spaces-not-quoted", b" a , b \n", KEEP, b" a , b \n"),
    ("controls-and-non-ascii-not-quoted", b"\xc3\xa9\tx,\xc3\xbc\x01\x00\n", KEEP,
     b"\xc3\xa9\tx,\xc3\xbc\x01\x00\n"),
    ("semicolon-keeps-comma-unquoted", b"a,b;c\nd;e,f\n", {"delimiter": ";"}, b"a,b;c\nd;e,f\n"),
    ("sniffed-semicolon-written", b'"a;b";c\nd;"e"\n', {}, b'"a;b";c\nd;e\n'),
    ("empty-fields", b',,\n"",""\n', KEEP, b",,\n,\n"),
    ("blank-lines-kept", b"\n\n", KEEP, b"\n\n"),
    ("crlf-to-lf", b"a,b\r\nc,d\r\n", {}, b"a,b\nc,d\n"),
    ("cr-to-lf", b"a,b\rc,d\r", {}, b"a,b\nc,d\n"),
    ("mixed-ends", b"a,b\r\nc,d\re,f\n", {}, b"a,b\nc,d\ne,f\n"),
    ("lf-cr-makes-a-blank-row", b"a\n\rb\n", KEEP, b"a\n\nb\n"),
    ("no-final-newline", b"a,b\nc,d", {}, b"a,b\nc,d\n"),
    ("bom-dropped", b"\xef\xbb\xbfa,b\nc,d\n", {}, b"a,b\nc,d\n"),
    ("bom-only", b"\xef\xbb\xbf", {}, b""),
    ("inner-bom-kept", b"x\n\xef\xbb\xbfy\n", KEEP, b"x\n\xef\xbb\xbfy\n"),
    ("stray-quote-quoted", b'ab"c,d\n', KEEP, b'"ab""c",d\n'),
    ("doubled-quote", b'"x""y",z\n', KEEP, b'"x""y",z\n'),
    ("invalid-utf8-replaced", b"a\xff,\xe2\x82\n", KEEP, b"a\xef\xbf\xbd,\xef\xbf\xbd\n"),
    ("apostrophe-quote", b"'a''b',c\nd'e,\"f\"\n", {"quote_char": "'", **KEEP},
     b"'a''b',c\n'd''e',\"f\"\n"),
    ("apostrophe-quote-delimiter-field", b"'x,y',z\n", {"quote_char": "'", **KEEP},
     b"'x,y',z\n"),
    ("non-ascii-delimiter", b"a\xc3\xa9b\n", {"delimiter": "\u00e9", "expected_columns": 0},
     b"a\xc3\x83\xef\xbf\xbdb\n"),
    ("merge", b"a;b;c;d\n", {"delimiter": ";", "expected_columns": 2}, b'a;"b;c;d"\n'),
    ("merge-decoded-fields", b'a;"b;x";"c"\n', {"delimiter": ";", "expected_columns": 2},
     b'a;"b;x;c"\n'),
    ("merge-one-column", b"a,b,c\nd\n", {"delimiter": ",", "expected_columns": 1},
     b'"a,b,c"\nd\n'),
    ("merge-non-ascii-delimiter", b"a\xc3b\xc3c\n", {"delimiter": "\u00e9", "expected_columns": 2},
     b'a\xc3\x83"b\xc3\x83c"\n'),
    ("pad", b"a,b\n\n", {"delimiter": ",", "expected_columns": 3}, b"a,b,\n,,\n"),
    ("header-is-a-row", b"h1,h2,h3\n1,2\n", {}, b"h1,h2,h3\n1,2,\n"),
    ("tab-quoted", b'"a"\t"b"\n"c\td"\te\n', {"delimiter": "\t"}, b'a\tb\n"c\td"\te\n'),
]


@pytest.mark.parametrize(("data", "kwargs", "expected"), [c[1:] for c in OUTPUT_CASES],
                         ids=[c[0] for c in OUTPUT_CASES])
def test_output_bytes(data: bytes, kwargs: dict[str, Any], expected: bytes,
                      run_file: Callable[..., Any]) -> None:
    summary, out, _ = run_file(data, **kwargs)
    assert out == expected
    assert summary.total_rows == summary.rowvaned_rows + summary.quarantined_rows


def test_example_summary(run_file: Callable[..., Any], as_tuple: Callable[[Any], tuple]) -> None:
    summary, _, _ = run_file(b'a,b\n"c,d","e""f"\n')
    assert as_tuple(summary) == (",", 2, 2, 0, 0, 2)
    assert repr(summary).startswith("<RowvaneSummary total_rows=")


@pytest.mark.parametrize(
    ("data", "kwargs"),
    [
        (b"", {}),
        (b"", {"delimiter": ";", "expected_columns": 3}),
        (b"a\nb,c,d\n", {"expected_columns": 2, "fill_ragged_rows": False, "merge_overflow": False}),
    ],
    ids=["empty", "empty-with-options", "all-quarantined"],
)
def test_no_kept_rows_truncates_output(data: bytes, kwargs: dict[str, Any],
                                       tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    out = tmp_path / "out.csv"
    src.write_bytes(data)
    out.write_bytes(b"old content that must go\n" * 100)
    summary = rv.rowvane_file(str(src), str(out), **kwargs)
    assert out.read_bytes() == b""
    assert summary.rowvaned_rows == 0
    if not data:
        assert (summary.detected_delimiter, summary.inferred_columns, summary.total_rows) == (",", 0, 0)


# ---------------------------------------------------------------------------
# Quarantine format
# ---------------------------------------------------------------------------


def test_quarantine_header_only(run_file: Callable[..., Any]) -> None:
    summary, out, quarantine = run_file(b"a,b\nc,d\n", quarantine=True)
    assert quarantine == HEADER
    assert len(quarantine) == 24
    assert summary.quarantined_rows == 0
    assert out == b"a,b\nc,d\n"


def test_quarantine_header_only_for_empty_input(run_file: Callable[..., Any]) -> None:
    _, out, quarantine = run_file(b"", quarantine=True)
    assert (out, quarantine) == (b"", HEADER)


def test_quarantine_line_seven(run_file: Callable[..., Any]) -> None:
    data = b"a;b\nc;d\ne;f\ng;h\ni;j\nk;l\n\"x\"\"y\";z;w\nm;n\n"
    summary, out, quarantine = run_file(data, quarantine=True, delimiter=";",
                                        merge_overflow=False, expected_columns=2)
    assert quarantine == HEADER + b'7,"Row has extra columns (expected 2)","x""y;z;w"\n'
    assert out == b"a;b\nc;d\ne;f\ng;h\ni;j\nk;l\nm;n\n"
    assert (summary.total_rows, summary.rowvaned_rows, summary.quarantined_rows) == (8, 7, 1)


@pytest.mark.parametrize("eol", [b"\n", b"\r\n"], ids=["lf", "crlf"])
def test_quarantine_lines_are_where_rows_begin(eol: bytes, run_file: Callable[..., Any]) -> None:
    lines = [
        b"h1;h2",                 # 1
        b'"multi',                # 2  (row spans lines 2-3)
        b'line";v',               # 3
        b"a;b",                   # 4
        b"c;d",                   # 5
        b"e;f",                   # 6
        b'"x""y";z;w',            # 7  extra
        b"lonely",                # 8  too few
        b'"p',                    # 9  extra, spans lines 9-10
        b'q";r;s',                # 10
        b"g;h",                   # 11
        b"too;many;fields;here",  # 12 extra, no final line break
    ]
    data = eol.join(lines)
    summary, out, quarantine = run_file(data, quarantine=True, delimiter=";", expected_columns=2,
                                        fill_ragged_rows=False, merge_overflow=False)
    extra = b'"Row has extra columns (expected 2)"'
    few = b'"Row has too few columns (expected 2)"'
    assert quarantine == (HEADER
                          + b"7," + extra + b',"x""y;z;w"\n'
                          + b"8," + few + b',"lonely"\n'
                          + b"9," + extra + b',"p' + eol + b'q;r;s"\n'
                          + b"12," + extra + b',"too;many;fields;here"\n')
    assert out == b'h1;h2\n"multi' + eol + b'line";v\na;b\nc;d\ne;f\ng;h\n'
    assert (summary.total_rows, summary.rowvaned_rows, summary.repaired_rows,
            summary.quarantined_rows) == (10, 6, 0, 4)


@pytest.mark.parametrize(
    ("data", "kwargs", "expected_records"),
    [
        pytest.param(b"a\n", {"expected_columns": 12, "fill_ragged_rows": False},
                     b'1,"Row has too few columns (expected 12)","a"\n', id="plain-decimal"),
        pytest.param(b"a,b,c\n", {"expected_columns": 1, "merge_overflow": False},
                     b'1,"Row has extra columns (expected 1)","a,b,c"\n', id="extra"),
        pytest.param(b"x,y\n\n", {"expected_columns": 2, "fill_ragged_rows": False},
                     b'2,"Row has too few columns (expected 2)",""\n', id="blank-line"),
        pytest.param(b"'it''s',\"q\"\n",
                     {"quote_char": "'", "expected_columns": 1, "merge_overflow": False},
                     b'1,"Row has extra columns (expected 1)","it\'s,""q"""\n',
                     id="apostrophe-run-uses-double-quotes"),
        pytest.param(b"a|b|c\n", {"delimiter": "|", "expected_columns": 2, "merge_overflow": False},
                     b'1,"Row has extra columns (expected 2)","a|b|c"\n', id="run-delimiter"),
        pytest.param(b"a\xc3b\xc3c\n",
                     {"delimiter": "\u00e9", "expected_columns": 2, "merge_overflow": False},
                     b'1,"Row has extra columns (expected 2)","a\xc3\x83b\xc3\x83c"\n',
                     id="non-ascii-delimiter"),
        pytest.param(b'"a\rb",c,d\r\n', {"delimiter": ",", "expected_columns": 2,
                                           "merge_overflow": False},
                     b'1,"Row has extra columns (expected 2)","a\rb,c,d"\n', id="cr-in-raw"),
        pytest.param(b"ok,ok\nx\n", {"delimiter": ",", "expected_columns": 2,
                                       "fill_ragged_rows": False},
                     b'2,"Row has too few columns (expected 2)","x"\n', id="unterminated-last"),
    ],
)
def test_quarantine_records(data: bytes, kwargs: dict[str, Any], expected_records: bytes,
                            run_file: Callable[..., Any]) -> None:
    _, _, quarantine = run_file(data, quarantine=True, **kwargs)
    assert quarantine == HEADER + expected_records


def test_no_quarantine_file_without_path(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\nc\nd,e\n")
    summary = rv.rowvane_file(str(src), str(tmp_path / "out.csv"), fill_ragged_rows=False)
    assert summary.quarantined_rows == 1
    assert sorted(os.listdir(tmp_path)) == ["in.csv", "out.csv"]


# ---------------------------------------------------------------------------
# Long records and many rows: the buffered writers
# ---------------------------------------------------------------------------


def _long_rows_input() -> bytes:
    rows = []
    for size in [1, 8190, 8191, 8192, 8193, 5, 20000, 3, 16384, 8100, 200, 70000]:
        rows.append(b"x" * size + b"," + b'"q""' + b"y" * (size // 3) + b'"')
        rows.append(b"a,b")
    for i in range(2000):
        rows.append(b"r%d," % i + b"z" * (i % 97) + (b',"c,' + b"w" * (i % 13) + b'"' if i % 5 == 0 else b""))
    return b"\n".join(rows) + b"\n"


@pytest.mark.parametrize("quarantine_kwargs", [
    {},
    {"fill_ragged_rows": False, "merge_overflow": False},
], ids=["repair", "quarantine"])
def test_long_records_and_many_rows(quarantine_kwargs: dict[str, Any],
                                    run_file: Callable[..., Any]) -> None:
    data = _long_rows_input()
    summary, out, quarantine = run_file(data, quarantine=True, delimiter=",", expected_columns=2,
                                        **quarantine_kwargs)
    expected = model.reconcile(data, delimiter=ord(","), expected_columns=2,
                               fill=quarantine_kwargs.get("fill_ragged_rows", True),
                               merge=quarantine_kwargs.get("merge_overflow", True))
    assert summary.to_dict() == expected.summary()
    assert out == model.output_bytes(expected)
    assert quarantine == model.quarantine_bytes(expected)


# ---------------------------------------------------------------------------
# Files on disk: in-place rewriting, modes, inodes
# ---------------------------------------------------------------------------

IN_PLACE_INPUT = b'a;b\nc\n"d;e";f;g\nh;i\n'
IN_PLACE_OUTPUT = b'a;b\nc;\n"d;e";"f;g"\nh;i\n'


@pytest.mark.parametrize("spelling", ["same", "dot", "dotdot"])
def test_output_path_names_the_input(spelling: str, tmp_path: pathlib.Path) -> None:
    src = tmp_path / "data.csv"
    src.write_bytes(IN_PLACE_INPUT)
    os.chmod(src, 0o640)
    out = {
        "same": str(src),
        "dot": f"{tmp_path}/./data.csv",
        "dotdot": f"{tmp_path}/../{tmp_path.name}/data.csv",
    }[spelling]
    summary = rv.rowvane_file(str(src), out)
    assert src.read_bytes() == IN_PLACE_OUTPUT
    assert stat.S_IMODE(os.stat(src).st_mode) == 0o640
    assert os.listdir(tmp_path) == ["data.csv"]
    assert (summary.total_rows, summary.repaired_rows, summary.inferred_columns) == (4, 2, 2)


def test_quarantine_path_names_the_input(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "data.csv"
    out = tmp_path / "out.csv"
    src.write_bytes(IN_PLACE_INPUT)
    os.chmod(src, 0o604)
    rv.rowvane_file(str(src), str(out), quarantine_path=str(src), fill_ragged_rows=False,
                    merge_overflow=False)
    assert out.read_bytes() == b"a;b\nh;i\n"
    assert src.read_bytes() == (HEADER
                                + b'2,"Row has too few columns (expected 2)","c"\n'
                                + b'3,"Row has extra columns (expected 2)","d;e;f;g"\n')
    assert stat.S_IMODE(os.stat(src).st_mode) == 0o604
    assert sorted(os.listdir(tmp_path)) == ["data.csv", "out.csv"]


def test_existing_output_is_truncated_in_place(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    out = tmp_path / "out.csv"
    src.write_bytes(b"a,b\n")
    out.write_bytes(b"x" * 50000)
    os.chmod(out, 0o600)
    inode = os.stat(out).st_ino
    rv.rowvane_file(str(src), str(out))
    assert out.read_bytes() == b"a,b\n"
    assert os.stat(out).st_ino == inode
    assert stat.S_IMODE(os.stat(out).st_mode) == 0o600
    assert src.read_bytes() == b"a,b\n"


@pytest.mark.parametrize("mask", [0o022, 0o027, 0o077])
def test_new_files_follow_the_umask(mask: int, tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\nc\n")
    old = os.umask(mask)
    try:
        rv.rowvane_file(str(src), str(tmp_path / "out.csv"), str(tmp_path / "q.csv"))
    finally:
        os.umask(old)
    for name in ("out.csv", "q.csv"):
        assert stat.S_IMODE(os.stat(tmp_path / name).st_mode) == 0o666 & ~mask


def test_input_is_never_changed(tmp_path: pathlib.Path) -> None:
    data = b'\xef\xbb\xbfa;"b\r\nc";d\r\n\xff;x;y;z\r\n'
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    before = os.stat(src)
    rv.rowvane_file(str(src), str(tmp_path / "o.csv"), str(tmp_path / "q.csv"),
                    fill_ragged_rows=False, merge_overflow=False)
    assert src.read_bytes() == data
    assert os.stat(src).st_mtime_ns == before.st_mtime_ns


# ---------------------------------------------------------------------------
# Failures and what they leave on disk
# ---------------------------------------------------------------------------


def _raises_plain_oserror(call: Callable[[], Any]) -> OSError:
    with pytest.raises(OSError) as excinfo:
        call()
    err = excinfo.value
    assert type(err) is OSError
    assert len(err.args) == 1 and type(err.args[0]) is str
    assert err.errno is None and err.strerror is None and err.filename is None
    return err


def test_missing_input_creates_nothing(tmp_path: pathlib.Path) -> None:
    err = _raises_plain_oserror(lambda: rv.rowvane_file(
        str(tmp_path / "missing.csv"), str(tmp_path / "out.csv"), str(tmp_path / "q.csv")))
    assert str(err) == "No such file or directory (os error 2)"
    assert os.listdir(tmp_path) == []


def test_failed_input_leaves_existing_output_alone(tmp_path: pathlib.Path) -> None:
    out = tmp_path / "out.csv"
    out.write_bytes(b"previous\n")
    _raises_plain_oserror(lambda: rv.rowvane_file(str(tmp_path / "missing.csv"), str(out)))
    assert out.read_bytes() == b"previous\n"


def test_input_directory_creates_nothing(tmp_path: pathlib.Path) -> None:
    (tmp_path / "dir").mkdir()
    err = _raises_plain_oserror(lambda: rv.rowvane_file(
        str(tmp_path / "dir"), str(tmp_path / "out.csv")))
    assert str(err) == "Is a directory (os error 21)"
    assert os.listdir(tmp_path) == ["dir"]


def test_output_in_missing_directory(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\n")
    err = _raises_plain_oserror(lambda: rv.rowvane_file(
        str(src), str(tmp_path / "nodir" / "out.csv"), str(tmp_path / "q.csv")))
    assert str(err) == "No such file or directory (os error 2)"
    assert os.listdir(tmp_path) == ["in.csv"]


def test_output_is_a_directory(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\n")
    (tmp_path / "dir").mkdir()
    err = _raises_plain_oserror(lambda: rv.rowvane_file(str(src), str(tmp_path / "dir")))
    assert str(err) == "Is a directory (os error 21)"


@pytest.mark.parametrize("data", [b"a,b\n" * 10, b"x" * 9000 + b"\n", b"a,b\n" * 5000],
                         ids=["small", "long-record", "many-rows"])
def test_output_device_full(data: bytes, tmp_path: pathlib.Path) -> None:
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    err = _raises_plain_oserror(lambda: rv.rowvane_file(str(src), "/dev/full", str(tmp_path / "q.csv")))
    assert str(err).endswith("(os error 28)")
    assert str(err) == f"{os.strerror(28)} (os error 28)"
    # No quarantine file is created after a failed output.
    assert os.listdir(tmp_path) == ["in.csv"]


@pytest.mark.parametrize(
    "quarantine",
    ["", "nodir/q.csv", "dir", "/dev/full", "/dev/full+records"],
)
def test_quarantine_failure_after_complete_output(quarantine: str, tmp_path: pathlib.Path) -> None:
    if quarantine.startswith("/dev/full") and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    src = tmp_path / "in.csv"
    out = tmp_path / "out.csv"
    data = b"".join(b"row%d,%s\n" % (i, b"v" * (i % 50)) for i in range(3000)) + b"short\n"
    src.write_bytes(data)
    (tmp_path / "dir").mkdir()
    kwargs: dict[str, Any] = {}
    qpath = quarantine
    if quarantine == "/dev/full+records":
        qpath = "/dev/full"
        kwargs = {"fill_ragged_rows": False}
    elif quarantine in ("nodir/q.csv", "dir"):
        qpath = str(tmp_path / quarantine)
    err = _raises_plain_oserror(lambda: rv.rowvane_file(str(src), str(out), qpath, **kwargs))
    expected_message = {
        "": "No such file or directory (os error 2)",
        "nodir/q.csv": "No such file or directory (os error 2)",
        "dir": "Is a directory (os error 21)",
    }.get(quarantine, f"{os.strerror(28)} (os error 28)")
    assert str(err) == expected_message
    # The last row is padded by default, set aside with fill_ragged_rows=False.
    expected_out = data[: -len(b"short\n")] + (b"" if kwargs else b"short,\n")
    assert out.read_bytes() == expected_out


@pytest.mark.parametrize("which", ["input_path", "output_path", "quarantine_path"])
def test_nul_in_path(which: str, tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\n")
    args = {"input_path": str(src), "output_path": str(tmp_path / "out.csv"),
            "quarantine_path": str(tmp_path / "q.csv")}
    args[which] = str(tmp_path / "bad\0name.csv")
    err = _raises_plain_oserror(lambda: rv.rowvane_file(**args))
    assert str(err) == NUL_MESSAGE
    assert not (tmp_path / "bad").exists()
    if which != "quarantine_path":
        assert not (tmp_path / "q.csv").exists()
    if which == "input_path":
        assert not (tmp_path / "out.csv").exists()


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0,
                    reason="permission bits do not bind root")
@pytest.mark.parametrize("target", ["input", "output", "quarantine"])
def test_permission_denied(target: str, tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    out = tmp_path / "out.csv"
    q = tmp_path / "q.csv"
    src.write_bytes(b"a,b\n")
    locked = {"input": src, "output": out, "quarantine": q}[target]
    if target != "input":
        locked.write_bytes(b"locked\n")
    os.chmod(locked, 0)
    try:
        err = _raises_plain_oserror(lambda: rv.rowvane_file(str(src), str(out), str(q)))
    finally:
        os.chmod(locked, 0o600)
    assert str(err) == "Permission denied (os error 13)"
    if target == "quarantine":
        assert out.read_bytes() == b"a,b\n"
    if target == "input":
        assert not out.exists()


def test_no_descriptor_leaks(tmp_path: pathlib.Path, fd_count: Callable[[], int | None]) -> None:
    if fd_count() is None:
        pytest.skip("cannot count descriptors")
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\nc\n")
    (tmp_path / "dir").mkdir()
    before = fd_count()
    for _ in range(20):
        rv.rowvane_file(str(src), str(tmp_path / "out.csv"), str(tmp_path / "q.csv"))
        for args in [(str(tmp_path / "missing"), str(tmp_path / "o2.csv")),
                     (str(tmp_path / "dir"), str(tmp_path / "o2.csv")),
                     (str(src), str(tmp_path / "dir")),
                     (str(src), str(tmp_path / "out.csv"), str(tmp_path / "dir")),
                     (str(src), str(tmp_path / "out.csv"), "")]:
            with pytest.raises(OSError):
                rv.rowvane_file(*args)
    assert fd_count() == before
