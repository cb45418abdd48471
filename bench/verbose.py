#!/usr/bin/env python3
"""Scores of the front end's table detection on the verbose tables of
tests/frontend/test_verbose.py, per pattern: header lines F1, first data row
right, notes set aside (recall and precision), delimiter right.

    PYTHONPATH=. .venv/bin/python bench/verbose.py
"""
from __future__ import annotations

import collections
import pathlib
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "frontend"))

from test_verbose import CASES, run  # noqa: E402


def scores() -> dict[str, dict[str, float]]:
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
    tally["all"] = sum(tally.values(), collections.Counter())
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
