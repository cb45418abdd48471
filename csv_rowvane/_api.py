"""The single-file API: repair, check, read and sniff_file over any path."""

from __future__ import annotations

import contextlib
import errno as _errno
import os
import shutil
import stat
import tempfile
import time
from collections.abc import Callable, Iterator, Mapping
from typing import Any, Literal, TypeAlias

import _csv_rowvane_backend as _rv

from . import _compression, _core, _tables, _tempfiles
from ._compression import ArchiveError
from ._encoding import ERRORS, OUTPUT_ENCODINGS, EncodingErrors, EncodingChoice, choose_page, resolve
from ._reader import Reader
from ._report import CheckReport, ProblemRow, RepairReport, detection_notes

__all__ = ["StrPath", "UndecodableError", "ArchiveError", "repair", "check", "read", "sniff_file", "validate_options"]

StrPath: TypeAlias = "str | os.PathLike[str]"
Detect: TypeAlias = Literal["auto", "basic"]

def fspath(path: Any, what: str) -> str:
    """``path`` as a str; bytes paths and other objects are refused."""
    try:
        p = os.fspath(path)
    except TypeError:
        raise TypeError(
            f"{what} must be a str or an os.PathLike returning str, not {type(path).__name__}"
        ) from None
    if isinstance(p, bytes):
        raise TypeError(f"{what} must be a str or an os.PathLike returning str, not a bytes path: {p!r}")
    if "\0" in p:
        raise ValueError(f"{what} contains a NUL byte: {p!r}")
    if p == "":
        raise ValueError(f"{what} is empty")
    return str(p)


class UndecodableError(UnicodeDecodeError):
    """A file holds bytes its encoding cannot decode, and
    ``encoding_errors="strict"`` was asked for. ``filename``, ``line`` (1-based)
    and ``offset`` (of the first undecodable byte in the file) say where;
    ``encoding`` and ``object`` (the undecodable bytes) say what."""

    filename: str
    line: int
    offset: int

    def __init__(self, filename: str, encoding: str, data: bytes, line: int, offset: int) -> None:
        super().__init__(encoding, data, 0, len(data), f"undecodable at line {line}, byte offset {offset}")
        self.filename = filename
        self.line = line
        self.offset = offset

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.filename, self.encoding, self.object, self.line, self.offset))

    def __str__(self) -> str:
        shown = " ".join(f"0x{b:02x}" for b in self.object[:8])
        return (f"{self.filename}: cannot decode byte(s) {shown} as {self.encoding} "
                f"at line {self.line}, byte offset {self.offset}")


def _undecodable(e: UnicodeDecodeError, path: str) -> UndecodableError:
    return UndecodableError(path, e.encoding, bytes(e.object), int(getattr(e, "line", 0)),
                            int(getattr(e, "offset", 0)))


def _encoding_choice(encoding: str) -> EncodingChoice | None:
    """None for "auto", else how the native run decodes ``encoding``."""
    if encoding == "auto":
        return None
    return resolve(encoding)


def _check_encoding_options(options: dict[str, Any]) -> None:
    enc = options.get("encoding", "auto")
    if not isinstance(enc, str):
        raise TypeError(f"encoding must be a str, not {type(enc).__name__}")
    _encoding_choice(enc)  # ValueError naming an unknown encoding
    errors = options.get("encoding_errors", "replace")
    if errors not in ERRORS:
        raise ValueError(f"encoding_errors must be one of {', '.join(map(repr, ERRORS))}, got {errors!r}")
    out = options.get("output_encoding", "utf-8")
    if out not in OUTPUT_ENCODINGS:
        raise ValueError(f"output_encoding must be 'utf-8' or 'utf-8-sig', got {out!r}")
    if options.get("detect", "auto") == "basic" and (
            enc != "auto" or errors != "replace" or out != "utf-8"):
        raise ValueError("encoding, encoding_errors and output_encoding need detect='auto': "
                         "the basic run reads UTF-8 as the engine does")


def _check_char(name: str, value: object, optional: bool) -> None:
    if value is None and optional:
        return
    if not isinstance(value, str) or len(value) != 1 or ord(value) >= 0x80:
        raise ValueError(
            f"{name} must be a single ASCII character (U+0000 to U+007F), got {value!r}"
            + (" (or None to sniff it)" if optional else "")
        )


def validate_options(options: dict[str, Any]) -> None:
    """Checks the options the front end passes to the backend.

    The backend takes the first UTF-8 byte of a delimiter or quote, so a
    character above U+007F would split on half a character and write a
    different one; such values are refused here with a ValueError.
    """
    unknown = set(options) - _OPTION_NAMES
    if unknown:
        raise TypeError(f"unexpected option(s): {', '.join(sorted(unknown))}")
    if "delimiter" in options:
        _check_char("delimiter", options["delimiter"], optional=True)
    if "quote_char" in options:
        _check_char("quote_char", options["quote_char"], optional=True)
    if options.get("detect", "auto") not in ("auto", "basic"):
        raise ValueError(f"detect must be 'auto' or 'basic', got {options['detect']!r}")
    d, q = options.get("delimiter"), options.get("quote_char", '"')
    if d is not None and d == q:
        raise ValueError(f"delimiter and quote_char must differ, both are {d!r}")
    cols = options.get("expected_columns")
    if cols is not None and (isinstance(cols, bool) or not isinstance(cols, int) or cols < 0):
        raise ValueError(f"expected_columns must be a non-negative int or None, got {cols!r}")
    _check_encoding_options(options)
    _stream_options(options.get("threads"), options.get("block_size"), options.get("progress"))


_OPTION_NAMES = frozenset(
    {"delimiter", "quote_char", "fill_ragged_rows", "merge_overflow", "expected_columns", "repair_quotes",
     "detect", "encoding", "encoding_errors", "output_encoding", "keep_blank_rows", "infer_types",
     "threads", "block_size", "progress"}
)


def _options(
    delimiter: str | None,
    quote_char: str | None,
    fill_ragged_rows: bool,
    merge_overflow: bool,
    expected_columns: int | None,
    repair_quotes: bool,
) -> dict[str, Any]:
    opts: dict[str, Any] = {
        "delimiter": delimiter,
        "quote_char": quote_char,
        "fill_ragged_rows": fill_ragged_rows,
        "merge_overflow": merge_overflow,
        "expected_columns": expected_columns,
        "repair_quotes": repair_quotes,
    }
    validate_options(opts)
    return opts


def _same_file(a: str, b: str) -> bool:
    """Whether two paths name one file: the same inode when both exist, the
    same resolved path otherwise."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def _umask() -> int:
    # Reading the mask through /proc does not change it, unlike os.umask,
    # which would race with other threads creating files.
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


class _Target:
    """A file the run writes: a regular file is written to a temporary file
    beside it and renamed into place on commit, so a failed or interrupted run
    never leaves a half-written file under its name; anything else (a device,
    a FIFO) is written directly."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.final = path
        self.temp: str | None = None
        self.mode = 0o666 & ~_umask()
        try:
            st = os.stat(path)
        except FileNotFoundError:
            st = None  # created by the run
        if st is not None:
            if stat.S_ISDIR(st.st_mode):
                raise IsADirectoryError(_errno.EISDIR, os.strerror(_errno.EISDIR), path)
            if not stat.S_ISREG(st.st_mode):
                return  # /dev/null, a FIFO, a terminal: written as it is
            self.mode = stat.S_IMODE(st.st_mode)
            # A symbolic link keeps pointing at the file, which is replaced.
            self.final = os.path.realpath(path)
        directory, name = os.path.split(os.path.abspath(self.final))
        try:
            self.temp = _tempfiles.private_file(f".{name[:80]}.", directory=directory)
        except OSError as e:
            raise OSError(e.errno, e.strerror, path) from None

    @property
    def run_path(self) -> str:
        return self.temp if self.temp is not None else self.path

    def commit(self) -> None:
        if self.temp is None:
            return
        try:
            os.chmod(self.temp, self.mode)
            os.replace(self.temp, self.final)
        except OSError as e:
            raise OSError(e.errno, e.strerror, self.path) from None
        _tempfiles.gone(self.temp)
        self.temp = None

    def discard(self) -> None:
        if self.temp is not None:
            with contextlib.suppress(OSError):
                os.unlink(self.temp)
            _tempfiles.gone(self.temp)
            self.temp = None


class _Converted(_Target):
    """An output the run's CSV text is turned into: the run writes the text
    to a temporary file beside it, which is converted into the output's own
    temporary file on commit and renamed into place."""

    def __init__(self, path: str) -> None:
        super().__init__(path)
        directory = os.path.dirname(os.path.abspath(self.final)) if self.temp is not None else None
        name = os.path.basename(self.final)
        try:
            self.plain = _tempfiles.private_file(f".{name[:80]}.", ".plain.rowvane-tmp", directory)
        except OSError as e:
            super().discard()
            raise OSError(e.errno, e.strerror, path) from None

    @property
    def run_path(self) -> str:
        return self.plain

    def convert(self, src: str, dest: str) -> None:
        raise NotImplementedError

    def commit(self) -> None:
        try:
            self.convert(self.plain, self.temp if self.temp is not None else self.path)
        except OSError as e:
            if isinstance(e, InterruptedError):
                raise
            raise OSError(e.errno, e.strerror, self.path) from None
        super().commit()
        self._drop_plain()

    def _drop_plain(self) -> None:
        if self.plain:
            with contextlib.suppress(OSError):
                os.unlink(self.plain)
            _tempfiles.gone(self.plain)
            self.plain = ""

    def discard(self) -> None:
        super().discard()
        self._drop_plain()


class _Compressed(_Converted):
    """An output compressed by its suffix, a chunk at a time."""

    def __init__(self, path: str, fmt: _compression.Format) -> None:
        super().__init__(path)
        self.format = fmt

    def convert(self, src: str, dest: str) -> None:
        _compression.compress_file(src, dest, self.format)


class _Table(_Converted):
    """A Parquet or Arrow IPC output: the CSV text read back into columns
    (the run's dialect is set before the commit)."""

    def __init__(self, path: str, fmt: str, infer_types: bool) -> None:
        super().__init__(path)
        self.format = fmt
        self.infer_types = infer_types
        self.dialect = (",", '"')
        self.width = 0  # every row's column count, when the run enforced one
        self.column_types: dict[str, str] = {}

    def convert(self, src: str, dest: str) -> None:
        self.column_types = _tables.write_table(src, dest, self.format, *self.dialect, self.infer_types,
                                                width=self.width)


def _target(path: str) -> _Target:
    """The target of a file the run writes: compressed when its suffix
    (``.gz``, ``.bz2``, ``.xz``, ``.zst``) asks for it."""
    fmt = _compression.output_format(path)
    return _Compressed(path, fmt) if fmt is not None else _Target(path)


@contextlib.contextmanager
def _plain_input(inp: str, member: str | None,
                 growing: bool = False) -> Iterator[tuple[str, str | None, str | None, Any]]:
    """The file the run reads for the input ``inp``, its compression, the
    zip member read and the run's ``growing`` handle: ``inp`` itself when it
    is plain, else its decompressed text in a private temporary file (a zip
    archive's one CSV member, or ``member``). With ``growing``, the text may
    still be written while the run reads it (the handle is then not None)."""
    fmt = _compression.sniff(inp)
    if member is not None and fmt != "zip":
        raise ValueError(f"member names a file of a zip archive, and {inp!r} is not one")
    if fmt is None:
        yield inp, None, None, None
        return
    if fmt == "zip" and member is None:
        members = _compression.zip_members(inp)
        if len(members) != 1:
            raise ValueError(f"{inp}: zip archive holds {len(members)} CSV members "
                             f"({', '.join(members[:3])}{', ...' if len(members) > 3 else ''}): "
                             "repair_many and check_many read each as a file of a batch, "
                             "or name one with member=")
        member = members[0]
    if growing:
        with _compression.decompressing(inp, fmt, member) as (path, handle):
            yield path, fmt, member, handle
        return
    with _compression.decompressed(inp, fmt, member) as path:
        yield path, fmt, member, None


def _named(exc: OSError, names: Mapping[str, str]) -> OSError:
    """A run's OSError with its ``filename`` as the caller spelled it: the
    run writes temporary files beside the caller's files, and names the one
    that failed."""
    renamed = names.get(exc.filename) if isinstance(exc.filename, str) else None
    if renamed is not None:
        exc.filename = renamed
    return exc


def _with_filename(exc: OSError, path: str) -> OSError:
    """``exc`` naming ``path`` when it names no file (the backend's reader
    reads one file only)."""
    if exc.filename is None:
        exc.filename = path
    return exc


def _check_input(inp: str) -> int | None:
    st = os.stat(inp)  # FileNotFoundError, PermissionError, ... with the path
    if stat.S_ISDIR(st.st_mode):
        raise IsADirectoryError(_errno.EISDIR, os.strerror(_errno.EISDIR), inp)
    if not os.access(inp, os.R_OK):
        raise PermissionError(_errno.EACCES, os.strerror(_errno.EACCES), inp)
    return st.st_size if stat.S_ISREG(st.st_mode) else None


def repair(
    input: StrPath,
    output: StrPath,
    *,
    quarantine: StrPath | None = None,
    delimiter: str | None = None,
    quote_char: str | None = None,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    detect: Detect = "auto",
    changes: StrPath | None = None,
    keep_blank_rows: bool = False,
    encoding: str = "auto",
    encoding_errors: EncodingErrors = "replace",
    output_encoding: str = "utf-8",
    member: str | None = None,
    infer_types: bool = False,
    threads: int | None = None,
    block_size: int | None = None,
    progress: Callable[[int, int], object] | None = None,
) -> RepairReport:
    """Repair the CSV file ``input`` into ``output``; return a RepairReport.

    Paths are ``str`` or any ``os.PathLike`` (bytes paths raise TypeError).
    The options are the backend's: ``delimiter`` (detected when None) and
    ``quote_char`` (detected when None under ``detect="auto"``, else ``"``)
    are single ASCII characters; ``fill_ragged_rows`` pads short rows,
    ``merge_overflow`` merges surplus fields into the last column (rows that
    neither may fix are set aside, into ``quarantine`` when it is given);
    ``expected_columns`` overrides the inferred column count;
    ``repair_quotes`` repairs stray quotes inside quoted fields.

    ``detect="auto"`` (the default) first detects the table: lines of
    preamble above its header (skipped), the delimiter among ``, ; TAB | : #`` and space
    and ``", "`` (comma and blank, the blanks dropped), the quote among ``"``
    and ``'``, a backslash escape, a header spread over several lines (joined column by
    column with a space), copies of the header (dropped) and where the first
    table ends (the rows of later tables are set aside with the reason "Row
    belongs to a second table"). Rows of the wrong width are then repaired
    further: surplus fields that are all empty are dropped, and a stray quote
    at the start of a field is taken as text when that gives the row exactly
    the table's width. An option given explicitly always wins over detection.
    ``detect="basic"`` is exactly the backend's ``rowvane_file``.

    ``changes``, with ``detect="auto"``, names a CSV file that lists every
    row the run changed or dropped: ``line``, ``action``, ``raw_content`` as
    read and the record ``written``.

    Under ``detect="auto"`` rows whose cells are all empty are dropped
    (``blank_rows_dropped``) unless ``keep_blank_rows``, and the notes below
    a table of numbers (sources, footnotes) are set aside with the reason
    "Row is a note below the table" (``notes_rows``).

    ``encoding="auto"`` (the default) decides the input's encoding: a
    byte-order mark, the NUL bytes of UTF-16/32, valid UTF-8 over the whole
    file, a file mostly in UTF-8 whose invalid sequences are decoded by a
    single-byte fallback page (cp1252 unless the evidence names another), or
    else a legacy code page named by the detector from the file's non-ASCII
    lines. Any name Python's codecs know forces that encoding.
    ``encoding_errors`` says what becomes of bytes the encoding cannot
    decode: ``"replace"`` (U+FFFD, counted and logged), ``"strict"`` (the run
    fails with UndecodableError naming the line and byte offset) or
    ``"quarantine"`` (their rows are set aside). The output is UTF-8;
    ``output_encoding="utf-8-sig"`` writes a byte-order mark first, for
    spreadsheet programs. The report says what was decided (``encoding``,
    ``encoding_source``, ``fallback_decoded_rows``, ``replaced_bytes``).

    A compressed input is recognised by its first bytes, whatever its name
    (gzip, bz2, xz, zstd, or a zip archive with one CSV member, or the one
    named by ``member``), and decompressed as a stream into a private
    temporary file that the run reads; truncated or corrupt data raises
    ArchiveError (a ValueError) naming the input. An ``output`` (or
    ``quarantine``, or ``changes``) ending in ``.gz``, ``.bz2``, ``.xz`` or
    ``.zst`` is written compressed so.

    An ``output`` ending in ``.parquet`` is written as Parquet, one ending in
    ``.arrow`` or ``.feather`` as an Arrow IPC file, through pyarrow (the
    extra ``csv-rowvane-backend[parquet]``; ImportError naming it when
    pyarrow is missing): the first row names the columns (made non-empty and
    unique: ``column_5``, ``name_2``), every column a string column, unless
    ``infer_types``: then empty cells are null and a column is int64,
    float64, bool, date32 or timestamp when every non-empty cell reads as
    one (the README gives the rules). The report's ``column_types`` says
    what was written.

    A UTF-8 input (the usual case) is streamed, by either ``detect``: it
    is read in blocks of ``block_size`` bytes (4 MiB by default) that
    ``threads`` threads (None: every core; 1: the calling thread alone) read
    and scan ahead of the rows being repaired, so memory stays near
    ``(threads + 2) × 2 × block_size`` whatever the file's size. The result
    is byte for byte the same for any ``threads`` and ``block_size``.
    ``progress``, a callable, is called after each block with the input
    bytes done and the input's size. An input in another encoding is
    decoded whole first (memory about twice its size).

    Every file is written to a temporary file beside it and renamed into
    place only when the run succeeded: a failed or interrupted run leaves no
    half-written file under any of the names. An ``output`` naming the input
    rewrites it in place, safely (the input stays untouched unless the run
    succeeds; see the README for what a rewrite keeps).

    Failures raise the matching OSError subclass (FileNotFoundError,
    PermissionError, IsADirectoryError, ...) with ``errno``, ``strerror`` and
    ``filename`` set; bad options raise ValueError or TypeError.
    """
    if detect not in ("auto", "basic"):
        raise ValueError(f"detect must be 'auto' or 'basic', got {detect!r}")
    inp = fspath(input, "input")
    out = fspath(output, "output")
    quar = fspath(quarantine, "quarantine") if quarantine is not None else None
    chg = fspath(changes, "changes") if changes is not None else None
    if chg is not None and detect != "auto":
        raise ValueError("changes needs detect='auto': the basic run keeps no change log")
    opts = _options(delimiter, quote_char, fill_ragged_rows, merge_overflow, expected_columns, repair_quotes)
    _check_encoding_options({"encoding": encoding, "encoding_errors": encoding_errors,
                             "output_encoding": output_encoding, "detect": detect})
    stream = _stream_options(threads, block_size, progress)
    table = _tables.table_format(out) if out != "-" else None
    if not isinstance(infer_types, bool):
        raise TypeError(f"infer_types must be a bool, not {type(infer_types).__name__}")
    if infer_types and table is None:
        raise ValueError("infer_types needs a Parquet or Arrow output (.parquet, .arrow, .feather): "
                         "a CSV file holds text")
    if table is not None:
        _tables.require_pyarrow()
    sides = [(name, p) for name, p in (("quarantine", quar), ("changes", chg)) if p is not None]
    for name, p in sides:
        if _same_file(out, p):
            raise ValueError(f"output and {name} name the same file: {out!r}")
        if _same_file(inp, p):
            raise ValueError(f"the {name} file would overwrite the input: {p!r}")
    if quar is not None and chg is not None and _same_file(quar, chg):
        raise ValueError(f"quarantine and changes name the same file: {quar!r}")

    started = time.perf_counter()
    input_size = _check_input(inp)
    with _plain_input(inp, member, growing=True) as (src, compression, member, growing):
        in_place = (_same_file(inp, out) and compression is None and table is None
                    and _compression.output_format(out) is None)
        out_t = (_InPlace(out) if in_place else _Table(out, table, infer_types) if table is not None
                 else _target(out))
        result = _run_repair(inp, src, out_t, quar, chg, opts, detect, keep_blank_rows, encoding,
                             encoding_errors, output_encoding, stream, growing)
    elapsed = time.perf_counter() - started

    def size(p: str) -> int | None:
        try:
            st = os.stat(p)
        except OSError:
            return None
        return st.st_size if stat.S_ISREG(st.st_mode) else None

    return _repair_report(
        result, inp, out, quar, chg,
        input_size=input_size,
        output_size=size(out),
        elapsed=elapsed,
        detect=detect,
        output_encoding=output_encoding,
        compression=compression,
        member=member,
        output_compression=_compression.output_format(out) if out != "-" and table is None else None,
        output_format=table or "csv",
        column_types=dict(out_t.column_types) if isinstance(out_t, _Table) else None,
    )


def _run_repair(inp: str, src: str, out_t: _Target, quar: str | None, chg: str | None,
                opts: dict[str, Any], detect: Detect, keep_blank_rows: bool, encoding: str,
                encoding_errors: EncodingErrors, output_encoding: str,
                stream: dict[str, Any] | None = None, growing: Any = None) -> dict[str, Any]:
    """The native run of ``repair`` over the file ``src`` (the input's text),
    its outputs written to temporary files and renamed into place.
    ``growing``: src is still being decompressed (see _compression)."""
    quar_t: _Target | None = None
    chg_t: _Target | None = None
    try:
        quar_t = _target(quar) if quar is not None else None
        chg_t = _target(chg) if chg is not None else None
        try:
            if detect == "auto":
                result: dict[str, Any] = _core.repair_file(
                    src, out_t.run_path, quar_t.run_path if quar_t else None,
                    chg_t.run_path if chg_t else None, **opts, keep_blank_rows=keep_blank_rows,
                    encoding=_encoding_choice(encoding), encoding_errors=encoding_errors,
                    page_chooser=choose_page, output_bom=output_encoding == "utf-8-sig",
                    growing=growing, **(stream or {}),
                )
            else:
                result = _core.repair_basic(src, out_t.run_path, quar_t.run_path if quar_t else None, **opts,
                                            growing=growing, **(stream or {}))
        except OSError as e:
            names = {t.run_path: t.path for t in (out_t, quar_t, chg_t) if t is not None}
            names[src] = inp
            raise _named(e, names) from None
        except UnicodeDecodeError as e:
            raise _undecodable(e, inp) from None
        if isinstance(out_t, _Table):
            out_t.dialect = (str(result["output_delimiter"]), str(result["output_quote_char"]))
            out_t.width = int(result["inferred_columns"])
        for side in (chg_t, quar_t):
            if side is not None:
                side.commit()
        out_t.commit()
    finally:
        for target in (out_t, quar_t, chg_t):
            if target is not None:
                target.discard()
    return result


def _repair_report(result: dict[str, Any], inp: str, out: str, quar: str | None, chg: str | None,
                   **fields: Any) -> RepairReport:
    """The RepairReport of a native run's dict and the ``fields`` the run's
    caller knows (sizes, time, formats)."""
    extra: dict[str, Any] = {k: int(result.get(k, 0)) for k in _AUTO_COUNTS}
    extra.update(_encoding_fields(result))
    return RepairReport(
        input=inp,
        output=out,
        quarantine=quar,
        changes=chg,
        **_run_counts(result),
        output_delimiter=str(result["output_delimiter"]),
        output_quote_char=str(result["output_quote_char"]),
        **fields,
        **extra,
    )


def _stream_options(threads: int | None, block_size: int | None,
                    progress: Callable[[int, int], object] | None) -> dict[str, Any]:
    """The streamed run's options, checked."""
    for name, value in (("threads", threads), ("block_size", block_size)):
        if value is None:
            continue
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int or None, not {type(value).__name__}")
        if value < 1:
            raise ValueError(f"{name} must be at least 1, got {value}")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable, not {type(progress).__name__}")
    return {"threads": threads, "block_size": block_size, "progress": progress}


def _encoding_fields(result: dict[str, Any]) -> dict[str, Any]:
    """What the decode stage decided, from a run's dict."""
    fallback = result.get("fallback_encoding")
    return {
        "encoding": str(result.get("encoding", "utf-8")),
        "encoding_source": str(result.get("encoding_source", "utf-8")),
        "fallback_encoding": str(fallback) if fallback else None,
        "fallback_decoded_rows": int(result.get("fallback_decoded_rows", 0)),
        "replaced_bytes": int(result.get("replaced_bytes", 0)),
        "undecodable_rows": int(result.get("undecodable_rows", 0)),
    }


def _run_counts(result: dict[str, Any]) -> dict[str, Any]:
    """The six values every run reports, typed, from a run's dict."""
    return {
        "total_rows": int(result["total_rows"]),
        "rowvaned_rows": int(result["rowvaned_rows"]),
        "repaired_rows": int(result["repaired_rows"]),
        "quarantined_rows": int(result["quarantined_rows"]),
        "detected_delimiter": str(result["detected_delimiter"]),
        "inferred_columns": int(result["inferred_columns"]),
    }


_AUTO_COUNTS = (
    "skipped_preamble_lines",
    "header_rows_joined",
    "repeated_headers_dropped",
    "dropped_empty_surplus_rows",
    "opening_quote_rows",
    "tables_found",
    "second_table_rows",
    "notes_rows",
    "blank_rows_dropped",
    "blocks",
    "blocks_reparsed",
)


class _InPlace(_Target):
    """The output names the input: the backend's own rewrite writes a
    temporary file beside the input and renames it into place, keeping the
    input's mode and owner; nothing to do here."""

    def __init__(self, path: str) -> None:  # noqa: D107 - no temporary of ours
        self.path = path
        self.final = path
        self.temp = None
        self.mode = 0


def _problem_action(reason: str, fill: bool, merge: bool) -> str:
    if reason.startswith("Row has too few"):
        return "padded" if fill else "set aside"
    if reason.startswith("Row has extra"):
        return "merged" if merge else "set aside"
    return "set aside"


def check(
    input: StrPath,
    *,
    delimiter: str | None = None,
    quote_char: str | None = None,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    detect: Detect = "auto",
    max_problems: int = 10,
    keep_blank_rows: bool = False,
    encoding: str = "auto",
    encoding_errors: EncodingErrors = "replace",
    member: str | None = None,
    threads: int | None = None,
    block_size: int | None = None,
    progress: Callable[[int, int], object] | None = None,
) -> CheckReport:
    """What ``repair`` with these options would do to ``input``, without
    writing anything: the counts, the delimiter and column count, what table
    detection found, and the first ``max_problems`` rows it would change, pad,
    merge, drop or set aside (line, reason, content as read). A compressed
    input is read as ``repair`` reads it, streamed as ``repair`` streams it
    (``threads``, ``block_size``, ``progress``)."""
    if detect not in ("auto", "basic"):
        raise ValueError(f"detect must be 'auto' or 'basic', got {detect!r}")
    inp = fspath(input, "input")
    opts = _options(delimiter, quote_char, fill_ragged_rows, merge_overflow, expected_columns, repair_quotes)
    _check_encoding_options({"encoding": encoding, "encoding_errors": encoding_errors, "detect": detect})
    stream = _stream_options(threads, block_size, progress)
    input_size = _check_input(inp)
    with _plain_input(inp, member) as (src, compression, member, _growing):
        return _run_check(inp, src, compression, member, input_size, opts, detect, max_problems,
                          keep_blank_rows, encoding, encoding_errors, fill_ragged_rows, merge_overflow, stream)


def _run_check(inp: str, src: str, compression: str | None, member: str | None, input_size: int | None,
               opts: dict[str, Any], detect: Detect, max_problems: int, keep_blank_rows: bool, encoding: str,
               encoding_errors: EncodingErrors, fill_ragged_rows: bool, merge_overflow: bool,
               stream: dict[str, Any] | None = None) -> CheckReport:
    encoding_info: dict[str, Any] = {}
    notes: tuple[str, ...] = ()
    try:
        if detect == "auto":
            result = _core.check_file(src, max_problems, **opts, keep_blank_rows=keep_blank_rows,
                                      encoding=_encoding_choice(encoding),
                                      encoding_errors=encoding_errors, page_chooser=choose_page,
                                      **(stream or {}))
            notes = tuple(detection_notes(dict(result, compression=compression, member=member)))
            encoding_info = _encoding_fields(result)
            problems = [ProblemRow(line=line, reason=action, action=action, content=raw)
                        for line, action, raw in result["problems"]]
        else:
            result = _core.check_basic(src, max_problems, **opts, **(stream or {}))
            notes = tuple(detection_notes({"compression": compression, "member": member}))
            problems = [ProblemRow(line=line, reason=reason,
                                   action=_problem_action(reason, fill_ragged_rows, merge_overflow), content=raw)
                        for line, reason, raw in result["problems"]]
    except OSError as e:
        raise _named(e, {src: inp}) from None
    except UnicodeDecodeError as e:
        raise _undecodable(e, inp) from None
    problem_rows = int(result["problem_rows"])
    return CheckReport(
        input=inp,
        **_run_counts(result),
        input_size=input_size,
        problems=tuple(problems),
        problem_rows=problem_rows,
        detect=detect,
        notes=notes,
        compression=compression,
        member=member,
        **encoding_info,
    )


def read(
    path: StrPath,
    *,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    encoding: str = "auto",
    encoding_errors: EncodingErrors = "replace",
    member: str | None = None,
    threads: int | None = None,
    block_size: int | None = None,
) -> Reader:
    """The repaired rows of ``path`` (lists of str), read as the basic run
    (the engine's: sniffed delimiter, inferred column count, short rows
    padded, surplus fields merged) repairs them: a :class:`Reader`, usable as
    a context manager, with ``len()`` and a ``summary``. The run streams the
    file on ``threads`` threads in blocks of ``block_size`` bytes (as
    ``repair`` does) while the rows are read, so memory stays bounded by a
    few blocks whatever the file's size. ``encoding`` and ``encoding_errors``
    are those of ``repair``: a file that is not UTF-8 is decoded first (into
    a private temporary file), so its rows hold its text. A compressed file
    is read as ``repair`` reads it. Failures raise the matching OSError
    subclass with ``filename`` set."""
    p = fspath(path, "path")
    opts = _options(delimiter, quote_char, fill_ragged_rows, merge_overflow, expected_columns, repair_quotes)
    _check_encoding_options({"encoding": encoding, "encoding_errors": encoding_errors})
    stream = _stream_options(threads, block_size, None)
    del stream["progress"]
    with _plain_input(p, member) as (src, _compression_format, _member, _growing):
        return _open_reader(p, src, opts, encoding, encoding_errors, stream)


def _open_reader(p: str, src: str, opts: dict[str, Any], encoding: str,
                 encoding_errors: EncodingErrors, stream: dict[str, Any]) -> Reader:
    temporary: list[str] = []

    def private_copy(write: Callable[[Any], None]) -> str:
        fd, tmp = tempfile.mkstemp(prefix="csv-rowvane-read-", suffix=".csv")
        temporary.append(tmp)
        with os.fdopen(fd, "wb") as f:
            write(f)
        return tmp

    keep = -1
    try:
        text_path = src
        if not stat.S_ISREG(os.stat(src).st_mode):
            # A pipe or a device is read once: into a private file first.
            with open(src, "rb") as pipe:
                text_path = private_copy(lambda f: shutil.copyfileobj(pipe, f, 1 << 20))
        choice = _encoding_choice(encoding)
        utf8 = choice is None or resolve("utf-8") == choice
        if not (utf8 and _core.streams_utf8(text_path)):
            decoded = _core.decode_file(text_path, encoding=choice, encoding_errors=encoding_errors,
                                        page_chooser=choose_page)
            text = decoded["text"]
            if text is not None:
                text_path = private_copy(lambda f: f.write(text))
        # The counts, when asked before the rows were read to the end, read
        # the same text again through a descriptor the reader holds.
        keep = os.open(text_path, os.O_RDONLY | os.O_CLOEXEC)
        feed = _core.row_feed(text_path, **opts, **stream)
        again = f"/proc/self/fd/{keep}"
        names = {src: p, text_path: p, again: p}

        def counts() -> dict[str, Any]:
            result: dict[str, Any] = _core.basic_counts(again, **opts, **stream)
            return result

        def on_error(e: BaseException) -> BaseException:
            return _with_filename(_named(e, names), p) if isinstance(e, OSError) else e

        reader = Reader(feed, counts, on_error, keep)
        keep = -1
        return reader
    except OSError as e:
        raise _with_filename(_named(e, {src: p}), p) from None
    except UnicodeDecodeError as e:
        raise _undecodable(e, p) from None
    finally:
        if keep >= 0:
            os.close(keep)
        for tmp in temporary:
            with contextlib.suppress(OSError):
                os.unlink(tmp)


def sniff_file(path: StrPath, sample_size: int = 65536, *, encoding: str = "auto") -> str:
    """The delimiter of the file at ``path``, sniffed from its first
    ``sample_size`` bytes of text (cut back to the last complete line): one
    of ``,``, ``;``, tab and ``|``. The text is decoded as by ``repair``;
    ``sniff_encoding`` tells which encoding that is."""
    return sniff_encoding(path, sample_size, encoding=encoding)[0]


def sniff_encoding(path: StrPath, sample_size: int = 65536, *, encoding: str = "auto") -> tuple[str, str]:
    """The delimiter of the file at ``path`` and the encoding its text is
    read in (``"utf-8"``, ``"cp1252"``, ``"utf-16-le"``, or ``"utf-8+cp1252"``
    for UTF-8 whose invalid sequences are read in a fallback page). A
    compressed file is decompressed first, as ``repair`` does."""
    p = fspath(path, "path")
    if isinstance(sample_size, bool) or not isinstance(sample_size, int) or sample_size <= 0:
        raise ValueError(f"sample_size must be a positive int, got {sample_size!r}")
    _check_encoding_options({"encoding": encoding})
    st = os.stat(p)
    if stat.S_ISDIR(st.st_mode):
        raise IsADirectoryError(_errno.EISDIR, os.strerror(_errno.EISDIR), p)
    with _plain_input(p, None) as (src, _fmt, _member, _growing):
        try:
            decoded = _core.decode_file(src, encoding=_encoding_choice(encoding), page_chooser=choose_page,
                                        head=sample_size + 1)
        except OSError as e:
            raise _named(e, {src: p}) from None
        text = decoded["text"]
        if text is not None:
            data = bytes(text[: sample_size + 1])
        else:
            with open(src, "rb") as f:
                data = f.read(sample_size + 1)
    name = str(decoded["encoding"])
    if decoded["fallback_encoding"]:
        name += f"+{decoded['fallback_encoding']}"
    return _sniff_bytes(data, sample_size), name


def _sniff_bytes(data: bytes, sample_size: int) -> str:
    if len(data) > sample_size:
        data = data[:sample_size]
        cut = max(data.rfind(b"\n"), data.rfind(b"\r"))
        if cut > 0:
            data = data[:cut]
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    return str(_rv.sniff(data.decode("utf-8", "replace")))

