"""Parsing and row reconciliation as seen through the reader: which rows come
out of which bytes, and how they are padded, merged or set aside."""

from __future__ import annotations

from typing import Any, Callable

import pytest

KEEP = {"delimiter": ",", "expected_columns": 0}

# (id, input, extra options, expected rows); every case also uses KEEP unless
# it overrides delimiter or expected_columns.
PARSE_CASES = [
    ("final-newline-adds-no-row", b"a,b\n", {}, [["a", "b"]]),
    ("no-final-newline", b"a,b", {}, [["a", "b"]]),
    ("lone-lf", b"\n", {}, [[""]]),
    ("lone-cr", b"\r", {}, [[""]]),
    ("crlf", b"\r\n", {}, [[""]]),
    ("lf-cr-is-two-rows", b"\n\r", {}, [[""], [""]]),
    ("cr-lf-cr", b"a\r\n\rb", {}, [["a"], [""], ["b"]]),
    ("trailing-delimiter", b"a,b,\n", {}, [["a", "b", ""]]),
    ("trailing-delimiter-at-end", b"a,b,", {}, [["a", "b", ""]]),
    ("two-empty-fields", b",\n", {}, [["", ""]]),
    ("quoted-delimiter", b'"a,b"', {}, [["a,b"]]),
    ("empty-quoted", b'""', {}, [[""]]),
    ("two-empty-quoted", b'"",""', {}, [["", ""]]),
    ("doubled-quote-at-end", b'"a"""', {}, [['a"']]),
    ("escaped-then-end", b'"a""', {}, [['a"']]),
    ("opening-quote-last", b'x,"', {}, [["x", ""]]),
    ("unclosed-at-end", b'"abc', {}, [["abc"]]),
    ("quoted-newline", b'"x\ny",z\n', {}, [["x\ny", "z"]]),
    ("quoted-cr", b'"a\rb",c\n', {}, [["a\rb", "c"]]),
    ("unclosed-swallows-rest", b'a,"b\nc,d\n', {}, [["a", "b\nc,d\n"]]),
    ("leading-blank-makes-quote-literal", b' "a",b', {}, [[' "a"', "b"]]),
    ("quote-inside-unquoted", b'ab"c', {}, [['ab"c']]),
    ("invalid-utf8", b"\xc3\x28", {}, [["\ufffd("]]),
    ("maximal-subparts", b"\xe2\x82,\xed\xa0\x80,\xf0\x9f\x98,\xff\xfe",
     {}, [["\ufffd", "\ufffd\ufffd\ufffd", "\ufffd", "\ufffd\ufffd"]]),
    ("decoding-is-per-field", b"\xc3,\xa9", {}, [["\ufffd", "\ufffd"]]),
    ("valid-utf8-kept", "é,日本,🦆".encode(), {}, [["é", "日本", "🦆"]]),
    ("nul-and-controls", b"a\x00b,\x01\x7f", {}, [["a\x00b", "\x01\x7f"]]),
    ("bom-skipped-at-start", b"\xef\xbb\xbfa,b", {}, [["a", "b"]]),
    ("bom-kept-elsewhere", b"x\n\xef\xbb\xbfa", {}, [["x"], ["\ufeffa"]]),
    ("bom-after-bom", b"\xef\xbb\xbf\xef\xbb\xbfa", {}, [["\ufeffa"]]),
    ("text-after-closing-quote", b'"ab"cd,e', {}, [["abcd", "e"]]),
    ("blanks-after-closing-quote", b'"ab"  ,e', {}, [["ab", "e"]]),
    ("blanks-dropped-before-text", b'"ab" x,', {}, [["abx", ""]]),
    ("stray-quote-repaired", b'"say "hi" now",x', {}, [['say "hi" now', "x"]]),
    ("stray-quote-unrepaired", b'"say "hi" now",x', {"repair_quotes": False},
     [['say hi" now"', "x"]]),
    ("doubled-quotes", b'"a""b",c', {}, [['a"b', "c"]]),
    ("closing-before-text", b'"a" b" c,d', {}, [['ab" c', "d"]]),
    ("stray-look-ahead-to-line-end", b'"a "b" c",d\n', {}, [['a "b" c', "d"]]),
    ("look-ahead-stays-on-its-line", b'"a"b\n"c",d\n', {}, [["ab"], ["c", "d"]]),
    ("look-ahead-quote-at-input-end", b'"a"b"', {}, [['a"b']]),
    ("look-ahead-quote-then-blanks-at-end", b'"a"b" \t', {}, [['a"b']]),
    ("repair-off-closes-first", b'"a"b",c', {"repair_quotes": False}, [['ab"', "c"]]),
    ("repair-on-same-input", b'"a"b",c', {}, [['a"b', "c"]]),
    ("quote-char-apostrophe", b"'a,b',\"c,d\"", {"quote_char": "'"}, [["a,b", '"c', 'd"']]),
    ("quote-char-empty-is-double", b'"a,b",c', {"quote_char": ""}, [["a,b", "c"]]),
    ("tab-quoted", b'"a"\t"b"\n', {"delimiter": "\t"}, [["a", "b"]]),
    ("tab-quoted-with-inner-tab", b'"a\tb"\t"c"\n', {"delimiter": "\t"}, [["a\tb", "c"]]),
    ("tab-quoted-stray", b'"a "x" b"\tc\n', {"delimiter": "\t"}, [['a "x" b', "c"]]),
    ("multi-byte-quote-char-is-not-ascii", b'"a,b",c', {"quote_char": "é"}, [['"a', 'b"', "c"]]),
]


@pytest.mark.parametrize(("data", "options", "expected"), [c[1:] for c in PARSE_CASES],
                         ids=[c[0] for c in PARSE_CASES])
def test_parsing(data: bytes, options: dict[str, Any], expected: list[list[str]],
                 read_rows: Callable[..., Any]) -> None:
    rows, summary = read_rows(data, **{**KEEP, **options})
    assert rows == expected
    assert summary.total_rows == len(expected)
    assert summary.repaired_rows == summary.quarantined_rows == 0


# (id, input, options, expected rows, expected (delimiter, total, kept, repaired, quarantined, columns))
RECONCILE_CASES = [
    ("empty", b"", {}, [], (",", 0, 0, 0, 0, 0)),
    ("empty-ignores-options", b"", {"delimiter": ";", "expected_columns": 3},
     [], (",", 0, 0, 0, 0, 0)),
    ("bom-only", b"\xef\xbb\xbf", {}, [], (",", 0, 0, 0, 0, 0)),
    ("bom-only-with-options", b"\xef\xbb\xbf", {"delimiter": ";", "expected_columns": 3},
     [], (";", 0, 0, 0, 0, 3)),
    ("zero-keeps-everything", b"a,b\nc\nd,e,f\n", {"expected_columns": 0},
     [["a", "b"], ["c"], ["d", "e", "f"]], (",", 3, 3, 0, 0, 0)),
    ("blank-lines-only", b"\n \n\t\n", {},
     [[""], [" "], ["\t"]], (",", 3, 3, 0, 0, 0)),
    ("pad", b"a,b\n\n", {"delimiter": ",", "expected_columns": 3},
     [["a", "b", ""], ["", "", ""]], (",", 2, 2, 2, 0, 3)),
    ("pad-off", b"a,b\n\n", {"delimiter": ",", "expected_columns": 3, "fill_ragged_rows": False},
     [], (",", 2, 0, 0, 2, 3)),
    ("merge", b"a;b;c;d\n", {"delimiter": ";", "expected_columns": 2},
     [["a", "b;c;d"]], (";", 1, 1, 1, 0, 2)),
    ("merge-off", b"a;b;c;d\n", {"delimiter": ";", "expected_columns": 2, "merge_overflow": False},
     [], (";", 1, 0, 0, 1, 2)),
    ("merge-to-one", b"a,b,c\nd\n,\n", {"delimiter": ",", "expected_columns": 1},
     [["a,b,c"], ["d"], [","]], (",", 3, 3, 2, 0, 1)),
    ("merge-uses-decoded-fields", b'a;"b;x";"c""d"\n', {"delimiter": ";", "expected_columns": 2},
     [["a", 'b;x;c"d']], (";", 1, 1, 1, 0, 2)),
    ("merge-non-ascii-delimiter", b"a\xc3b\xc3c\n", {"delimiter": "é", "expected_columns": 2},
     [["a", "bÃc"]], ("Ã", 1, 1, 1, 0, 2)),
    ("both-off", b"a,b\nc\nd,e,f\ng,h\n",
     {"expected_columns": 2, "fill_ragged_rows": False, "merge_overflow": False},
     [["a", "b"], ["g", "h"]], (",", 4, 2, 0, 2, 2)),
    ("header-reconciled-like-any-row", b"h1,h2,h3,h4\n1,2\n3,4\n", {},
     [["h1", "h2,h3,h4"], ["1", "2"], ["3", "4"]], (",", 3, 3, 1, 0, 2)),
    ("given-values-used-as-is", b"a;b\nc;d\n", {"delimiter": "|", "expected_columns": 2},
     [["a;b", ""], ["c;d", ""]], ("|", 2, 2, 2, 0, 2)),
    ("inference-mode", b"a,b,c\n1,2,3\n4,5,6,7\n8,9,10\n11,12,13,14\n", {"delimiter": ","},
     [["a", "b", "c"], ["1", "2", "3"], ["4", "5", "6,7"], ["8", "9", "10"], ["11", "12", "13,14"]],
     (",", 5, 5, 2, 0, 3)),
    ("inference-without-delimiter", b"abc\ndef\n", {"delimiter": ","},
     [["abc"], ["def"]], (",", 2, 2, 0, 0, 1)),
    ("inference-tie-takes-larger", b"a,b\nc,d\ne,f,g\nh,i,j\n", {"delimiter": ","},
     [["a", "b", ""], ["c", "d", ""], ["e", "f", "g"], ["h", "i", "j"]], (",", 4, 4, 2, 0, 3)),
    ("inference-tie-with-one", b"a\nb\nc,d\ne,f\n", {"delimiter": ","},
     [["a", ""], ["b", ""], ["c", "d"], ["e", "f"]], (",", 4, 4, 2, 0, 2)),
    ("inference-counts-quoted-fields-once", b'"a,b",c\n"d\ne,f",g\n', {"delimiter": ","},
     [["a,b", "c"], ["d\ne,f", "g"]], (",", 2, 2, 0, 0, 2)),
    ("inference-delimiters-only-row", b",,\n,,\nx\n", {"delimiter": ","},
     [["", "", ""], ["", "", ""], ["x", "", ""]], (",", 3, 3, 1, 0, 3)),
    ("inference-skips-unicode-blank-rows", b"a,b\n\xc2\xa0\n\xe3\x80\x80\n\xc2\xa0\nc,d\n",
     {"delimiter": ","},
     [["a", "b"], ["\u00a0", ""], ["\u3000", ""], ["\u00a0", ""], ["c", "d"]],
     (",", 5, 5, 3, 0, 2)),
    ("inference-counts-zero-width-space", b"a,b\n\xe2\x80\x8b\n\xe2\x80\x8b\n\xe2\x80\x8b\n",
     {"delimiter": ","},
     [["a,b"], ["\u200b"], ["\u200b"], ["\u200b"]], (",", 4, 4, 1, 0, 1)),
    # Inference always parses with the double quote and with repair on.
    ("inference-ignores-run-quote", b'"a,b",c\n"d,e",f\n', {"delimiter": ",", "quote_char": "'"},
     [['"a', 'b",c'], ['"d', 'e",f']], (",", 2, 2, 2, 0, 2)),
    ("inference-ignores-run-repair", b'"a "b,c" d",e\n"a "b,c" d",e\n',
     {"delimiter": ",", "repair_quotes": False},
     [["a b", 'c" d",e'], ["a b", 'c" d",e']], (",", 2, 2, 2, 0, 2)),
    ("sniffed", b"a|b|c\nd|e|f\n", {}, [["a", "b", "c"], ["d", "e", "f"]], ("|", 2, 2, 0, 0, 3)),
]


@pytest.mark.parametrize(("data", "options", "rows", "summary"), [c[1:] for c in RECONCILE_CASES],
                         ids=[c[0] for c in RECONCILE_CASES])
def test_reconciliation(data: bytes, options: dict[str, Any], rows: list[list[str]],
                        summary: tuple[Any, ...], read_rows: Callable[..., Any],
                        as_tuple: Callable[[Any], tuple[Any, ...]]) -> None:
    got_rows, got_summary = read_rows(data, **options)
    assert got_rows == rows
    assert as_tuple(got_summary) == summary


def test_inference_reads_the_first_hundred_non_blank_rows(read_rows: Callable[..., Any]) -> None:
    # Tallied: 45 rows of 3 and 55 rows of 2, so 2. Counting the blank rows,
    # or reading past the first 100 non-blank rows, would give 3.
    data = b"a,b,c\n" * 45 + b"\n  \n" * 5 + b"a,b\n" * 55 + b"a,b,c\n" * 100
    rows, summary = read_rows(data, delimiter=",")
    assert summary.inferred_columns == 2
    assert summary.total_rows == 210
    assert summary.repaired_rows == 145 + 10
    assert rows[0] == ["a", "b,c"]
    assert rows[45] == ["", ""]


def test_inference_limit_exactly_hundred(read_rows: Callable[..., Any]) -> None:
    # 100 rows of 2 fields, then any number of rows of 3: 2.
    data = b"a,b\n" * 100 + b"a,b,c\n" * 300
    _, summary = read_rows(data, delimiter=",")
    assert summary.inferred_columns == 2


def test_sniffing_reads_the_first_fifty_rows(read_rows: Callable[..., Any]) -> None:
    data = b"a,b\n" * 50 + b"a;b;c;d\n" * 500
    rows, summary = read_rows(data)
    assert summary.detected_delimiter == ","
    assert summary.inferred_columns == 2
    assert rows[-1] == ["a;b;c;d", ""]


def test_a_large_column_count(read_rows: Callable[..., Any]) -> None:
    row = ",".join(str(i) for i in range(5000)).encode()
    rows, summary = read_rows(row + b"\n" + row + b"\n1,2\n")
    assert summary.inferred_columns == 5000
    assert rows[2] == ["1", "2"] + [""] * 4998


def test_unclosed_quote_counts_lines(run_file: Callable[..., Any]) -> None:
    # The row that an unclosed quote starts on line 3 begins on line 3.
    data = b"a,b\nc,d\ne,\"f\ng,h\ni\n"
    _, out, quarantine = run_file(data, quarantine=True, expected_columns=3,
                                  fill_ragged_rows=False)
    assert out == b""
    assert quarantine == (b"line,reason,raw_content\n"
                          b'1,"Row has too few columns (expected 3)","a,b"\n'
                          b'2,"Row has too few columns (expected 3)","c,d"\n'
                          b'3,"Row has too few columns (expected 3)","e,f\ng,h\ni\n"\n')
