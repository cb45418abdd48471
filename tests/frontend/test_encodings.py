"""Encodings: every file comes back as the text it holds, whatever it was
saved in; each decision is reported; undecodable bytes are replaced and
counted, fail the file, or set their rows aside, as asked."""

from __future__ import annotations

import csv
import io
import json
import os
import pathlib
import subprocess
import sys

import pytest

import _csv_rowvane_backend as rv
import csv_rowvane
from csv_rowvane import UndecodableError
from csv_rowvane._compression import sniff_bytes
from csv_rowvane._encoding import choose_page, resolve

from encoding_samples import Sample, sample_files, table_text
from frontend_support import SAMPLE

CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"
ALL = list(sample_files(seed=11, per_encoding=1, rows=(8, 60)))


def rows(text: str, delimiter: str) -> list[list[str]]:
    return list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter))


def delimiter_of(sample: Sample) -> str:
    return next(d for d in ";,\t" if d in sample.text.splitlines()[0])


@pytest.mark.parametrize("sample", ALL, ids=[s.name for s in ALL])
def test_every_encoding_comes_back_exactly(sample: Sample, tmp_path: pathlib.Path) -> None:
    """A table written in any supported encoding, repaired with the
    defaults, holds exactly the table's text, and the report says how it
    was read."""
    src, out = tmp_path / "in.csv", tmp_path / "out.csv"
    src.write_bytes(sample.data)
    report = csv_rowvane.repair(src, out)
    d = delimiter_of(sample)
    assert rows(out.read_text(encoding="utf-8"), d) == rows(sample.text, d)
    assert report.replaced_bytes == 0
    if sample.family == "mixed":
        assert (report.encoding, report.encoding_source, report.fallback_encoding) == ("utf-8", "fallback", "cp1252")
        assert report.fallback_decoded_rows > 0
    elif sample.encoding.startswith("utf-8"):
        assert report.encoding == "utf-8" and report.encoding_source in ("utf-8", "bom")
    elif sample.encoding.startswith("utf-"):
        assert report.encoding.startswith(sample.encoding[:6]) and report.encoding_source in ("bom", "nul pattern")
    else:
        assert report.encoding_source == "detected"
        data = sample.data[3:] if sample.family == "stray bom" else sample.data
        assert data.decode(report.encoding) == sample.text


@pytest.mark.parametrize(
    ("given", "data", "text"),
    [
        ("cp1252", "1;José Núñez;12,50 €\n".encode("cp1252"), "1;José Núñez;12,50 €\n"),
        ("latin-1", "1;Zoë;\x80\n".encode("latin-1"), "1;Zoë;\x80\n"),
        ("utf-16", "a\tb\r\n1\t北京\r\n".encode("utf-16"), "a\tb\n1\t北京\n"),
        ("utf-16-be", "a,b\n1,é\n".encode("utf-16-be"), "a,b\n1,é\n"),
        ("utf-32", "a,b\n1,😀\n".encode("utf-32"), "a,b\n1,😀\n"),
        ("gbk", "编号,城市\n1,北京市\n".encode("gbk"), "编号,城市\n1,北京市\n"),
        ("shift_jis", "番号,名前\n1,山田太郎\n".encode("shift_jis"), "番号,名前\n1,山田太郎\n"),
        ("koi8-r", "id;город\n1;Москва\n".encode("koi8-r"), "id;город\n1;Москва\n"),
        ("utf-8-sig", "\ufeffa,b\n1,ü\n".encode(), "a,b\n1,ü\n"),
    ],
)
def test_a_given_encoding_is_used(given: str, data: bytes, text: str, tmp_path: pathlib.Path) -> None:
    src, out = tmp_path / "in.csv", tmp_path / "out.csv"
    src.write_bytes(data)
    report = csv_rowvane.repair(src, out, encoding=given)
    assert out.read_text(encoding="utf-8") == text
    assert report.encoding_source == "given" and report.replaced_bytes == 0


def test_the_demo_sample_reads_its_latin1_line(tmp_path: pathlib.Path) -> None:
    out, changes = tmp_path / "out.csv", tmp_path / "changes.csv"
    report = csv_rowvane.repair(SAMPLE, out, changes=changes)
    assert "René François;Genève" in out.read_text(encoding="utf-8")
    assert (report.encoding_source, report.fallback_encoding, report.fallback_decoded_rows) == ("fallback", "cp1252", 1)
    assert "1 row cp1252" in report.notes()
    logged = [r for r in rows(changes.read_text(encoding="utf-8"), ",") if r[1] == "decoded as cp1252"]
    assert [r[0] for r in logged] == ["11"] and "René François" in logged[0][2]


# Undecodable bytes, by mode: (file bytes, encoding, replaced bytes, the
# line and file offset of the first one).
UNDECODABLE = [
    pytest.param(b"a,b\n1,\x81x\n2,y\n", "cp1252", 1, 2, 6, id="cp1252-undefined-byte"),
    pytest.param("a,b\n1,é\n".encode("utf-16-le") + b"\x00", "utf-16-le", 1, 3, 16, id="utf-16-odd-tail"),
    pytest.param(b"\xff\xfea\x00,\x00b\x00\n\x00\x00\xd8,\x00x\x00\n\x00", "utf-16", 2, 2, 10, id="utf-16-lone-surrogate"),
    pytest.param(b"a,b\n1,\xc3\x28\n2,ok\n", "utf-8", 1, 2, 6, id="utf-8-invalid"),
]


@pytest.mark.parametrize(("data", "encoding", "replaced", "line", "offset"), UNDECODABLE)
def test_undecodable_bytes_by_mode(data: bytes, encoding: str, replaced: int, line: int, offset: int,
                                   tmp_path: pathlib.Path) -> None:
    src, out, quar = tmp_path / "in.csv", tmp_path / "out.csv", tmp_path / "q.csv"
    src.write_bytes(data)
    # replace: U+FFFD, counted, logged, the row kept
    report = csv_rowvane.repair(src, out, encoding=encoding, changes=tmp_path / "c.csv")
    assert report.replaced_bytes == replaced
    assert "\ufffd" in out.read_text(encoding="utf-8")
    assert any(r[1] == "undecodable bytes replaced" for r in rows((tmp_path / "c.csv").read_text(), ","))
    assert any("undecodable" in n for n in report.notes())
    # strict: the file fails, naming where; nothing is written
    out.unlink()
    with pytest.raises(UndecodableError) as info:
        csv_rowvane.repair(src, out, encoding=encoding, encoding_errors="strict")
    e = info.value
    assert (e.filename, e.line, e.offset, e.encoding) == (str(src), line, offset, resolve(encoding)[1])
    assert isinstance(e, UnicodeDecodeError) and str(src) in str(e) and f"line {line}" in str(e)
    assert not out.exists() and not [p for p in tmp_path.iterdir() if "rowvane-tmp" in p.name]
    # quarantine: the rows holding them are set aside with the reason
    report = csv_rowvane.repair(src, out, encoding=encoding, encoding_errors="quarantine", quarantine=quar)
    assert report.undecodable_rows >= 1 and report.quarantined_rows == report.undecodable_rows
    assert "\ufffd" not in out.read_text(encoding="utf-8")
    assert "Row holds bytes the encoding cannot decode" in quar.read_text(encoding="utf-8")


def test_strict_failure_in_a_batch_fails_that_file_only(tmp_path: pathlib.Path) -> None:
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "bad.csv").write_bytes(b"a,b\n1,\xc3\x28\n")
    (tmp_path / "in" / "good.csv").write_bytes("a,b\n1,é\n".encode())
    batch = csv_rowvane.repair_many([tmp_path / "in"], tmp_path / "out", jobs=1, encoding="utf-8",
                                    encoding_errors="strict")
    assert [pathlib.Path(r.input).name for r in batch.reports] == ["good.csv"]
    [failure] = batch.failures
    assert failure.error_type == "UndecodableError" and "line 2" in failure.message


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"encoding": "no-such-codec"}, "unknown encoding: 'no-such-codec'"),
        ({"encoding": "rot13"}, "not a text encoding"),
        ({"encoding_errors": "ignore"}, "encoding_errors must be one of"),
        ({"output_encoding": "latin-1"}, "output_encoding must be"),
        ({"encoding": "cp1252", "detect": "basic"}, "need detect='auto'"),
    ],
)
def test_bad_encoding_options_are_refused(options: dict[str, str], message: str, tmp_path: pathlib.Path) -> None:
    (tmp_path / "in.csv").write_bytes(b"a,b\n")
    with pytest.raises(ValueError, match=message):
        csv_rowvane.repair(tmp_path / "in.csv", tmp_path / "out.csv", **options)  # type: ignore[arg-type]
    assert not (tmp_path / "out.csv").exists()


def test_output_with_a_byte_order_mark(tmp_path: pathlib.Path) -> None:
    (tmp_path / "in.csv").write_bytes("a;b\n1;é\n".encode("cp1252"))
    report = csv_rowvane.repair(tmp_path / "in.csv", tmp_path / "out.csv", output_encoding="utf-8-sig")
    assert (tmp_path / "out.csv").read_bytes() == "\ufeffa;b\n1;é\n".encode()
    assert report.output_encoding == "utf-8-sig" and report.encoding == "cp1252"


def test_read_check_and_sniff_decode_too(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "in.csv"
    path.write_bytes("id;name\n1;Jürgen Müller\n2;Zoë\n".encode("cp1252"))
    with csv_rowvane.read(path, delimiter=";") as reader:
        assert list(reader) == [["id", "name"], ["1", "Jürgen Müller"], ["2", "Zoë"]]
    report = csv_rowvane.check(path)
    assert report.encoding == "cp1252" and "cp1252→utf-8" in report.notes
    assert "cp1252" in json.dumps(report.to_dict())
    assert csv_rowvane.sniff_encoding(path) == (";", "cp1252")
    utf16 = tmp_path / "u.csv"
    utf16.write_bytes("a\tb\n1\t2\n".encode("utf-16"))
    assert csv_rowvane.sniff_encoding(utf16) == ("\t", "utf-16-le")
    assert list(csv_rowvane.read(utf16, delimiter="\t")) == [["a", "b"], ["1", "2"]]


def test_the_basic_run_stays_the_engine_run(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    src.write_bytes("a;b\n1;é\n".encode("cp1252"))
    csv_rowvane.repair(src, tmp_path / "basic.csv", detect="basic")
    rv.rowvane_file(str(src), str(tmp_path / "engine.csv"))
    assert (tmp_path / "basic.csv").read_bytes() == (tmp_path / "engine.csv").read_bytes()


def test_choose_page_prefers_the_common_page_among_equals() -> None:
    present = bytes(1 if b in (0xE9, 0xE8, 0xE7) else 0 for b in range(0x80, 0x100))
    text = "Genève, façade, été\n".encode("cp1252")
    kind, name, _table = choose_page(text, present, False)
    assert (kind, name) == ("single", "cp1252")
    assert choose_page(text, present, True)[:2] == ("fallback", "cp1252")


def test_a_large_valid_utf8_file_with_non_ascii_only_at_its_end(tmp_path: pathlib.Path) -> None:
    import random

    text = table_text("de", 20000, random.Random(3), ";", late_only=True)
    (tmp_path / "in.csv").write_text(text, encoding="utf-8")
    report = csv_rowvane.repair(tmp_path / "in.csv", tmp_path / "out.csv")
    assert (report.encoding, report.encoding_source) == ("utf-8", "utf-8")
    assert (tmp_path / "out.csv").read_text(encoding="utf-8").splitlines()[-1] == text.splitlines()[-1]


def test_cli_encoding_options_and_notes(tmp_path: pathlib.Path) -> None:
    (tmp_path / "in.csv").write_bytes("id;name\n1;José Núñez\n2;Málaga\n".encode("cp1252"))

    def cli(*args: str) -> subprocess.CompletedProcess[bytes]:
        return subprocess.run([sys.executable, "-m", "csv_rowvane", *args], cwd=tmp_path, capture_output=True,
                              env=dict(os.environ, COLUMNS="200"))

    r = cli("repair", "in.csv", "-o", "out.csv", "--json", "r.json")
    assert r.returncode == 0, r.stderr
    assert "cp1252→utf-8" in r.stdout.decode()
    report = json.loads((tmp_path / "r.json").read_text())["reports"][0]
    assert (report["encoding"], report["encoding_source"]) == ("cp1252", "detected")
    r = cli("repair", "in.csv", "-o", "o2.csv", "--encoding", "nope")
    assert r.returncode == 2 and b"unknown encoding: 'nope'" in r.stderr
    r = cli("repair", "in.csv", "-o", "o3.csv", "--encoding", "utf-8", "--encoding-errors", "strict")
    assert r.returncode == 1 and b"line 2" in r.stderr and not (tmp_path / "o3.csv").exists()
    r = cli("repair", "in.csv", "-o", "o4.csv", "--output-encoding", "utf-8-sig")
    assert r.returncode == 0 and (tmp_path / "o4.csv").read_bytes().startswith(b"\xef\xbb\xbf")
    r = cli("sniff", "in.csv")
    assert r.stdout.decode().split() == ["in.csv", ";", "cp1252"]
    r = cli("check", "in.csv", "--json", "-")
    assert json.loads(r.stdout)["reports"][0]["encoding"] == "cp1252"


@pytest.mark.skipif(not (CORPUS / "MANIFEST.tsv").is_file(), reason="corpus not present")
def test_corpus_files_decode_without_replacement_where_utf8_did_not_hold() -> None:
    """Every corpus file: valid UTF-8 files pass as they are; the others are
    decoded into text without U+FFFD unless the engine's own reading also
    needed some (fuzzer output and files of NUL bytes may)."""
    from csv_rowvane import _core

    with (CORPUS / "MANIFEST.tsv").open(newline="", encoding="utf-8") as fh:
        names = [row["file"] for row in csv.DictReader(fh, delimiter="\t")]
    decided: dict[str, int] = {}
    for name in names:
        path = CORPUS / name
        if not path.is_file():
            continue
        d = _core.decode_file(str(path), page_chooser=choose_page)
        decided[d["encoding_source"]] = decided.get(d["encoding_source"], 0) + 1
        data = path.read_bytes()
        if d["text"] is None:
            assert d["encoding_source"] in ("utf-8", "bom"), name
            data.decode("utf-8")  # passed as it is only when valid
        elif d["encoding_source"] in ("detected", "fallback"):
            assert d["replaced_bytes"] == 0 or b"\x00" in data or "/afl/" in name or "fuzz" in name, name
    assert decided["utf-8"] > 700 and decided.get("detected", 0) > 10


ENCODINGS = ["auto", "utf-8", "utf-16", "utf-16-be", "utf-32-le", "cp1252", "koi8-r", "gbk", "shift_jis", "big5"]


@pytest.mark.parametrize("errors", ["replace", "quarantine"])
def test_any_bytes_in_any_encoding_decode_to_valid_text(errors: str, tmp_path: pathlib.Path) -> None:
    """Whatever the bytes and whatever the encoding named, the run ends with
    valid UTF-8 and counts what it replaced (a strict run fails cleanly)."""
    hypothesis = pytest.importorskip("hypothesis")
    from hypothesis import strategies as st

    path = tmp_path / "in.csv"

    @hypothesis.settings(max_examples=150, deadline=None, derandomize=True)
    @hypothesis.given(data=st.binary(max_size=300), encoding=st.sampled_from(ENCODINGS))
    def check(data: bytes, encoding: str) -> None:
        # Bytes that open with an archive's signature are an archive (a
        # damaged one fails as such, see test_compressed).
        hypothesis.assume(sniff_bytes(data[:16]) is None)
        path.write_bytes(data)
        from csv_rowvane import _core

        decoding = None if encoding == "auto" else resolve(encoding)
        d = _core.decode_file(str(path), encoding=decoding, encoding_errors=errors, page_chooser=choose_page)
        (d["text"] if d["text"] is not None else data).decode("utf-8")
        report = csv_rowvane.repair(path, tmp_path / "out.csv", encoding=encoding,
                                    encoding_errors=errors)  # type: ignore[arg-type]
        (tmp_path / "out.csv").read_bytes().decode("utf-8")
        assert report.replaced_bytes == d["replaced_bytes"]
        (tmp_path / "strict.csv").unlink(missing_ok=True)
        try:
            csv_rowvane.repair(path, tmp_path / "strict.csv", encoding=encoding, encoding_errors="strict")
        except UndecodableError as e:
            assert e.filename == str(path) and 0 <= e.offset < max(len(data), 1) and e.line >= 1
            assert not (tmp_path / "strict.csv").exists()
        else:
            assert d["replaced_bytes"] == 0

    check()


@pytest.mark.parametrize("detect", ["auto", "basic"])
def test_check_of_a_mixed_file_lists_its_decoded_rows(detect: str) -> None:
    """The change records a check hands out outlive the run that made them
    (the demo's own check: the fallback page's action named per file)."""
    report = csv_rowvane.check(SAMPLE, detect=detect, fill_ragged_rows=False, merge_overflow=False,  # type: ignore[arg-type]
                               max_problems=20, **({} if detect == "auto" else {"encoding": "auto"}))
    actions = [p.action for p in report.problems]
    if detect == "auto":
        assert "decoded as cp1252" in actions and report.fallback_decoded_rows == 1
        assert any("René François" in p.content for p in report.problems)
    assert actions.count("set aside") == 3
