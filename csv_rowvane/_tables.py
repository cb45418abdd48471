"""Parquet and Arrow IPC outputs: the repaired CSV text read back into typed
columns through pyarrow (the optional extra ``parquet``).

The first row is the header: column names are made non-empty
(``column_5`` for the fifth) and unique (``name_2``, ``name_3``). Rows
shorter than the widest are padded with empty cells. With ``infer_types``
off every column is a string column holding each cell's text exactly, empty
cells as empty strings. With it on, empty cells are null, and a column is
typed when every non-empty cell reads as that type (see ``RULES``), else it
stays a string column.
"""

from __future__ import annotations

import csv
import sys
from collections.abc import Iterator
from typing import Any

__all__ = ["TABLE_SUFFIXES", "table_format", "require_pyarrow", "column_names", "write_table", "RULES"]

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
#: the pattern every non-empty cell must match in full. A cell must also
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
    one the header gives."""
    given = [header[i] if i < len(header) and header[i] != "" else None for i in range(width)]
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


_FIELD_LIMIT = 2**31 - 1


def _rows(path: str, delimiter: str, quote_char: str) -> Iterator[list[str]]:
    """The rows of the repaired CSV file ``path`` (RFC 4180, as the run
    wrote it); a blank line is a row of one empty cell."""
    if csv.field_size_limit() < _FIELD_LIMIT:
        csv.field_size_limit(min(sys.maxsize, _FIELD_LIMIT))
    with open(path, encoding="utf-8-sig", newline="") as f:
        for row in csv.reader(f, delimiter=delimiter, quotechar=quote_char, doublequote=True, strict=False):
            yield row if row else [""]


def _batches(path: str, delimiter: str, quote_char: str, rows: int) -> Iterator[list[list[str]]]:
    batch: list[list[str]] = []
    for row in _rows(path, delimiter, quote_char):
        batch.append(row)
        if len(batch) >= rows:
            yield batch
            batch = []
    if batch:
        yield batch


class _Inference:
    """The types still open to each column, narrowed batch by batch."""

    def __init__(self, pa: Any, width: int, decimal_comma: bool) -> None:
        self.pa = pa
        self.pc = pa.compute
        names = [name for name, _ in RULES]
        if not decimal_comma:
            names.remove("float64 (decimal comma)")
        self.open: list[set[str]] = [set(names) for _ in range(width)]
        self.fraction = [False] * width  # a cell with a fraction or an exponent
        self.comma = [False] * width
        self.seen = [False] * width  # a non-empty cell
        self.clock = [False] * width  # a cell with a time of day

    def feed(self, i: int, cells: Any) -> None:
        """Narrows column ``i`` by ``cells`` (its non-empty cells of a batch)."""
        pc = self.pc
        if len(cells) == 0 or not self.open[i]:
            return
        self.seen[i] = True
        patterns = dict(RULES)
        for name in sorted(self.open[i]):
            ok = bool(pc.all(pc.match_substring_regex(cells, patterns[name], ignore_case=name == "bool")).as_py())
            if ok:
                ok = self._converts(name, cells)
            if not ok:
                self.open[i].discard(name)
        if "float64" in self.open[i] and bool(pc.any(pc.match_substring_regex(cells, "[.eE]")).as_py()):
            self.fraction[i] = True
        if "float64 (decimal comma)" in self.open[i] and bool(pc.any(pc.match_substring(cells, ",")).as_py()):
            self.comma[i] = True
        if "timestamp" in self.open[i] and bool(pc.any(pc.match_substring_regex(cells, "[T ]")).as_py()):
            self.clock[i] = True

    def _converts(self, name: str, cells: Any) -> bool:
        try:
            converted = convert(self.pa, name, cells)
        except (self.pa.ArrowInvalid, self.pa.ArrowNotImplementedError, OverflowError):
            return False
        if name.startswith("float64"):
            return bool(self.pc.all(self.pc.is_finite(converted)).as_py())
        return True

    def types(self) -> list[str]:
        """The type of every column: the first rule still open to it."""
        out = []
        for i, open_ in enumerate(self.open):
            chosen = "string"
            if self.seen[i]:
                for name, _ in RULES:
                    if name not in open_:
                        continue
                    if name == "float64" and not self.fraction[i]:
                        continue
                    if name == "float64 (decimal comma)" and not self.comma[i]:
                        continue
                    if name == "timestamp" and not self.clock[i]:
                        continue
                    chosen = name
                    break
            out.append(chosen)
        return out


def arrow_type(pa: Any, name: str) -> Any:
    return {
        "int64": pa.int64(), "float64": pa.float64(), "float64 (decimal comma)": pa.float64(),
        "bool": pa.bool_(), "date32": pa.date32(), "timestamp": pa.timestamp("us"),
        "timestamp (UTC)": pa.timestamp("us", tz="UTC"), "string": pa.string(),
    }[name]


def convert(pa: Any, name: str, cells: Any) -> Any:
    """The string array ``cells`` (nulls for empty cells) as type ``name``."""
    pc = pa.compute
    if name == "string":
        return cells
    if name == "bool":
        return pc.equal(pc.utf8_lower(cells), "true")
    if name == "float64 (decimal comma)":
        return pc.cast(pc.replace_substring(cells, ",", "."), pa.float64())
    return pc.cast(cells, arrow_type(pa, name))


def _column(pa: Any, batch: list[list[str]], i: int, nulls: bool) -> Any:
    if nulls:
        return pa.array([row[i] if i < len(row) and row[i] != "" else None for row in batch], pa.string())
    return pa.array([row[i] if i < len(row) else "" for row in batch], pa.string())


def write_table(src: str, dest: str, fmt: str, delimiter: str, quote_char: str, infer_types: bool,
                batch_rows: int = BATCH_ROWS) -> dict[str, str]:
    """Writes the repaired CSV file ``src`` as a Parquet (``fmt``
    ``"parquet"``) or Arrow IPC file (``"arrow"``) at ``dest``, a record
    batch of ``batch_rows`` rows at a time. Returns each column's type by
    name."""
    pa = require_pyarrow()
    header: list[str] | None = None
    width = 0
    inference: _Inference | None = None
    # First pass: the header, the width, and with infer_types the types.
    for n, batch in enumerate(_batches(src, delimiter, quote_char, batch_rows)):
        if n == 0:
            header, batch = batch[0], batch[1:]
            width = len(header)
        width = max(width, *(len(row) for row in batch)) if batch else width
        if infer_types and batch:
            if inference is None:
                inference = _Inference(pa, 0, delimiter == ";")
            while len(inference.open) < width:  # a wider row: a new column, open to every type
                grown = _Inference(pa, 1, delimiter == ";")
                for attr in ("open", "fraction", "comma", "seen", "clock"):
                    getattr(inference, attr).extend(getattr(grown, attr))
            for i in range(width):
                cells = _column(pa, batch, i, True).drop_null()
                inference.feed(i, cells)
    names = column_names(header or [], width)
    types = inference.types() if inference is not None else ["string"] * width
    types += ["string"] * (width - len(types))
    schema = pa.schema([pa.field(name, arrow_type(pa, t)) for name, t in zip(names, types)])
    with _writer(pa, dest, fmt, schema) as write:
        first = True
        for batch in _batches(src, delimiter, quote_char, batch_rows):
            if first:
                batch, first = batch[1:], False
                if not batch:
                    continue
            columns = [convert(pa, t, _column(pa, batch, i, infer_types)) for i, t in enumerate(types)]
            write(pa.record_batch(columns, schema=schema))
    return {name: str(arrow_type(pa, t)) for name, t in zip(names, types)}


class _writer:
    """A Parquet writer (a row group per batch) or an Arrow IPC file writer
    (the format Feather files use); yields its ``write_batch``."""

    def __init__(self, pa: Any, dest: str, fmt: str, schema: Any) -> None:
        self.sink = pa.parquet.ParquetWriter(dest, schema) if fmt == "parquet" else pa.ipc.new_file(dest, schema)

    def __enter__(self) -> Any:
        return self.sink.write_batch

    def __exit__(self, *exc: object) -> None:
        self.sink.close()

