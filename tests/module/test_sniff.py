"""sniff(sample): delimiter detection over a text sample."""

from __future__ import annotations

from typing import Callable

import pytest

import _csv_rowvane_backend as rv

# A sample in which the semicolon pass sees 20 rows of 2 fields and 20 rows of
# 3 fields, and the comma pass 21 rows of 2 fields. With the larger count as
# the mode the semicolon scores ln(3) * 20/40 = 0.549 and beats the comma's
# 21/40 = 0.525; with the smaller count it would score 0.5 and lose.
MODE_TIE_SAMPLE = "".join(["a;b,x\n"] * 20 + ["a;b;c,x\n"] + ["a;b;c\n"] * 19)

# The first 50 non-blank rows decide: 50 comma rows, then many rows that would
# make the semicolon win if they were sampled.
LIMIT_SAMPLE = "".join(["a,b\n"] * 50 + ["\n"] * 10 + ["a;b;c;d\n"] * 500)
# Blank rows do not count towards the 50: 10 rows of two ";" fields, 45 blank
# rows, then rows of three "," fields. Sampling 50 non-blank rows, "," scores
# ln(3) * 40/50 and wins; counting the blank rows towards the 50 (or as rows of
# one field) would let ";" win.
BLANKS_DO_NOT_COUNT = "".join(["a;b\n"] * 10 + ["\n", "   \n", "\u3000\n"] * 15 + ["a,b,c\n"] * 100)

SNIFF_CASES = [
    ("", ","),
    ("\ufeff", ","),
    ("abc", ","),
    ("a;b;c", ","),
    ("a;b;c\n", ","),
    ("a;b\nc;d", ";"),
    ("a;b\r\nc;d\r\n", ";"),
    ("a;b\rc;d\r", ";"),
    ("a|b\nc|d", "|"),
    ("a\tb\nc\td\n", "\t"),
    ("a;b;c\n1;2;3\n", ";"),
    ("a,b;c,d\ne,f;g,h\n", ","),
    ("a;b,c;d\ne;f,g;h\n", ";"),
    ('"a;b",c\n"d;e",f\n', ","),
    ('"a,b";c\n"d,e";f\n', ";"),
    ("\ufeffa;b\nc;d\n", ";"),
    ("é;ü\nö;ä\n", ";"),
    # Blank lines are skipped, by Unicode white space.
    ("a;b\n\n\n\nc;d\n", ";"),
    ("a;b\n", ","),
    ("a;b\n\n", ","),
    ("a;b\n   \n", ","),
    ("a;b\n\u00a0\u3000\u2028\u0085\n", ","),
    ("a;b\nx\n", ";"),
    # Not White_Space: these rows are sampled as rows of one field.
    ("a;b\n\u200b\n", ";"),
    ("a;b\n\ufeff\n", ";"),
    # A row of two empty fields is not blank.
    ("x\n;\n", ";"),
    # Ties between candidates go to the earlier one.
    ("a;b\tc\nd;e\tf\n", ";"),
    ("a,b;c\nd,e;f\n", ","),
    ("a\tb|c\nd\te|f\n", "\t"),
    # More columns score higher than fewer, consistency matters too.
    ("a,b|c|d\ne,f|g|h\n", "|"),
    ("a|b|c,d\ne|f,g\nh|i,j\n", ","),
    # TAB-separated quoted fields split on the TAB.
    ('"a"\t"b"\n"c"\t"d"\n', "\t"),
    (MODE_TIE_SAMPLE, ";"),
    (LIMIT_SAMPLE, ","),
    (BLANKS_DO_NOT_COUNT, ","),
]


@pytest.mark.parametrize(("sample", "expected"), SNIFF_CASES,
                         ids=[repr(s[:24]) for s, _ in SNIFF_CASES])
def test_sniff(sample: str, expected: str) -> None:
    result = rv.sniff(sample)
    assert type(result) is str
    assert result == expected


@pytest.mark.parametrize(("sample", "expected"), SNIFF_CASES,
                         ids=[repr(s[:24]) for s, _ in SNIFF_CASES])
def test_file_run_sniffs_like_sniff(sample: str, expected: str,
                                    read_rows: Callable[..., object]) -> None:
    _, summary = read_rows(sample.encode("utf-8"))
    assert summary.detected_delimiter == (expected if sample else ",")


def test_sniff_result_is_always_a_candidate() -> None:
    for sample in ["a:b\nc:d", "a b\nc d", "\x00\x01\x02", "\"\"\"\n\"", "a\x00b\nc\x00d"]:
        assert rv.sniff(sample) in {",", ";", "\t", "|"}


def test_sniff_unclosed_quote_takes_the_rest() -> None:
    # The second row's unclosed quote swallows the rest of the sample under
    # every candidate: "," sees rows of [1, 1] fields (score 0) and ";" rows
    # of [2, 1] fields (score 0.5). Were the quote ignored, "," would win.
    sample = 'x;y\n"a;b\nc,d\ne,f\ng,h\ni,j\n'
    assert rv.sniff(sample) == ";"
