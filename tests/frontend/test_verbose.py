"""Verbose tables as statistical offices publish them, and dialects seen in
real files: a title and remarks above the table, headers of numbers and years
or over several lines, group rows and totals inside, notes below; backslash
escapes, '#' and space delimiters, one-line files.

Each case says which lines are the header, which is the first data row, which
are notes, and the delimiter. `python tests/frontend/test_verbose.py` prints
the scores per pattern."""

from __future__ import annotations

import collections
import csv
import dataclasses
import pathlib
import sys
import tempfile

import pytest

import csv_rowvane
from csv_rowvane import _detect


@dataclasses.dataclass(frozen=True)
class Verbose:
    pattern: str
    text: str
    header_lines: tuple[int, ...]     # 1-based lines joined into the header
    first_data: list[str]             # the first data row as written
    note_lines: tuple[int, ...] = ()  # lines set aside as notes
    delimiter: str = ","
    header: list[str] | None = None   # the header as written, when it is joined or unusual


CASES = [
    Verbose(
        "year header",
        "Table 3. Wheat production by state, 2004-2008\n(thousand tonnes)\n\n"
        "Year,2004,2005,2006,2007,2008\n"
        "Kansas,312.5,290.1,301.0,280.7,330.2\nNebraska,80.2,77.1,75.0,81.3,79.9\n"
        "Oklahoma,120.0,110.4,81.5,98.6,105.1\nTotal,512.7,477.6,457.5,460.6,515.2\n\n"
        "Source: Department of Agriculture, crop reports.\n",
        (4,), ["Kansas", "312.5", "290.1", "301.0", "280.7", "330.2"], (10,),
        header=["Year", "2004", "2005", "2006", "2007", "2008"],
    ),
    Verbose(
        "year header",
        '"Table 12. Resident Population by State: 2000 and 2007"\n'
        'STATE OF RESIDENCE,"2000 (1,000)","2007 (1,000)"\n'
        'United States,"281,425","301,621"\nAlabama,"4,447","4,627"\nAlaska,627,683\n'
        'Arizona,"5,131","6,339"\n'
        '"Source: U.S. Census Bureau, Population Estimates; released December 2008."\n',
        (2,), ["United States", "281,425", "301,621"], (7,),
    ),
    Verbose(
        "year header",
        "Gross output by industry\n, 2005- $ millions, 2006- $ millions, 2007- $ millions\n"
        "Agriculture, 1200, 1310, 1405\nMining, 800, 951, 990\nManufacturing, 5120, 5230, 5402\n"
        "Services, 9100, 9420, 9877\n",
        (2,), ["Agriculture", "1200", "1310", "1405"],
    ),
    Verbose(
        "blank corner",
        "Population by age and sex\nUnited States, 2010\n\n,Total,Male,Female\n"
        'Under 5 years,"20,201","10,319","9,882"\n5 to 9 years,"20,349","10,390","9,959"\n'
        '10 to 14 years,"20,677","10,580","10,097"\n15 to 19 years,"22,040","11,304","10,736"\n\n'
        "X Not applicable.\nNA Not available.\n",
        (4,), ["Under 5 years", "20,201", "10,319", "9,882"], (10, 11),
    ),
    Verbose(
        "blank corner",
        "Households by tenure\n,Owner,Renter\nNortheast,12.1,8.3\nMidwest,18.4,8.0\nSouth,28.9,15.2\n"
        "West,15.2,10.4\nFootnotes:\n1 Includes mobile homes.\n",
        (2,), ["Northeast", "12.1", "8.3"], (7, 8),
    ),
    Verbose(
        "multi-line header",
        "Labour force status by sex, 2010\n\n,Employed,,Unemployed,\n,Male,Female,Male,Female\n\n"
        "Northeast,,,,\n  Maine,310,290,20,15\n  Vermont,160,150,9,7\nMidwest,,,,\n  Ohio,2900,2700,250,190\n"
        "Total,3370,3140,279,212\n,,,,\n1 Includes part-time workers.\n"
        "Source: Bureau of Labor Statistics, Current Population Survey,\nannual averages.\n",
        (3, 4), ["Northeast", "", "", "", ""], (13, 14, 15),
        header=["", "Employed Male", "Employed Female", "Unemployed Male", "Unemployed Female"],
    ),
    Verbose(
        "multi-line header",
        "Exports by region\n,2009,,2010,\n\n,Value,Share,Value,Share\n,USD bn,%,USD bn,%\n"
        "Africa,120.5,3.1,140.2,3.3\nAsia,1500.1,38.0,1720.9,40.2\nEurope,1700.4,43.1,1790.0,41.8\n",
        (2, 4, 5), ["Africa", "120.5", "3.1", "140.2", "3.3"],
        header=["", "2009 Value USD bn", "2009 Share %", "2010 Value USD bn", "2010 Share %"],
    ),
    Verbose(
        "unit line",
        "Consumer price index\nUnit indicator,(2005 = 100)\n,2008,2009,2010\nFood,110.2,112.5,115.1\n"
        "Energy,130.4,120.3,125.9\nHousing,108.0,109.9,111.4\n",
        (3,), ["Food", "110.2", "112.5", "115.1"],
    ),
    Verbose(
        "unit line",
        "Indicator,2008,2009,2010\nUnit,(2005=100),(2005=100),(2005=100)\nFood,110.2,112.5,115.1\n"
        "Energy,130.4,120.3,125.9\nHousing,108.0,109.9,111.4\n",
        (1, 2), ["Food", "110.2", "112.5", "115.1"],
        header=["Indicator Unit", "2008 (2005=100)", "2009 (2005=100)", "2010 (2005=100)"],
    ),
    Verbose(
        "notes below",
        "Fatalities by mode of transport\nMode,2018,2019,2020\nRoad,1200,1150,1010\nRail,30,28,19\n"
        "Air,5,7,2\nWater,44,40,38\n,,,\nSource: Transport Safety Board.\n"
        "Note: figures for 2020 are provisional.\n",
        (2,), ["Road", "1200", "1150", "1010"], (8, 9),
    ),
    Verbose(
        "group rows",
        "Crop,Area,Yield,Output\nGrains,,,\n  Wheat,120,3.1,372\n  Barley,40,2.8,112\nOilseeds,,,\n"
        "  Rapeseed,30,2.0,60\nTotal,190,,544\n",
        (1,), ["Grains", "", "", ""],
    ),
    Verbose(
        "dialect",
        'id,name,comment\n1,"Smith","He said \\"hi\\" twice"\n2,"Jones","A \\"quoted\\" word, here"\n'
        '3,"Brown","plain"\n',
        (1,), ["1", "Smith", 'He said "hi" twice'],
    ),
    Verbose("dialect", "a#b#c\n1#2#3\n4#5#6\n7#8#9\n", (1,), ["1", "2", "3"], delimiter="#"),
    Verbose("dialect", "x y z\n1 2 3\n4 5 6\n7 8 9\n", (1,), ["1", "2", "3"], delimiter=" "),
    Verbose("dialect", "a;b;c\n", (1,), [], delimiter=";"),
    Verbose(
        "dialect",
        "id,name,note\n1,Anna,likes tea; and cake\n2,Bob,none\n3,Carl,a; b; c\n4,Dora,x; y\n",
        (1,), ["1", "Anna", "likes tea; and cake"],
    ),
    Verbose(
        "dialect",
        "Titel;Menge;Preis\nBrot;2;3,50\nKäse;1;7,20\nMilch;3;1,10\nSumme;6;11,80\n",
        (1,), ["Brot", "2", "3,50"], delimiter=";",
    ),
]


@dataclasses.dataclass
class Outcome:
    header_lines: set[int]
    header: list[str] | None
    first_data: list[str] | None
    note_lines: set[int]
    delimiter: str
    counts: dict[str, int]


def run(case: Verbose, tmp: pathlib.Path) -> Outcome:
    src, out, quar, chg = tmp / "in.csv", tmp / "out.csv", tmp / "q.csv", tmp / "c.csv"
    src.write_text(case.text, encoding="utf-8")
    report = csv_rowvane.repair(src, out, quarantine=quar, changes=chg)
    with open(out, encoding="utf-8", newline="") as f:
        rows = list(csv.reader(f, delimiter=report.output_delimiter, quotechar=report.output_quote_char))
    with open(chg, encoding="utf-8", newline="") as f:
        log = list(csv.reader(f))[1:]
    with open(quar, encoding="utf-8", newline="") as f:
        set_aside = list(csv.reader(f))[1:]
    layout = _detect.detect(case.text.encode())
    first = layout["start_line"]
    header_lines = {first} | {int(r[0]) for r in log if r[1] == "header rows joined"} if layout["header_rows"] else set()
    counts = {k: v for k, v in report.to_dict().items() if isinstance(v, int)}
    return Outcome(
        header_lines=header_lines,
        header=rows[0] if rows and header_lines else None,
        first_data=rows[1] if len(rows) > 1 else None,
        note_lines={int(r[0]) for r in set_aside if r[1] == "Row is a note below the table"},
        delimiter=report.detected_delimiter.strip() or report.detected_delimiter,
        counts=counts,
    )


@pytest.mark.parametrize("case", CASES, ids=[f"{c.pattern}-{i}" for i, c in enumerate(CASES)])
def test_verbose_table(tmp_path: pathlib.Path, case: Verbose) -> None:
    got = run(case, tmp_path)
    assert got.delimiter == case.delimiter
    assert got.header_lines == set(case.header_lines)
    if case.header is not None:
        assert got.header == case.header
    if case.first_data:
        assert got.first_data == case.first_data
    assert got.note_lines == set(case.note_lines)
    # Nothing lost: every row read is kept, set aside, joined into the header
    # or dropped (and logged), and every line above the table is logged.
    c = got.counts
    assert c["total_rows"] == (c["rowvaned_rows"] + c["quarantined_rows"] + c["header_rows_joined"]
                               + c["blank_rows_dropped"] + c["repeated_headers_dropped"])
    assert c["notes_rows"] == len(case.note_lines)


def test_blank_rows_kept_on_request(tmp_path: pathlib.Path) -> None:
    src = tmp_path / "in.csv"
    src.write_text("a,b,c\n1,2,3\n,,\n4,5,6\n\n7,8,9\n", encoding="utf-8")
    dropped = csv_rowvane.repair(src, tmp_path / "d.csv", changes=tmp_path / "c.csv")
    kept = csv_rowvane.repair(src, tmp_path / "k.csv", keep_blank_rows=True)
    assert (dropped.blank_rows_dropped, kept.blank_rows_dropped) == (2, 0)
    assert (tmp_path / "d.csv").read_text() == "a,b,c\n1,2,3\n4,5,6\n7,8,9\n"
    assert (tmp_path / "k.csv").read_text() == "a,b,c\n1,2,3\n,,\n4,5,6\n,,\n7,8,9\n"
    assert [r[:2] for r in csv.reader(open(tmp_path / "c.csv"))][1:] == [["3", "blank row dropped"],
                                                                         ["5", "blank row dropped"]]
    assert "2 row(s) of empty cells dropped" in dropped.notes()
    # basic keeps them as the engine does
    basic = csv_rowvane.repair(src, tmp_path / "b.csv", detect="basic")
    assert basic.blank_rows_dropped == 0 and basic.rowvaned_rows == 6


def test_cli_notes_and_keep_blank_rows(cli, tmp_path: pathlib.Path) -> None:  # type: ignore[no-untyped-def]
    (tmp_path / "t.csv").write_text(CASES[0].text, encoding="utf-8")
    r = cli("repair", "t.csv", "-o", "o.csv", "--quarantine", "q.csv")
    assert r.returncode == 0, r.stderr
    assert "1 note line(s) below the table set aside" in r.stdout.decode()
    assert list(csv.reader(open(tmp_path / "q.csv")))[1][:2] == ["10", "Row is a note below the table"]
    r = cli("repair", "t.csv", "-o", "k.csv", "--keep-blank-rows")
    assert r.returncode == 0, r.stderr
    assert "empty cells dropped" not in r.stdout.decode()


def scores() -> dict[str, dict[str, float]]:
    """Per pattern: header lines F1, first data row right, notes set aside
    (recall and precision), delimiter right."""
    tally: dict[str, collections.Counter[str]] = collections.defaultdict(collections.Counter)
    with tempfile.TemporaryDirectory() as tmp:
        for case in CASES:
            got = run(case, pathlib.Path(tmp))
            t = tally[case.pattern]
            want = set(case.header_lines)
            t["cases"] += 1
            t["header_tp"] += len(want & got.header_lines)
            t["header_fp"] += len(got.header_lines - want)
            t["header_fn"] += len(want - got.header_lines)
            t["first_ok"] += 1 if not case.first_data or got.first_data == case.first_data else 0
            t["notes"] += len(case.note_lines)
            t["notes_found"] += len(set(case.note_lines) & got.note_lines)
            t["set_aside"] += len(got.note_lines)
            t["delimiter_ok"] += 1 if got.delimiter == case.delimiter else 0
    result = {}
    for pattern, t in tally.items():
        f1 = 2 * t["header_tp"] / max(1, 2 * t["header_tp"] + t["header_fp"] + t["header_fn"])
        result[pattern] = {
            "cases": t["cases"], "header_f1": f1, "first_data": t["first_ok"] / t["cases"],
            "notes_recall": t["notes_found"] / t["notes"] if t["notes"] else 1.0,
            "notes_precision": t["notes_found"] / t["set_aside"] if t["set_aside"] else 1.0,
            "delimiter": t["delimiter_ok"] / t["cases"],
        }
    return result


if __name__ == "__main__":
    for pattern, s in scores().items():
        print(f"{pattern:18} " + "  ".join(f"{k} {v:.2f}" if isinstance(v, float) else f"{k} {v}"
                                           for k, v in s.items()))
    sys.exit(0)
