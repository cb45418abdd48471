"""Repair damaged CSV files: the Python API and command line over the native
``_csv_rowvane_backend`` engine.

>>> import pathlib, csv_rowvane
>>> report = csv_rowvane.repair(pathlib.Path("broken.csv"), "clean.csv")  # doctest: +SKIP
>>> batch = csv_rowvane.repair_many(["exports/"], "clean/", jobs=None)     # doctest: +SKIP

Batches run on a pool of threads in the calling process: a plain script
needs no ``if __name__ == "__main__"`` guard.
"""

from __future__ import annotations

import pkgutil
from typing import TYPE_CHECKING

# The native part of the package (csv_rowvane._core) may live in another
# tree than these sources: an installed copy, or a sanitizer build put on
# PYTHONPATH. Every csv_rowvane folder on sys.path is part of the package.
if not TYPE_CHECKING:
    __path__ = pkgutil.extend_path(__path__, __name__)

from ._api import ArchiveError, UndecodableError, check, read, repair, sniff_encoding, sniff_file
from ._arrow import ArrowStream, read_arrow
from ._batch import SUFFIXES, check_many, repair_many
from ._reader import Reader, ReadSummary
from ._report import BatchFailure, BatchReport, CheckBatchReport, CheckReport, ProblemRow, RepairReport
from ._version import __version__

__all__ = [
    "repair",
    "repair_many",
    "check",
    "check_many",
    "read",
    "Reader",
    "ReadSummary",
    "read_arrow",
    "ArrowStream",
    "sniff_file",
    "sniff_encoding",
    "UndecodableError",
    "ArchiveError",
    "RepairReport",
    "BatchReport",
    "BatchFailure",
    "CheckReport",
    "CheckBatchReport",
    "ProblemRow",
    "SUFFIXES",
    "__version__",
]
