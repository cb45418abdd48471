"""Generated inputs compared with a slow pure-Python model of the documented
behaviour (rowvane_model.py): rows, summaries, output and quarantine bytes,
and sniff results."""

from __future__ import annotations

import os
import pathlib
import tempfile
from typing import Any

import pytest

pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import _csv_rowvane_backend as rv  # noqa: E402
import rowvane_model as model  # noqa: E402

# Byte chunks that exercise quoting, delimiters, line ends, blanks, the
# byte-order mark and invalid UTF-8.
CHUNKS = [b"a", b"b", b"xy", b",", b";", b"\t", b"|", b'"', b'""', b"'", b" ", b"\r", b"\n",
          b"\r\n", b"\xc3\xa9", b"\xc3", b"\xa9", b"\xef\xbb\xbf", b"\xff", b"\x00",
          b"\xe3\x80\x80"]

inputs = st.lists(st.sampled_from(CHUNKS), max_size=60).map(b"".join)

options = st.fixed_dictionaries(
    {},
    optional={
        "delimiter": st.sampled_from([None, "", ",", ";", "\t", "|", " ", "é"]),
        "quote_char": st.sampled_from(['"', "'", ""]),
        "expected_columns": st.one_of(st.none(), st.integers(0, 4)),
        "fill_ragged_rows": st.booleans(),
        "merge_overflow": st.booleans(),
        "repair_quotes": st.booleans(),
    },
)

# Fixed examples under CI (CI=true), so a run there is repeatable; fresh ones elsewhere.
SETTINGS = settings(max_examples=400, deadline=None, derandomize=bool(os.environ.get("CI")),
                    suppress_health_check=[HealthCheck.function_scoped_fixture,
                                           HealthCheck.too_slow])


def model_result(data: bytes, opts: dict[str, Any]) -> tuple[model.Result, int]:
    delimiter = opts.get("delimiter")
    quote = opts.get("quote_char", '"')
    quote_byte = quote.encode()[0] if quote else 0x22
    result = model.reconcile(
        data,
        delimiter=delimiter.encode()[0] if delimiter else None,
        quote=quote_byte,
        expected_columns=opts.get("expected_columns"),
        fill=opts.get("fill_ragged_rows", True),
        merge=opts.get("merge_overflow", True),
        repair=opts.get("repair_quotes", True),
    )
    return result, quote_byte


@SETTINGS
@given(data=inputs, opts=options)
def test_reader_matches_model(data: bytes, opts: dict[str, Any]) -> None:
    expected, _ = model_result(data, opts)
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "in.csv"
        path.write_bytes(data)
        reader = rv.RowvaneReader(str(path), **opts)
        assert list(reader) == expected.rows
        assert reader.summary.to_dict() == expected.summary()


@SETTINGS
@given(data=inputs, opts=options)
def test_files_match_model(data: bytes, opts: dict[str, Any]) -> None:
    expected, quote_byte = model_result(data, opts)
    with tempfile.TemporaryDirectory() as tmp:
        src = pathlib.Path(tmp) / "in.csv"
        out = pathlib.Path(tmp) / "out.csv"
        quarantine = pathlib.Path(tmp) / "q.csv"
        src.write_bytes(data)
        summary = rv.rowvane_file(str(src), str(out), str(quarantine), **opts)
        assert summary.to_dict() == expected.summary()
        assert out.read_bytes() == model.output_bytes(expected, quote_byte)
        assert quarantine.read_bytes() == model.quarantine_bytes(expected)


@SETTINGS
@given(st.lists(st.sampled_from(["a", "é", ",", ";", "\t", "|", '"', " ", "\n", "\r",
                                 "\u3000", "\ufeff", "\x00", "bc"]), max_size=60).map("".join))
def test_sniff_matches_model(sample: str) -> None:
    assert rv.sniff(sample) == chr(model.sniff(sample.encode("utf-8")))


@SETTINGS
@given(data=inputs, delimiter=st.sampled_from([",", ";", "\t", "|"]))
def test_output_reads_back_unchanged(data: bytes, delimiter: str) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        src = pathlib.Path(tmp) / "in.csv"
        out = pathlib.Path(tmp) / "out.csv"
        src.write_bytes(data)
        rv.rowvane_file(str(src), str(out), delimiter=delimiter)
        rows = list(rv.RowvaneReader(str(src), delimiter=delimiter))
        again = list(rv.RowvaneReader(str(out), delimiter=delimiter, repair_quotes=False,
                                      expected_columns=0))
        if out.read_bytes().startswith(model.BOM):
            rows[0][0] = rows[0][0][1:]
        assert again == rows
