"""Verbose tables as statistical offices publish them, and dialects seen in
real files: a title and remarks above the table, headers of numbers and years
or over several lines, group rows and totals inside, notes below; backslash
escapes, '#' and space delimiters, one-line files.

Each case says which lines are the header, which is the first data row, which
are notes, and the delimiter. `bench/verbose.py` scores them per pattern."""

from __future__ import annotations

import csv
import dataclasses
import pathlib

import pytest

import csv_rowvane
from csv_rowvane import _core


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
    Verbose(
        "multi-line header",
        '"Table A-1. Employment status of the civilian population by sex and age"\n"[Numbers in thousands]"\n'
        ',,,\nEmployment status,"Not seasonally adjusted",,,"Seasonally adjusted",,\n'
        ",Dec. 2009,Nov. 2010,Dec. 2010,Dec. 2009,Nov. 2010,Dec. 2010\nTOTAL,,,,,,\n"
        'Civilian noninstitutional population,"236,924","238,715","238,889","236,924","238,715","238,889"\n'
        'Civilian labor force,"153,059","153,950","153,690","153,720","154,027","153,690"\n'
        "  Participation rate,64.6,64.5,64.3,64.9,64.5,64.3\n,,,,,,\n"
        '"NOTE: Persons whose ethnicity is identified as Hispanic or Latino may be of any race."\n"Footnotes"\n'
        '"(1) The population figures are not adjusted for seasonal variation."\n',
        (4, 5), ["TOTAL", "", "", "", "", "", ""], (11, 12, 13),
        header=["Employment status", "Not seasonally adjusted Dec. 2009", "Not seasonally adjusted Nov. 2010",
            "Not seasonally adjusted Dec. 2010", "Seasonally adjusted Dec. 2009", "Seasonally adjusted Nov. 2010",
            "Seasonally adjusted Dec. 2010"],
    ),
    Verbose(
        "year header",
        "Table 1. Annual Estimates of the Resident Population for Counties\n"
        "Geographic Area,April 1 2010 Census,Population Estimate (as of July 1),,\n,,2011,2012,2013\n"
        'Autauga County,"54,571","55,227","54,954","54,727"\n'
        'Baldwin County,"182,265","186,717","190,790","195,121"\n'
        'Barbour County,"27,457","27,341","27,201","26,932"\n'
        "Note: The estimates are based on the 2010 Census.\nSuggested Citation:\nRelease Date: March 2014\n",
        (2, 3), ["Autauga County", "54,571", "55,227", "54,954", "54,727"], (7, 8, 9),
        header=["Geographic Area", "April 1 2010 Census", "Population Estimate (as of July 1) 2011",
            "Population Estimate (as of July 1) 2012", "Population Estimate (as of July 1) 2013"],
    ),
    Verbose(
        "blank corner",
        "Bevölkerung nach Altersgruppen;;;\nStand: 31.12.2020;;;\n;insgesamt;männlich;weiblich\n"
        "unter 18;13 741;7 060;6 681\n18 bis 65;51 821;26 101;25 720\n65 und mehr;18 350;8 060;10 290\n"
        "Insgesamt;83 912;41 221;42 691\n;;;\nQuelle: Statistisches Bundesamt\n",
        (3,), ["unter 18", "13 741", "7 060", "6 681"], (9,),
        delimiter=";",
    ),
    Verbose(
        "year header",
        "Table 5\tHospital beds per 1 000 inhabitants\t\t\n\t2015\t2016\t2017\nAustria\t7.6\t7.5\t7.4\n"
        "Belgium\t5.7\t5.7\t5.6\nFrance (1)\t6.1\t6.0\t6.0\n\t\t\t\n(1) Metropolitan France.\n"
        "Source: Eurostat (hlth_rs_bds)\n",
        (2,), ["Austria", "7.6", "7.5", "7.4"], (7, 8),
        delimiter="\t",
    ),
    Verbose(
        "notes below",
        '"Table 2.4.5U. Personal Consumption Expenditures by Type of Product"\n"[Billions of dollars]"\n'
        '"Bureau of Economic Analysis"\n"Line",,"2019","2020","2021"\n'
        '"1","Personal consumption expenditures","14428.7","14047.6","15902.6"\n'
        '"2","Goods","4557.0","4654.3","5501.1"\n"3","  Durable goods","1532.2","1628.5","2008.1"\n'
        '"Legend / Footnotes:"\n"Note. Users are cautioned that some components are not additive."\n',
        (4,), ["1", "Personal consumption expenditures", "14428.7", "14047.6", "15902.6"], (8, 9),
    ),
    Verbose(
        "dialect",
        'id|text\n1|"a \\"b\\" c"\n2|"d"\n3|"e \\"f\\""\n',
        (1,), ["1", 'a "b" c'], (),
        delimiter="|",
    ),
    Verbose(
        "dialect",
        "name#qty#price\napple#3#1.20\npear#5#0.80\nplum#2#2.10\n",
        (1,), ["apple", "3", "1.20"], (),
        delimiter="#",
    ),
    Verbose(
        "dialect",
        "a\tb\tc\n",
        (1,), [], (),
        delimiter="\t",
    ),
    Verbose(
        "dialect",
        'id,comment,score\n1,ok,5\n2,"bad; very bad",1\n3,good; fine,4\n4,so; so,3\n',
        (1,), ["1", "ok", "5"],
    ),
    Verbose(
        "notes below",
        "Region,Sales,Costs,Profit\nNorth,100,80,20\nSouth,120,90,30\nEast,90,70,20\nWest,110,95,15\n\n"
        "Figures in EUR thousand.\n* Provisional.\n",
        (1,), ["North", "100", "80", "20"], (7, 8),
    ),
    Verbose(
        "group rows",
        'State,Population,Area\nNew England,,\n  Maine,"1,362","30,843"\n  Vermont,626,"9,217"\n'
        'Mid-Atlantic,,\n  New York,"20,201","47,126"\nTotal,"22,189","87,186"\n',
        (1,), ["New England", "", ""],
    ),
    Verbose(
        "multi-line header",
        "Table 4. Median earnings by sex,,,,\n(In 2010 dollars),,,,\n,,,,\nCharacteristic,Number,,Median earnings,\n"
        ',Male,Female,Male,Female\nAll workers,"82,000","70,000","42,000","32,000"\n'
        'Full-time 1/,"60,000","45,000","48,000","37,000"\n,,,,\n'
        '"1/ Worked 35 hours or more per week, 50 weeks or more.",,,,\n"Source: Current Population Survey, 2011.",,,,\n',
        (4, 5), ["All workers", "82,000", "70,000", "42,000", "32,000"], (9, 10),
        header=["Characteristic", "Number Male", "Number Female", "Median earnings Male", "Median earnings Female"],
    ),
    Verbose("unit line", "Jahr;Umsatz;Gewinn\n;Mio. EUR;Mio. EUR\n2019;12,5;1,2\n2020;11,8;0,9\n2021;13,1;1,4\n", (1, 2),
            ["2019", "12,5", "1,2"], delimiter=";"),
    Verbose("year header", "Monthly sales\n03/15/2011\n\nRegion,Jan,Feb,Mar\nNorth,10,12,14\nSouth,8,9,11\nEast,7,7,8\n",
            (4,), ["North", "10", "12", "14"]),
    Verbose("notes below", "Year,Births,Deaths\n2018,1200,900\n2019,1180,950\n2020,1100,1010\n\n"
            "1,Provisional figures for the latest year.\n2,Deaths include stillbirths.\n", (1,), ["2018", "1200", "900"],
            (6, 7)),
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
    layout = _core.detect(case.text.encode())
    first = layout["start_line"]
    header_lines = set()
    if layout["header_rows"]:
        header_lines = {first} | {int(r[0]) for r in log if r[1] == "header rows joined"}
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
