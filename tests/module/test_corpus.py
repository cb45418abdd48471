"""Every file of the shared corpus of damaged CSV files, through rowvane_file
and the reader, under the sniffed delimiter and each candidate delimiter.

The corpus is used in place and only when it is present beside the
repository."""

from __future__ import annotations

import csv
import pathlib
import sys
from typing import Any, Iterator

import pytest

import _csv_rowvane_backend as rv

CORPUS_DIR = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"
MANIFEST = CORPUS_DIR / "MANIFEST.tsv"
BOM = b"\xef\xbb\xbf"
CANDIDATES = {",", ";", "\t", "|"}

pytestmark = pytest.mark.skipif(not MANIFEST.is_file(), reason="corpus not present")


def corpus_files() -> list[pathlib.Path]:
    old = csv.field_size_limit(sys.maxsize)
    try:
        with MANIFEST.open(newline="", encoding="utf-8") as fh:
            names = [row["file"] for row in csv.DictReader(fh, delimiter="\t")]
    finally:
        csv.field_size_limit(old)
    return [CORPUS_DIR / name for name in names if (CORPUS_DIR / name).is_file()]


@pytest.fixture(scope="module")
def files() -> list[pathlib.Path]:
    found = corpus_files()
    assert len(found) > 1000
    return found


@pytest.fixture(autouse=True)
def large_csv_fields() -> Iterator[None]:
    old = csv.field_size_limit(sys.maxsize)
    yield
    csv.field_size_limit(old)


def reconcile(rows: list[list[str]], m: int, sep: str, fill: bool, merge: bool):
    """Kept rows, repaired count and quarantined (reason, raw) of parsed rows."""
    kept: list[list[str]] = []
    set_aside: list[tuple[str, str]] = []
    repaired = 0
    for row in rows:
        n = len(row)
        if m == 0 or n == m:
            kept.append(row)
        elif n < m and fill:
            kept.append(row + [""] * (m - n))
            repaired += 1
        elif n < m:
            set_aside.append((f"Row has too few columns (expected {m})", sep.join(row)))
        elif merge:
            kept.append(row[: m - 1] + [sep.join(row[m - 1:])])
            repaired += 1
        else:
            set_aside.append((f"Row has extra columns (expected {m})", sep.join(row)))
    return kept, repaired, set_aside


def check_file(path: pathlib.Path, delimiter: str | None, options: dict[str, Any],
               tmp: pathlib.Path) -> list[str]:
    problems: list[str] = []

    def expect(cond: bool, what: str) -> None:
        if not cond:
            problems.append(f"{path.relative_to(CORPUS_DIR)} [{delimiter!r} {options}]: {what}")

    out = tmp / "out.csv"
    quarantine = tmp / "quarantine.csv"
    # Fresh files each time: truncating a file that holds data makes some file
    # systems flush it on close, which would make this test slow.
    out.unlink(missing_ok=True)
    quarantine.unlink(missing_ok=True)
    summary = rv.rowvane_file(str(path), str(out), str(quarantine), delimiter=delimiter, **options)
    s = summary.to_dict()
    expect(s["total_rows"] == s["rowvaned_rows"] + s["quarantined_rows"], f"counts {s}")
    expect(s["repaired_rows"] <= s["rowvaned_rows"], f"repaired {s}")
    used = s["detected_delimiter"]
    m = s["inferred_columns"]
    data = path.read_bytes()
    if not data:
        expect(used == "," and s["total_rows"] == m == 0, f"empty input {s}")
    elif delimiter is None:
        expect(used in CANDIDATES, f"sniffed {used!r}")
    else:
        expect(used == delimiter, f"delimiter {used!r}")

    reader = rv.RowvaneReader(str(path), delimiter=delimiter, **options)
    rows = list(reader)
    expect(len(reader) == len(rows) == s["rowvaned_rows"], f"len {len(reader)} {len(rows)} {s}")
    expect(reader.summary.to_dict() == s, f"reader summary {reader.summary.to_dict()} != {s}")
    if m:
        expect(all(len(row) == m for row in rows), "a kept row is not reconciled to the count")

    if delimiter is None:
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            pass
        else:
            expect(rv.sniff(text) == used, f"sniff() gives {rv.sniff(text)!r}, the run {used!r}")

    # The kept rows follow from the full parse (no column count enforced).
    fill = options.get("fill_ragged_rows", True)
    merge = options.get("merge_overflow", True)
    parsed = list(rv.RowvaneReader(str(path), delimiter=used, expected_columns=0,
                                   quote_char=options.get("quote_char", '"'),
                                   repair_quotes=options.get("repair_quotes", True)))
    kept, repaired, set_aside = reconcile(parsed, m, used, fill, merge)
    expect(len(parsed) == s["total_rows"], f"parsed {len(parsed)} rows, total {s['total_rows']}")
    expect(kept == rows, "kept rows differ from the reconciled full parse")
    expect(repaired == s["repaired_rows"], f"repaired {repaired} != {s['repaired_rows']}")

    # The output, read back by the module itself, gives the kept rows again.
    written = out.read_bytes()
    try:
        written.decode("utf-8")
    except UnicodeDecodeError:
        expect(False, "output is not UTF-8")
    again = list(rv.RowvaneReader(str(out), delimiter=used, repair_quotes=False, expected_columns=0))
    expected_again = [list(row) for row in rows]
    if written.startswith(BOM):
        # A first field that begins with U+FEFF is read back as a byte-order mark.
        expected_again[0][0] = expected_again[0][0][1:]
    expect(again == expected_again, "re-reading the output gives other rows")

    # Python's csv module reads the output as the same rows; it returns an
    # empty line (a row of one empty field) as [].
    with out.open(newline="", encoding="utf-8") as fh:
        by_csv = list(csv.reader(fh, delimiter=used, strict=False))
    expect(by_csv == [[] if row == [""] else row for row in rows], "csv reads other rows")

    # The quarantine file: header, then one record per row set aside.
    with quarantine.open(newline="", encoding="utf-8") as fh:
        records = list(csv.reader(fh, strict=True))
    expect(records[:1] == [["line", "reason", "raw_content"]], "quarantine header")
    body = records[1:]
    expect(len(body) == s["quarantined_rows"], f"{len(body)} quarantine records, {s}")
    expect([(r[1], r[2]) for r in body if len(r) == 3] == set_aside, "quarantine records differ")
    lines = [int(r[0]) for r in body if r and r[0].isdigit()]
    expect(len(lines) == len(body) and all(x >= 1 for x in lines)
           and lines == sorted(set(lines)), f"quarantine line numbers {lines[:10]}")
    return problems


RUNS = [
    pytest.param(None, {}, id="sniffed"),
    pytest.param(",", {}, id="comma"),
    pytest.param(";", {}, id="semicolon"),
    pytest.param("\t", {}, id="tab"),
    pytest.param("|", {}, id="pipe"),
    pytest.param(None, {"fill_ragged_rows": False, "merge_overflow": False,
                        "repair_quotes": False}, id="sniffed-strict"),
]


@pytest.mark.parametrize(("delimiter", "options"), RUNS)
def test_corpus(delimiter: str | None, options: dict[str, Any], files: list[pathlib.Path],
                tmp_path: pathlib.Path) -> None:
    problems: list[str] = []
    for path in files:
        try:
            problems += check_file(path, delimiter, options, tmp_path)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:  # noqa: BLE001 - report every file that fails
            problems.append(f"{path.relative_to(CORPUS_DIR)}: {type(exc).__name__}: {exc}")
    assert not problems, f"{len(problems)} problems:\n" + "\n".join(problems[:40])
