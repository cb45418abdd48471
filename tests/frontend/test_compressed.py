"""Compressed inputs (recognised by their content) and outputs (by their
suffix): every entry point, batches of zip members, corrupt archives."""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import pathlib
import shutil
import subprocess
import tempfile
import time
import zipfile
from collections.abc import Callable, Iterator
from typing import Any

import pytest

import csv_rowvane
from csv_rowvane import ArchiveError, _compression

from frontend_support import RAGGED, Run, leftovers

zstd = pytest.importorskip("compression.zstd")

REPAIRED = b'a,b,c\n1,2,3\n4,5,\n6,7,"8,9"\n10,11,12\n'


def _zip(data: bytes, name: str = "export.csv") -> bytes:
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(name, data)
    return buf.getvalue()


COMPRESSORS: dict[str, Callable[[bytes], bytes]] = {
    "gzip": gzip.compress,
    "bz2": bz2.compress,
    "xz": lzma.compress,
    # with its checksum: corrupt data is then told from good data
    "zstd": lambda data: zstd.compress(data, options={zstd.CompressionParameter.checksum_flag: 1}),
    "zip": _zip,
}

DECOMPRESSORS: dict[str, Callable[[bytes], bytes]] = {
    ".gz": gzip.decompress,
    ".bz2": bz2.decompress,
    ".xz": lzma.decompress,
    ".zst": zstd.decompress,
}


@pytest.fixture(autouse=True)
def private_tmp(tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[pathlib.Path]:
    """The private temporary files of the runs go to a folder of the test,
    which must be empty after each."""
    where = tmp_path / "private-tmp"
    where.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(where))
    yield where
    assert list(where.iterdir()) == []


def _write(tmp_path: pathlib.Path, fmt: str, name: str | None = None, data: bytes = RAGGED) -> pathlib.Path:
    # A misleading name: the content decides.
    p = tmp_path / (name or f"{fmt}-input.csv")
    p.write_bytes(COMPRESSORS[fmt](data))
    return p


@pytest.mark.parametrize("fmt", sorted(COMPRESSORS))
def test_every_entry_point_reads_the_decompressed_text(tmp_path: pathlib.Path, fmt: str) -> None:
    src = _write(tmp_path, fmt)
    out = tmp_path / "clean.csv"
    report = csv_rowvane.repair(src, out)
    assert out.read_bytes() == REPAIRED
    assert (report.input, report.compression, report.input_size) == (str(src), fmt, src.stat().st_size)
    assert report.member == ("export.csv" if fmt == "zip" else None)
    assert report.notes()[0] == ("zip member export.csv" if fmt == "zip" else f"{fmt} input")
    assert report.to_dict()["compression"] == fmt

    checked = csv_rowvane.check(src)
    assert (checked.total_rows, checked.repaired_rows, checked.compression) == (5, 2, fmt)
    with csv_rowvane.read(src) as rows:
        assert list(rows)[2] == ["4", "5", ""]
    assert csv_rowvane.sniff_encoding(src) == (",", "utf-8")
    assert csv_rowvane.sniff_file(src) == ","

    batch = csv_rowvane.repair_many([src], tmp_path / "out", jobs=1)
    assert batch.ok and batch.reports[0].compression == fmt
    many = csv_rowvane.check_many([src], jobs=1)
    assert many.ok and many.reports[0].compression == fmt
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize(
    ("data", "expected"),
    [
        (b"BZh9 is a plain first cell,x\n1,2\n", None),   # text that starts like bz2
        (b"PK,x\n1,2\n", None),
        (b"\x1f\x8b\x08", "gzip"),
        (b"\xfd7zXZ\x00\x00", "xz"),
        (b"(\xb5/\xfd", "zstd"),
        (b"BZh91AY&SY", "bz2"),
        (b"PK\x05\x06" + b"\0" * 18, "zip"),
        (b"", None),
    ],
)
def test_formats_are_told_by_their_first_bytes(data: bytes, expected: str | None) -> None:
    assert _compression.sniff_bytes(data) == expected


def test_plain_files_and_pipes_are_read_as_they_are(tmp_path: pathlib.Path) -> None:
    plain = tmp_path / "data.csv.gz"  # a plain file with a compressed name
    plain.write_bytes(RAGGED)
    report = csv_rowvane.repair(plain, tmp_path / "o.csv")
    assert report.compression is None and report.notes() == []
    assert (tmp_path / "o.csv").read_bytes() == REPAIRED


@pytest.mark.parametrize(
    ("fmt", "damage", "reason"),
    [
        ("gzip", "truncate", "truncated gzip data"),
        ("gzip", "corrupt", "gzip data"),
        ("bz2", "truncate", "truncated bz2 data"),
        ("bz2", "corrupt", "corrupt bz2 data"),
        ("xz", "truncate", "truncated xz data"),
        ("xz", "corrupt", "corrupt xz data"),
        ("zstd", "truncate", "truncated zstd data"),
        ("zstd", "corrupt", "zstd data"),
        ("zip", "truncate", "corrupt zip archive"),
        ("zip", "corrupt", "zip"),
    ],
)
def test_damaged_archives_fail_naming_the_file(tmp_path: pathlib.Path, fmt: str, damage: str, reason: str) -> None:
    data = bytearray(COMPRESSORS[fmt](RAGGED * 50))
    if damage == "truncate":
        data = data[: len(data) // 2]
    else:
        middle = len(data) // 2
        data[middle: middle + 8] = b"\xff\x00\xaa\x55\xff\x00\xaa\x55"
        if fmt == "zip":
            data[30:40] = b"\xff" * 10  # the member's name and its data
    src = tmp_path / "broken.csv"
    src.write_bytes(bytes(data))
    calls: list[Callable[[], object]] = [
        lambda: csv_rowvane.repair(src, tmp_path / "o.csv"),
        lambda: csv_rowvane.check(src),
        lambda: csv_rowvane.read(src),
        lambda: csv_rowvane.sniff_encoding(src),
    ]
    for call in calls:
        with pytest.raises((ArchiveError, ValueError)) as info:
            call()
        assert str(src) in str(info.value) and reason in str(info.value), str(info.value)
    batch = csv_rowvane.repair_many([src], tmp_path / "out", jobs=1)
    assert [f.path for f in batch.failures] == [str(src)] and batch.reports == ()
    assert not (tmp_path / "o.csv").exists() and not (tmp_path / "out" / "broken.csv").exists()
    assert leftovers(tmp_path) == []


def _archive(tmp_path: pathlib.Path, members: dict[str, bytes], name: str = "exports.zip") -> pathlib.Path:
    p = tmp_path / name
    with zipfile.ZipFile(p, "w") as z:
        for member, data in members.items():
            z.writestr(member, data)
    return p


def test_a_zip_of_several_members_is_a_batch(tmp_path: pathlib.Path) -> None:
    src = _archive(tmp_path, {"a.csv": RAGGED, "sub/b.tsv": b"x\ty\n1\t2\n", "readme.md": b"# not data\n",
                              "__MACOSX/._a.csv": b"\0\0"})
    batch = csv_rowvane.repair_many([src], tmp_path / "clean", quarantine_dir=tmp_path / "rejects", jobs=2)
    assert batch.ok
    assert [(r.source, r.member, r.compression) for r in batch.reports] == [
        (f"{src}:a.csv", "a.csv", "zip"), (f"{src}:sub/b.tsv", "sub/b.tsv", "zip")]
    assert (tmp_path / "clean" / "exports" / "a.csv").read_bytes() == REPAIRED
    assert (tmp_path / "clean" / "exports" / "sub" / "b.tsv").read_bytes() == b"x\ty\n1\t2\n"
    checked = csv_rowvane.check_many([src], jobs=1)
    assert [r.source for r in checked.reports] == [f"{src}:a.csv", f"{src}:sub/b.tsv"]
    # repair reads one file: it names the way to read the others
    with pytest.raises(ValueError, match=r"holds 2 CSV members \(a.csv, sub/b.tsv\)"):
        csv_rowvane.repair(src, tmp_path / "one.csv")
    assert csv_rowvane.repair(src, tmp_path / "one.csv", member="sub/b.tsv").total_rows == 2
    with pytest.raises(ValueError, match="output names one file"):
        csv_rowvane.repair_many([src], output=tmp_path / "one.csv")
    in_place = csv_rowvane.repair_many([src], in_place=True)
    assert [f.message for f in in_place.failures] == ["a zip archive is not rewritten in place"] * 2
    assert leftovers(tmp_path) == []


def test_member_names_a_member_of_a_zip_archive(tmp_path: pathlib.Path, ragged: pathlib.Path) -> None:
    src = _archive(tmp_path, {"a.csv": RAGGED})
    with pytest.raises(ArchiveError, match="no member 'b.csv'"):
        csv_rowvane.check(src, member="b.csv")
    with pytest.raises(ValueError, match="is not one"):
        csv_rowvane.repair(ragged, tmp_path / "o.csv", member="a.csv")
    assert csv_rowvane.check(src, member="a.csv").member == "a.csv"


@pytest.mark.skipif(shutil.which("zip") is None, reason="no zip command to make an encrypted archive")
def test_an_encrypted_member_fails_naming_the_archive(tmp_path: pathlib.Path, ragged: pathlib.Path) -> None:
    subprocess.run(["zip", "-q", "-P", "secret", "locked.zip", ragged.name], cwd=tmp_path, check=True)
    with pytest.raises(ArchiveError, match="locked.zip: cannot read zip member 'ragged.csv'"):
        csv_rowvane.repair(tmp_path / "locked.zip", tmp_path / "o.csv")


@pytest.mark.parametrize(
    ("members", "message"),
    [
        ({}, "holds no file"),
        ({"a.pdf": b"x", "b.pdf": b"y"}, "holds no CSV member"),
    ],
)
def test_zips_without_a_csv_member(tmp_path: pathlib.Path, members: dict[str, bytes], message: str) -> None:
    src = _archive(tmp_path, members)
    with pytest.raises(ArchiveError, match=message):
        csv_rowvane.repair(src, tmp_path / "o.csv")
    batch = csv_rowvane.repair_many([src], tmp_path / "out")
    assert message in batch.failures[0].message


def test_a_directory_contributes_compressed_csv_files(tmp_path: pathlib.Path) -> None:
    folder = tmp_path / "exports"
    folder.mkdir()
    (folder / "a.csv.gz").write_bytes(gzip.compress(RAGGED))
    (folder / "b.tsv.zst").write_bytes(zstd.compress(b"x\ty\n1\t2\n"))
    (folder / "c.csv.zip").write_bytes(_zip(RAGGED, "c.csv"))
    (folder / "notes.gz").write_bytes(gzip.compress(b"not a table"))
    batch = csv_rowvane.repair_many([folder], tmp_path / "clean", jobs=1)
    assert batch.ok
    written = sorted(str(p.relative_to(tmp_path / "clean")) for p in (tmp_path / "clean").rglob("*") if p.is_file())
    assert written == ["a.csv.gz", "b.tsv.zst", "c.csv/c.csv"]
    # compressed in, compressed out: the outputs keep the inputs' suffixes
    assert gzip.decompress((tmp_path / "clean" / "a.csv.gz").read_bytes()) == REPAIRED
    assert zstd.decompress((tmp_path / "clean" / "b.tsv.zst").read_bytes()) == b"x\ty\n1\t2\n"


@pytest.mark.parametrize("suffix", sorted(DECOMPRESSORS))
def test_outputs_are_compressed_by_their_suffix(tmp_path: pathlib.Path, ragged: pathlib.Path, suffix: str) -> None:
    out, quar = tmp_path / f"clean.csv{suffix}", tmp_path / f"rejects.csv{suffix}"
    report = csv_rowvane.repair(ragged, out, quarantine=quar, merge_overflow=False)
    decompress = DECOMPRESSORS[suffix]
    assert decompress(out.read_bytes()) == b"a,b,c\n1,2,3\n4,5,\n10,11,12\n"
    assert b"6,7,8,9" in decompress(quar.read_bytes())
    assert report.output_compression == _compression.OUTPUT_SUFFIXES[suffix]
    assert report.output_size == out.stat().st_size
    assert f"written as {report.output_compression}" in report.notes()
    # the same text gives the same bytes
    first = out.read_bytes()
    csv_rowvane.repair(ragged, out, quarantine=quar, merge_overflow=False)
    assert out.read_bytes() == first
    assert leftovers(tmp_path) == []


def test_a_compressed_input_rewritten_in_place_stays_compressed(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "data.csv.gz"
    src.write_bytes(gzip.compress(RAGGED))
    src.chmod(0o640)
    batch = csv_rowvane.repair_many([src], in_place=True)
    assert batch.ok
    assert gzip.decompress(src.read_bytes()) == REPAIRED
    assert src.stat().st_mode & 0o777 == 0o640
    assert leftovers(tmp_path) == []


def test_a_failed_run_leaves_the_compressed_output_untouched(tmp_path: pathlib.Path, ragged: pathlib.Path) -> None:
    out = tmp_path / "clean.csv.gz"
    out.write_bytes(b"previous")
    latin = tmp_path / "latin.csv"
    latin.write_bytes(b"a\n\xe9\xff\n")
    with pytest.raises(UnicodeDecodeError):
        csv_rowvane.repair(latin, out, encoding="utf-8", encoding_errors="strict")
    assert out.read_bytes() == b"previous"
    assert leftovers(tmp_path) == []


def test_decompression_is_streamed(tmp_path: pathlib.Path) -> None:
    """The decompressed text is never held whole: the reads are CHUNK bytes
    at most."""
    data = b"a,b\n" + b"1,2\n" * 600_000
    src = tmp_path / "big.csv.gz"
    src.write_bytes(gzip.compress(data, 1))
    sizes: list[int] = []
    real = _compression._copy

    def spy(source: object, dst: object, epoch: int) -> None:
        class Reader:
            def readinto(self, view: memoryview) -> int:
                n: int = source.readinto(view)  # type: ignore[attr-defined]
                sizes.append(n)
                return n
        real(Reader(), dst, epoch)

    with pytest.MonkeyPatch.context() as m:
        m.setattr(_compression, "_copy", spy)
        assert csv_rowvane.check(src).total_rows == 600_001
    assert len(sizes) > 2 and max(sizes) <= _compression.CHUNK


@pytest.mark.parametrize(
    ("args", "expected_file", "decompress"),
    [
        (["repair", "in.bin", "-o", "clean.csv"], "clean.csv", None),
        (["repair", "in.bin", "-o", "clean.csv.xz"], "clean.csv.xz", lzma.decompress),
        (["repair", "in.bin", "-o", "-"], None, None),
    ],
)
def test_command_line(cli: Run, tmp_path: pathlib.Path, args: list[str], expected_file: str | None,
                      decompress: Callable[[bytes], bytes] | None) -> None:
    (tmp_path / "in.bin").write_bytes(gzip.compress(RAGGED))
    r = cli(*args)
    assert r.returncode == 0, r.stderr
    if expected_file is None:
        assert r.stdout == REPAIRED
        assert b"gzip input" in r.stderr
        return
    data = (tmp_path / expected_file).read_bytes()
    assert (decompress(data) if decompress else data) == REPAIRED
    assert b"gzip input" in r.stdout


def test_command_line_archives_and_errors(cli: Run, tmp_path: pathlib.Path) -> None:
    _archive(tmp_path, {"a.csv": RAGGED, "b.csv": RAGGED})
    r = cli("repair", "exports.zip", "-o", "clean")
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "clean" / "exports" / "b.csv").read_bytes() == REPAIRED
    assert "exports.zip:a.csv" in r.stdout.decode()
    r = cli("check", "exports.zip")
    assert r.returncode == 0 and "exports.zip:b.csv" in r.stdout.decode()
    r = cli("sniff", "exports.zip")
    assert r.returncode == 1 and "holds 2 CSV members" in r.stderr.decode()
    (tmp_path / "cut.gz").write_bytes(gzip.compress(RAGGED)[:15])
    r = cli("repair", "cut.gz", "-o", "o.csv")
    assert r.returncode == 1
    assert "csv-rowvane: cut.gz: truncated gzip data" in r.stderr.decode()
    assert not (tmp_path / "o.csv").exists()


def _gzip_members(data: bytes) -> bytes:
    # Two members: the size at the end is the last member's alone.
    half = len(data) // 2
    return gzip.compress(data[:half]) + gzip.compress(data[half:])


def _zstd_unsized(data: bytes) -> bytes:
    # Written as a stream: the frame does not say its size.
    buf = io.BytesIO()
    with zstd.ZstdFile(buf, "w") as f:
        for at in range(0, len(data), 1 << 16):
            f.write(data[at: at + (1 << 16)])
    return buf.getvalue()


@pytest.mark.parametrize(
    ("name", "compress", "read_while_written"),
    [
        ("gzip", gzip.compress, True),
        ("gzip of two members", _gzip_members, True),
        ("zip", _zip, True),
        ("zstd", COMPRESSORS["zstd"], True),
        ("zstd without its size", _zstd_unsized, False),
        ("bz2", bz2.compress, False),
    ],
)
@pytest.mark.parametrize("text", ["clean", "stray byte late"])
def test_a_repair_reads_the_text_while_it_is_decompressed(tmp_path: pathlib.Path, name: str,
                                                         compress: Callable[[bytes], bytes],
                                                         read_while_written: bool, text: str) -> None:
    """The repair of a compressed input gives the plain file's bytes and
    counts, whether it read the text while a thread decompressed it (the
    archive states the size; a wrong statement makes the run go again) or
    once complete."""
    rows = b"".join(b'%d,"name %d, x",%d.5\n' % (i, i, i % 97) for i in range(120_000))
    data = b"id,name,amount\n" + rows + (b"9,\xff,1\n" if text == "stray byte late" else b"")
    plain = tmp_path / "plain.csv"
    plain.write_bytes(data)
    packed = tmp_path / "packed.csv"
    packed.write_bytes(compress(data))
    made: list[int] = []
    real = _compression._core.growing_new

    def spy(size: int) -> object:
        made.append(size)
        return real(size)

    with pytest.MonkeyPatch.context() as m:
        m.setattr(_compression._core, "growing_new", spy)
        for detect in ("auto", "basic"):
            for threads in (1, 2):
                want = csv_rowvane.repair(plain, tmp_path / "want.csv", detect=detect, threads=threads,
                                          block_size=1 << 18)
                got = csv_rowvane.repair(packed, tmp_path / "got.csv", detect=detect, threads=threads,
                                         block_size=1 << 18)
                label = f"{name}, {text}, {detect}, threads {threads}"
                assert (tmp_path / "got.csv").read_bytes() == (tmp_path / "want.csv").read_bytes(), label
                assert (got.total_rows, got.repaired_rows, got.quarantined_rows) == (
                    want.total_rows, want.repaired_rows, want.quarantined_rows), label
    assert bool(made) == read_while_written
    assert leftovers(tmp_path) == []


def test_a_repair_stopped_while_the_text_is_decompressed_fails_cleanly(tmp_path: pathlib.Path) -> None:
    """A run whose progress callback raises stops, and so does the thread
    that decompresses its input: the error comes through, nothing is left."""
    data = b"a,b\n" + b"1,2\n" * 2_000_000
    src = tmp_path / "big.csv.gz"
    src.write_bytes(gzip.compress(data, 1))

    def stop(done: int, total: int) -> None:
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        csv_rowvane.repair(src, tmp_path / "o.csv", progress=stop, block_size=1 << 16, threads=1)
    assert not (tmp_path / "o.csv").exists()
    assert leftovers(tmp_path) == []


def test_a_slow_decompression_with_threads_reading_ahead(tmp_path: pathlib.Path,
                                                         monkeypatch: pytest.MonkeyPatch) -> None:
    """The threads that read ahead wait for text that comes slowly: they
    check for a cancellation while they wait, never for a signal (that is
    the calling thread's), and the output is the plain file's."""
    data = b"a,b,c\n" + b"1,\"two, 2\",3\n" * 250_000
    plain = tmp_path / "plain.csv"
    plain.write_bytes(data)
    packed = tmp_path / "packed.csv"
    packed.write_bytes(gzip.compress(data, 1))
    real = _compression._open_reader

    class Slow:
        def __init__(self, inner: Any) -> None:
            self.inner = inner

        def __enter__(self) -> Slow:
            self.inner.__enter__()
            return self

        def __exit__(self, *exc: object) -> None:
            self.inner.__exit__(*exc)

        def readinto(self, view: memoryview) -> int:
            time.sleep(0.08)  # longer than the readers' wait between checks
            n: int = self.inner.readinto(view[: 1 << 18])
            return n

    monkeypatch.setattr(_compression, "_open_reader", lambda *a: Slow(real(*a)))
    want = csv_rowvane.repair(plain, tmp_path / "want.csv", threads=2, block_size=1 << 16)
    got = csv_rowvane.repair(packed, tmp_path / "got.csv", threads=2, block_size=1 << 16)
    assert (tmp_path / "got.csv").read_bytes() == (tmp_path / "want.csv").read_bytes()
    assert got.total_rows == want.total_rows
