"""Repair damaged CSV files: the Python API and command line over the native
``_csv_rowvane_backend`` engine.

>>> import pathlib, csv_rowvane
>>> report = csv_rowvane.repair(pathlib.Path("broken.csv"), "clean.csv")  # doctest: +SKIP
>>> batch = csv_rowvane.repair_many(["exports/"], "clean/", jobs=None)     # doctest: +SKIP
"""

from __future__ import annotations

from ._api import check, read, repair, sniff_file
from ._batch import SUFFIXES, repair_many
from ._report import BatchFailure, BatchReport, CheckReport, ProblemRow, RepairReport

__version__ = "0.3.0"

__all__ = [
    "repair",
    "repair_many",
    "check",
    "read",
    "sniff_file",
    "RepairReport",
    "BatchReport",
    "BatchFailure",
    "CheckReport",
    "ProblemRow",
    "SUFFIXES",
]
