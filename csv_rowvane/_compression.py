"""Compressed inputs and outputs.

An input is recognised as compressed by its first bytes, never by its name:
gzip, bz2, xz, zstd and zip. It is decompressed as a stream, a MiB at a time,
into a private temporary file that the run reads: a repair reads it while a
thread of its own decompresses (``decompressing``) when the size the text
will have is written in the archive (gzip, zip, a zstd frame that says it),
else once it is complete. An output is compressed by its name's suffix
(``.gz``, ``.bz2``, ``.xz``, ``.zst``).
"""

from __future__ import annotations

import bz2
import contextlib
import gzip
import lzma
import os
import stat
import threading
import zipfile
import zlib
from collections.abc import Callable, Iterator
from typing import IO, Any, Literal, TypeAlias

from . import _core, _tempfiles

__all__ = [
    "ArchiveError",
    "Format",
    "CHUNK",
    "sniff",
    "zip_members",
    "decompressed",
    "decompressing",
    "output_format",
    "compress_file",
    "cancel_all",
]

Format: TypeAlias = Literal["gzip", "bz2", "xz", "zstd", "zip"]

#: The bytes read or written at a time while (de)compressing.
CHUNK = 1 << 20

#: The files of a zip archive that are read as its CSV members.
CSV_SUFFIXES = (".csv", ".tsv", ".txt")

#: The suffix of an output path that compresses it, and how.
OUTPUT_SUFFIXES: dict[str, Format] = {".gz": "gzip", ".bz2": "bz2", ".xz": "xz", ".zst": "zstd"}

#: Suffixes of compressed files a directory contributes to a batch (after a
#: CSV suffix: ``data.csv.gz``).
INPUT_SUFFIXES = (".gz", ".bz2", ".xz", ".zst", ".zip")

_BZ2_BLOCKS = (b"1AY&SY", b"\x17rE8P\x90")  # a first block, or the end of an empty stream


class ArchiveError(ValueError):
    """A compressed input that cannot be decompressed: truncated or corrupt
    data, or a zip archive without a CSV member. ``filename`` names the file,
    ``format`` the compression."""

    filename: str
    format: str

    def __init__(self, filename: str, format: str, reason: str) -> None:
        super().__init__(f"{filename}: {reason}")
        self.filename = filename
        self.format = format
        self.reason = reason

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.filename, self.format, self.reason))


def sniff_bytes(head: bytes) -> Format | None:
    """The compression whose signature starts ``head`` (its first 16 bytes
    or more), or None."""
    if head.startswith(b"\x1f\x8b\x08"):
        return "gzip"
    if head.startswith(b"\xfd7zXZ\x00"):
        return "xz"
    if head.startswith(b"\x28\xb5\x2f\xfd"):
        return "zstd"
    if (len(head) >= 10 and head.startswith(b"BZh") and head[3:4] in b"123456789"
            and head[4:10] in _BZ2_BLOCKS):
        return "bz2"
    if head.startswith((b"PK\x03\x04", b"PK\x05\x06")):
        return "zip"
    return None


def sniff(path: str) -> Format | None:
    """The compression of the file at ``path`` by its first bytes; None for
    a plain file and for anything that is not a regular file (a pipe cannot
    be read twice)."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    if not stat.S_ISREG(st.st_mode):
        return None
    try:
        with open(path, "rb") as f:
            head = f.read(16)
    except OSError:
        return None
    return sniff_bytes(head)


def zip_members(path: str) -> list[str]:
    """The CSV members of the zip archive ``path``, in archive order: its
    files named ``*.csv``, ``*.tsv`` or ``*.txt``, or else its one file.
    ArchiveError when it holds none."""
    try:
        with zipfile.ZipFile(path) as z:
            files = [i.filename for i in z.infolist()
                     if not i.is_dir() and not i.filename.startswith("__MACOSX/")
                     and not os.path.basename(i.filename).startswith(".")]
    except (zipfile.BadZipFile, EOFError, ValueError, NotImplementedError) as e:
        raise ArchiveError(path, "zip", f"corrupt zip archive ({e})") from None
    csv = [name for name in files if name.lower().endswith(CSV_SUFFIXES)]
    if csv:
        return csv
    if len(files) == 1:
        return files
    if not files:
        raise ArchiveError(path, "zip", "zip archive holds no file")
    raise ArchiveError(path, "zip", f"zip archive holds no CSV member (*.csv, *.tsv, *.txt) among {len(files)} files")


# Runs cancelled by the batch (an interrupt): every decompression started
# before the last cancel_all() stops at its next chunk.
_epoch = 0
_epoch_lock = threading.Lock()


def cancel_all() -> None:
    """Stops every decompression and compression under way (each raises
    InterruptedError and removes its temporary file)."""
    global _epoch
    with _epoch_lock:
        _epoch += 1


def _open_reader(path: str, fmt: Format, member: str | None) -> Any:
    if fmt == "gzip":
        return gzip.open(path, "rb")
    if fmt == "bz2":
        return bz2.open(path, "rb")
    if fmt == "xz":
        return lzma.open(path, "rb")
    if fmt == "zstd":
        from compression import zstd

        return zstd.open(path, "rb")
    return _zip_member(path, member)


@contextlib.contextmanager
def _zip_member(path: str, member: str | None) -> Iterator[IO[bytes]]:
    names = zip_members(path) if member is None else [member]
    if len(names) != 1:
        raise ArchiveError(path, "zip", f"zip archive holds {len(names)} CSV members; repair_many and "
                           "check_many read each as a file of a batch")
    with zipfile.ZipFile(path) as z, z.open(names[0]) as f:
        yield f


def _errors() -> tuple[type[BaseException], ...]:
    errors: list[type[BaseException]] = [EOFError, gzip.BadGzipFile, zlib.error, lzma.LZMAError,
                                         zipfile.BadZipFile, NotImplementedError]
    with contextlib.suppress(ImportError):
        from compression import zstd

        errors.append(zstd.ZstdError)
    return tuple(errors)


def _reason(fmt: str, e: BaseException) -> str:
    if isinstance(e, EOFError):
        return f"truncated {fmt} data ({e})"
    return f"corrupt {fmt} data ({e})"


class _Stopped(Exception):
    """The decompression was stopped because its run ended first."""


def _copy(src: Any, dst: Any, epoch: int, stop: threading.Event | None = None,
          grew: Callable[[int], object] | None = None) -> None:
    """Copies ``src`` into ``dst`` a CHUNK at a time, stopping before each
    when the batch was cancelled (or ``stop`` is set); ``grew(total)`` after
    each chunk is written (``dst`` unbuffered then, so a reader sees it)."""
    buf = bytearray(CHUNK)
    view = memoryview(buf)
    total = 0
    while True:
        if stop is not None and stop.is_set():
            raise _Stopped()
        if _epoch != epoch:
            raise InterruptedError("the run was cancelled")
        n = src.readinto(view)
        if not n:
            return
        done = 0
        while done < n:  # an unbuffered file may take part of it
            done += dst.write(view[done:n]) or 0
        total += n
        if grew is not None:
            grew(total)


def _remove(path: str) -> None:
    with contextlib.suppress(OSError):
        os.unlink(path)
    _tempfiles.gone(path)


def _failure(path: str, fmt: Format, member: str | None, e: BaseException) -> BaseException:
    """What a decompression's exception ``e`` is raised as: ArchiveError
    naming ``path`` for truncated or corrupt data, an OSError naming it."""
    if isinstance(e, (ArchiveError, InterruptedError)):
        return e
    if isinstance(e, OSError):
        if e.errno is None:  # bz2's and gzip's word for corrupt data
            return ArchiveError(path, fmt, _reason(fmt, e))
        if e.filename is None:
            e.filename = path
        return e
    if isinstance(e, _errors()):
        return ArchiveError(path, fmt, _reason(fmt, e))
    if isinstance(e, KeyError):  # a zip member that is not there
        return ArchiveError(path, fmt, f"no member {member!r} ({e})")
    if isinstance(e, RuntimeError) and fmt == "zip":  # an encrypted zip member
        return ArchiveError(path, fmt, f"cannot read zip member {member!r} ({e})")
    return e


@contextlib.contextmanager
def decompressed(path: str, fmt: Format, member: str | None = None) -> Iterator[str]:
    """The decompressed text of ``path`` (of its zip ``member``), in a
    private temporary file that is gone when the context ends. ArchiveError,
    naming ``path``, when its data is truncated or corrupt."""
    epoch = _epoch
    tmp = _tempfiles.private_file("csv-rowvane-in-")
    try:
        try:
            with _open_reader(path, fmt, member) as src, open(tmp, "wb") as dst:
                _copy(src, dst, epoch)
        except Exception as e:
            failure = _failure(path, fmt, member, e)
            if failure is e:
                raise
            raise failure from None
        yield tmp
    finally:
        _remove(tmp)


def expected_size(path: str, fmt: Format, member: str | None = None) -> int | None:
    """The size of the decompressed text as the archive states it, or None
    when it does not: gzip's last four bytes (the size modulo 2**32 of its
    last member), a zip member's entry, a zstd frame's header. A hint: a run
    that finds another size goes again."""
    unreadable: tuple[type[BaseException], ...] = (OSError, ValueError, LookupError, ImportError, *_errors())
    try:
        if fmt == "gzip":
            with open(path, "rb") as f:
                f.seek(0, os.SEEK_END)
                if f.tell() < 18:
                    return None
                f.seek(-4, os.SEEK_END)
                return int.from_bytes(f.read(4), "little")
        if fmt == "zip":
            with zipfile.ZipFile(path) as z:
                names = zip_members(path) if member is None else [member]
                return int(z.getinfo(names[0]).file_size) if len(names) == 1 else None
        if fmt == "zstd":
            from compression import zstd

            with open(path, "rb") as f:
                size = zstd.get_frame_info(f.read(18)).decompressed_size
            return int(size) if size is not None else None
    except unreadable:
        return None  # the decompression itself says what is wrong
    return None


def _fill(path: str, fmt: Format, member: str | None, tmp: str, growing: Any, stop: threading.Event,
          epoch: int, outcome: list[BaseException]) -> None:
    """Decompresses into ``tmp`` a MiB at a time, telling ``growing`` how far
    it got; the exception that ended it goes into ``outcome``."""
    complete = False
    try:
        with _open_reader(path, fmt, member) as src, open(tmp, "wb", buffering=0) as dst:
            _copy(src, dst, epoch, stop, lambda total: _core.growing_grew(growing, total))
        complete = True
    except BaseException as e:
        outcome.append(_failure(path, fmt, member, e))
    finally:
        _core.growing_end(growing, complete)


@contextlib.contextmanager
def decompressing(path: str, fmt: Format, member: str | None = None) -> Iterator[tuple[str, Any]]:
    """The decompressed text of ``path`` (of its zip ``member``) in a
    private temporary file, and the ``growing`` handle of a run that reads
    it while a thread of its own writes it; the handle is None when the
    archive does not state the text's size (bz2, xz): then the file is
    complete before the context begins. The file is gone when the context
    ends. ArchiveError, naming ``path``, when the data is truncated or
    corrupt (also when the run failed for want of it)."""
    size = expected_size(path, fmt, member)
    if size is None or size >= 2**62:  # none stated, or none a file can have
        with decompressed(path, fmt, member) as text:
            yield text, None
        return
    growing = _core.growing_new(size)
    stop = threading.Event()
    outcome: list[BaseException] = []
    epoch = _epoch
    tmp: str | None = None
    writer: threading.Thread | None = None
    try:  # an interrupt may come anywhere: what was made is undone below
        tmp = _tempfiles.private_file("csv-rowvane-in-")
        writer = threading.Thread(target=_fill, args=(path, fmt, member, tmp, growing, stop, epoch, outcome),
                                  name="csv-rowvane-decompress", daemon=True)
        writer.start()
        try:
            yield tmp, growing
        except BaseException:
            stop.set()
            writer.join()
            # The run failed because the text could not be read (corrupt
            # data, a cancelled batch): the decompression's error says why.
            if outcome and not isinstance(outcome[0], _Stopped):
                raise outcome[0] from None
            raise
        writer.join()
        if outcome:
            raise outcome[0]
    finally:
        stop.set()
        if writer is not None and writer.ident is not None:
            writer.join()
        if tmp is not None:
            _remove(tmp)


def output_format(path: str) -> Format | None:
    """The compression an output's suffix asks for, or None."""
    return OUTPUT_SUFFIXES.get(os.path.splitext(path)[1].lower())


def _open_writer(dst: IO[bytes], fmt: Format) -> Any:
    if fmt == "gzip":
        # No name and no time in the header: the same text gives the same bytes.
        return gzip.GzipFile(filename="", mode="wb", fileobj=dst, compresslevel=6, mtime=0)
    if fmt == "bz2":
        return bz2.BZ2File(dst, "wb")
    if fmt == "xz":
        return lzma.LZMAFile(dst, "wb")
    if fmt == "zstd":
        from compression import zstd

        return zstd.ZstdFile(dst, "wb", options={zstd.CompressionParameter.checksum_flag: 1})
    raise ValueError(f"{fmt} output is not written")


def compress_file(src_path: str, dst_path: str, fmt: Format) -> None:
    """Compresses the file ``src_path`` into ``dst_path`` (truncated first),
    a chunk at a time."""
    epoch = _epoch
    with open(src_path, "rb") as src, open(dst_path, "wb") as raw:
        with _open_writer(raw, fmt) as dst:
            _copy(src, dst, epoch)
