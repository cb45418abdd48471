"""Arrow tables of repaired CSV text: Parquet and Arrow IPC outputs, and
the stream behind ``read_arrow``.

The native part (``csv_rowvane._core``, module/frontend/arrow.cpp) reads
the repaired file, decides the column types and makes the record batches
through the Arrow C data interface; pyarrow (the optional extra
``parquet``) is needed only to write Parquet and Arrow IPC files.

The first row is the header: column names are made non-empty
(``column_5`` for the fifth) and unique (``name_2``, ``name_3``). Rows
shorter than the widest are padded with empty cells. With ``infer_types``
off every column is a string column holding each cell's text exactly, empty
cells as empty strings. With it on, empty cells are null, and a column is
typed when every non-empty cell reads as that type (see ``RULES``), else it
stays a string column.
"""

from __future__ import annotations

import os
from typing import Any

from . import _core

# The text beyond which a column might need 64-bit offsets (large_utf8).
_LARGE = 2**31 - 1

__all__ = ["TABLE_SUFFIXES", "table_format", "require_pyarrow", "column_names", "write_table", "RULES",
           "NativeStream"]

#: The suffix of an output path that makes it a table, and which.
TABLE_SUFFIXES = {".parquet": "parquet", ".arrow": "arrow", ".feather": "arrow"}

#: Rows per record batch (and Parquet row group) written.
BATCH_ROWS = 65536

EXTRA = "csv-rowvane-backend[parquet]"

_INT = r"-?(0|[1-9][0-9]*)"
_EXP = r"([eE][+-]?[0-9]{1,3})?"
_DATE = r"[0-9]{4}-[0-9]{2}-[0-9]{2}"
_TIME = r"[T ][0-9]{2}:[0-9]{2}(:[0-9]{2}(\.[0-9]{1,6})?)?"
_ZONE = r"(Z|[+-][0-9]{2}:?[0-9]{2})"

#: The types a column may take, in the order they are preferred, each with
#: the pattern every non-empty cell must match in full (as the native
#: scan reads cells; written out here as the reference). A cell must also
#: convert (a date that exists, an int within int64, a finite float); and
#: a float column holds at least one cell with a fraction or an exponent, so
#: a column of integers too large for int64 stays text rather than losing
#: digits. Leading zeros (``007``, ``01.5``) keep a column text: they are
#: codes, not numbers. The decimal comma is read only when the file's
#: delimiter is ``;`` and no cell of the column holds a decimal point.
RULES: tuple[tuple[str, str], ...] = (
    ("int64", f"^{_INT}$"),
    ("float64", rf"^(-?(0|[1-9][0-9]*)?\.[0-9]+{_EXP}|{_INT}{_EXP})$"),
    ("float64 (decimal comma)", rf"^(-?(0|[1-9][0-9]*),[0-9]+|{_INT})$"),
    ("bool", r"^(true|false)$"),  # any case
    ("date32", f"^{_DATE}$"),
    ("timestamp", f"^{_DATE}({_TIME})?$"),
    ("timestamp (UTC)", f"^{_DATE}{_TIME}{_ZONE}$"),
)


def table_format(path: str) -> str | None:
    """``"parquet"`` or ``"arrow"`` when ``path``'s suffix names a table
    format, else None."""
    lower = path.lower()
    for suffix, fmt in TABLE_SUFFIXES.items():
        if lower.endswith(suffix):
            return fmt
    return None


def require_pyarrow() -> Any:
    """The pyarrow module, or ImportError naming the extra that brings it."""
    try:
        import pyarrow
        import pyarrow.compute  # noqa: F401
        import pyarrow.ipc  # noqa: F401
        import pyarrow.parquet  # noqa: F401
    except ImportError as e:
        raise ImportError(f"Parquet and Arrow outputs need pyarrow: pip install '{EXTRA}' ({e})",
                          name="pyarrow") from None
    return pyarrow


def column_names(header: list[str], width: int) -> list[str]:
    """``width`` column names from ``header``: an empty or missing name is
    ``column_<n>`` (n from 1), a repeated one takes ``_2``, ``_3``, ... after
    it; the header's own names come first, so a name made here never takes
    one the header gives. NUL characters are dropped from names."""
    # A NUL ends a name in the Arrow C data interface: it is dropped.
    cleaned = [name.replace("\0", "") for name in header]
    given = [cleaned[i] if i < len(cleaned) and cleaned[i] != "" else None for i in range(width)]
    taken = {name for name in given if name is not None}
    seen: set[str] = set()
    names = []
    for i, name in enumerate(given):
        base = name if name is not None else f"column_{i + 1}"
        chosen = base
        if chosen in seen or (name is None and chosen in taken):
            n = 2
            while f"{base}_{n}" in taken or f"{base}_{n}" in seen:
                n += 1
            chosen = f"{base}_{n}"
        seen.add(chosen)
        taken.add(chosen)
        names.append(chosen)
    return names


class NativeStream:
    """The record batches of a repaired CSV file, made natively by
    ``csv_rowvane._core`` through the Arrow C data interface: any consumer
    of ``__arrow_c_stream__`` (pyarrow, polars, DuckDB) reads them as they
    are made, ``batch_rows`` rows at a time."""

    def __init__(self, path: str, delimiter: str, quote_char: str, header: bool, infer_types: bool,
                 batch_rows: int = BATCH_ROWS, width: int = 0) -> None:
        """``width``: the column count of every row, when the run that
        wrote the file enforced one (its ``inferred_columns``); text columns
        then need no reading of the whole file first. A file of more than
        2 GiB is read whole anyway, to tell utf8 columns from large_utf8."""
        self.path = path
        self.delimiter = delimiter
        self.quote_char = quote_char
        self.header = header
        self.infer_types = infer_types
        self.batch_rows = batch_rows
        self.rows: int | None = None
        quick = width > 0 and not infer_types and os.path.getsize(path) <= _LARGE
        scan = _core.arrow_scan(path, delimiter, quote_char, header, infer_types, 0 if quick else None)
        if quick:
            self.types: list[str] = ["string"] * max(width, len(scan["header"]))
        else:
            self.types = list(scan["types"])
            self.rows = int(scan["rows"])
        self.names = column_names(list(scan["header"]) if header else [], len(self.types))

    def row_count(self) -> int:
        """The rows of the file, the header aside."""
        if self.rows is None:
            self.rows = int(_core.arrow_scan(self.path, self.delimiter, self.quote_char, self.header, False)["rows"])
        return self.rows

    def __arrow_c_schema__(self) -> Any:
        return _core.arrow_schema(self.names, self.types)

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return _core.arrow_stream(self.path, self.delimiter, self.quote_char, self.header, self.batch_rows,
                                  self.names, self.types, self.infer_types)

    def column_types(self) -> dict[str, str]:
        """Each column's Arrow type by name, as pyarrow spells it."""
        return {name: ARROW_NAMES[t] for name, t in zip(self.names, self.types)}


#: The Arrow type of each column type, as pyarrow spells it.
ARROW_NAMES = {
    "int64": "int64", "float64": "double", "float64 (decimal comma)": "double", "bool": "bool",
    "date32": "date32[day]", "timestamp": "timestamp[us]", "timestamp (UTC)": "timestamp[us, tz=UTC]",
    "string": "string", "large_string": "large_string",
}


def write_table(src: str, dest: str, fmt: str, delimiter: str, quote_char: str, infer_types: bool,
                batch_rows: int = BATCH_ROWS, width: int = 0) -> dict[str, str]:
    """Writes the repaired CSV file ``src`` as a Parquet (``fmt``
    ``"parquet"``) or Arrow IPC file (``"arrow"``) at ``dest``, a record
    batch of ``batch_rows`` rows at a time (a Parquet row group each).
    Returns each column's type by name. ``width``: see NativeStream."""
    pa = require_pyarrow()
    stream = NativeStream(src, delimiter, quote_char, True, infer_types, batch_rows, width)
    reader = pa.RecordBatchReader.from_stream(stream)
    if fmt == "parquet":
        sink = pa.parquet.ParquetWriter(dest, reader.schema)
    else:
        sink = pa.ipc.new_file(dest, reader.schema)
    try:
        for batch in reader:
            sink.write_batch(batch)
    finally:
        sink.close()
    return stream.column_types()
