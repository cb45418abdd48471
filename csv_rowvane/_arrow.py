"""``read_arrow``: the repaired rows of a file as an Arrow stream, made
natively, for any consumer of the Arrow PyCapsule interface (pyarrow,
polars, DuckDB, pandas through pyarrow) without pyarrow at run time."""

from __future__ import annotations

import contextlib
import dataclasses
import os
import weakref
from typing import Any

from . import _tempfiles
from ._api import StrPath, fspath, repair
from ._report import RepairReport
from ._tables import BATCH_ROWS, NativeStream

__all__ = ["ArrowStream", "read_arrow"]


def _remove(path: str) -> None:
    with contextlib.suppress(OSError):
        os.unlink(path)


class ArrowStream:
    """The repaired rows of one file as Arrow record batches: implements
    ``__arrow_c_stream__`` and ``__arrow_c_schema__``, so
    ``pyarrow.table(s)``, ``pyarrow.RecordBatchReader.from_stream(s)``,
    ``polars.DataFrame(s)`` and DuckDB read it. Each call of
    ``__arrow_c_stream__`` is a stream of its own over the repaired text,
    ``batch_rows`` rows per batch; ``close()`` (or the end of a ``with``
    block, or garbage collection) removes that text."""

    def __init__(self, native: NativeStream, report: RepairReport, text: str) -> None:
        self._native = native
        self._report = report
        self._close = weakref.finalize(self, _remove, text)

    @property
    def report(self) -> RepairReport:
        """The RepairReport of the run that repaired the rows."""
        return self._report

    @property
    def column_names(self) -> list[str]:
        return list(self._native.names)

    @property
    def column_types(self) -> dict[str, str]:
        """Each column's Arrow type by name (``int64``, ``double``,
        ``string``, ...)."""
        return self._native.column_types()

    @property
    def num_rows(self) -> int:
        """The rows below the header."""
        return self._native.row_count()

    def __arrow_c_schema__(self) -> Any:
        return self._native.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        if not self._close.alive:
            raise ValueError("the stream is closed")
        return self._native.__arrow_c_stream__(requested_schema)

    def close(self) -> None:
        """Removes the repaired text: streams already made read on."""
        self._close()

    def __enter__(self) -> ArrowStream:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        cols = ", ".join(f"{n}: {t}" for n, t in self.column_types.items())
        return f"<csv_rowvane.ArrowStream {self._report.input!r} {self.num_rows} rows [{cols}]>"


def read_arrow(
    path: StrPath,
    *,
    header: bool = True,
    infer_types: bool = False,
    batch_rows: int = BATCH_ROWS,
    **options: Any,
) -> ArrowStream:
    """The repaired rows of ``path`` as an Arrow stream (see ArrowStream).

    ``options`` are those of :func:`repair` (``delimiter``, ``detect``,
    ``encoding``, ``quarantine``, ``member``, ...); compressed files are read
    as ``repair`` reads them. With ``header`` the first row names the
    columns (made non-empty and unique: ``column_5``, ``name_2``), else they
    are ``column_1``, ``column_2``, ... and the first row is data. Every
    column is utf8 (large_utf8 past 2 GiB of text) holding each cell's text,
    unless ``infer_types``: then empty cells are null and a column is int64,
    float64, bool, date32 or timestamp when every non-empty cell reads as one
    (the rules of Parquet outputs). The repair runs first, into a private
    temporary file that the stream reads ``batch_rows`` rows at a time; its
    RepairReport is ``.report``.
    """
    p = fspath(path, "path")
    for name, flag in (("header", header), ("infer_types", infer_types)):
        if not isinstance(flag, bool):
            raise TypeError(f"{name} must be a bool, not {type(flag).__name__}")
    if isinstance(batch_rows, bool) or not isinstance(batch_rows, int) or batch_rows < 1:
        raise ValueError(f"batch_rows must be a positive int, got {batch_rows!r}")
    for name in ("output_encoding", "infer_types"):
        if name in options:
            raise TypeError(f"unexpected option(s): {name}")
    text = _tempfiles.private_file("csv-rowvane-arrow-", ".csv")
    try:
        report = repair(p, text, **options)
        native = NativeStream(text, report.output_delimiter, report.output_quote_char, header, infer_types,
                              batch_rows, report.inferred_columns)
    except BaseException:
        _remove(text)
        _tempfiles.gone(text)
        raise
    _tempfiles.gone(text)  # the stream's own now
    report = dataclasses.replace(report, output="", output_size=None, output_format="arrow-stream",
                                 column_types=native.column_types())
    return ArrowStream(native, report, text)
