"""The reports the front end returns: one per file repaired, one per batch."""

from __future__ import annotations

import dataclasses
import os
from dataclasses import dataclass, field
from collections.abc import Mapping
from typing import Any

__all__ = ["RepairReport", "BatchFailure", "BatchReport", "CheckReport", "CheckBatchReport", "ProblemRow"]


def _show_char(ch: str) -> str:
    """A delimiter or quote as a person reads it: ';', tab, space."""
    names = {"\t": "tab", " ": "space"}
    return names.get(ch, repr(ch))


def _size(n: int | None) -> str:
    if n is None:
        return "?"
    value = float(n)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{n} B" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    return f"{n} B"  # pragma: no cover


def detection_notes(counts: Mapping[str, Any]) -> list[str]:
    """What table detection found and changed, from a report's counts."""
    def n(key: str) -> int:
        return int(counts.get(key) or 0)

    notes = []
    if n("skipped_preamble_lines"):
        notes.append(f"{n('skipped_preamble_lines')} preamble line(s) skipped")
    if n("header_rows_joined"):
        notes.append(f"header of {n('header_rows_joined') + 1} lines joined")
    if n("repeated_headers_dropped"):
        notes.append(f"{n('repeated_headers_dropped')} repeated header(s) dropped")
    if n("dropped_empty_surplus_rows"):
        notes.append(f"{n('dropped_empty_surplus_rows')} row(s) lost empty surplus fields")
    if n("opening_quote_rows"):
        notes.append(f"{n('opening_quote_rows')} stray opening quote(s) kept as text")
    if n("tables_found") > 1:
        notes.append(f"{n('tables_found')} tables: {n('second_table_rows')} row(s) of later tables set aside")
    notes.extend(_verbose_table_notes(n("notes_rows"), n("blank_rows_dropped")))
    return compression_notes(counts) + encoding_notes(counts) + notes


def compression_notes(counts: Mapping[str, Any]) -> list[str]:
    """How the input was stored and the output is written: ``gzip input``,
    ``zip member a.csv``, ``written as zstd``."""
    notes = []
    fmt = counts.get("compression")
    if fmt == "zip" and counts.get("member"):
        notes.append(f"zip member {counts['member']}")
    elif fmt:
        notes.append(f"{fmt} input")
    out = counts.get("output_compression")
    if out:
        notes.append(f"written as {out}")
    table = counts.get("output_format")
    if table and table != "csv":
        types = list((counts.get("column_types") or {}).values())
        typed = sum(1 for t in types if t != "string")
        notes.append(f"written as {table}" + (f", {typed} of {len(types)} columns typed" if typed else ""))
    return notes


def _verbose_table_notes(notes_rows: int, blank_rows: int) -> list[str]:
    notes = []
    if notes_rows:
        notes.append(f"{notes_rows} note line(s) below the table set aside")
    if blank_rows:
        notes.append(f"{blank_rows} row(s) of empty cells dropped")
    return notes


def encoding_notes(counts: Mapping[str, Any]) -> list[str]:
    """What the decode stage decided, in a few words each: ``cp1252→utf-8``,
    ``3 rows cp1252``, ``5 bytes undecodable``."""
    notes = []
    encoding = str(counts.get("encoding") or "utf-8")
    if encoding != "utf-8":
        notes.append(f"{encoding}→utf-8")
    fallback = counts.get("fallback_encoding")
    rows = int(counts.get("fallback_decoded_rows") or 0)
    if fallback and rows:
        notes.append(f"{rows} row{'s' if rows != 1 else ''} {fallback}")
    replaced = int(counts.get("replaced_bytes") or 0)
    if replaced:
        set_aside = int(counts.get("undecodable_rows") or 0)
        notes.append(f"{replaced} byte{'s' if replaced != 1 else ''} undecodable"
                     + (f", {set_aside} row(s) set aside" if set_aside else ", replaced by U+FFFD"))
    return notes


@dataclass(frozen=True, slots=True)
class RepairReport:
    """What one repair did.

    The counts are those of the native run: ``total_rows`` rows were read,
    ``rowvaned_rows`` of them kept (``repaired_rows`` of those padded or
    merged), ``quarantined_rows`` set aside, each kept row reconciled to
    ``inferred_columns`` columns (0: none enforced). ``detected_delimiter`` is
    the delimiter the run used (given or sniffed); the file written uses
    ``output_delimiter`` and quotes with ``output_quote_char``.

    ``encoding`` is the codec the input was read in and ``encoding_source``
    how it was chosen: ``bom``, ``utf-8`` (the whole file is valid UTF-8),
    ``nul pattern`` (UTF-16/32 without a mark), ``detected`` (a legacy page
    named by the detector), ``given``, or ``fallback`` (UTF-8 whose
    invalid sequences, in ``fallback_decoded_rows`` rows, were decoded as
    ``fallback_encoding``). ``replaced_bytes`` input bytes could not be
    decoded: replaced by U+FFFD, or their ``undecodable_rows`` rows set
    aside. The output is UTF-8 (``output_encoding`` ``utf-8-sig``: with a
    byte-order mark).

    ``compression`` is how the input was stored (``gzip``, ``bz2``, ``xz``,
    ``zstd``, ``zip``; None: plain), ``member`` the zip member read, and
    ``output_compression`` how the output was written, by its suffix.
    ``output_format`` is ``csv``, ``parquet`` or ``arrow``; a table's
    ``column_types`` maps each column's name to its Arrow type.
    """

    input: str
    output: str
    quarantine: str | None
    total_rows: int
    rowvaned_rows: int
    repaired_rows: int
    quarantined_rows: int
    detected_delimiter: str
    inferred_columns: int
    output_delimiter: str
    output_quote_char: str
    input_size: int | None
    output_size: int | None
    elapsed: float
    detect: str = "basic"
    changes: str | None = None
    skipped_preamble_lines: int = 0
    header_rows_joined: int = 0
    repeated_headers_dropped: int = 0
    dropped_empty_surplus_rows: int = 0
    opening_quote_rows: int = 0
    tables_found: int = 0
    second_table_rows: int = 0
    notes_rows: int = 0
    blank_rows_dropped: int = 0
    blocks: int = 0  # blocks a streamed run read (0: the input was run whole)
    blocks_reparsed: int = 0  # blocks whose guessed first record was wrong
    encoding: str = "utf-8"
    encoding_source: str = "utf-8"
    fallback_encoding: str | None = None
    fallback_decoded_rows: int = 0
    replaced_bytes: int = 0
    undecodable_rows: int = 0
    output_encoding: str = "utf-8"
    compression: str | None = None
    member: str | None = None
    output_compression: str | None = None
    output_format: str = "csv"
    column_types: dict[str, str] | None = None

    @property
    def source(self) -> str:
        """The input as shown: its path, with the zip member read after a
        colon when it came from an archive of several."""
        return f"{self.input}:{self.member}" if self.member is not None else self.input

    def notes(self) -> list[str]:
        """What table detection found and changed, in a few words each."""
        return detection_notes(self.to_dict())

    @property
    def unchanged_rows(self) -> int:
        """Rows kept exactly as read."""
        return self.rowvaned_rows - self.repaired_rows

    @property
    def changed_rows(self) -> int:
        """Rows repaired or set aside."""
        return self.repaired_rows + self.quarantined_rows

    def to_dict(self) -> dict[str, Any]:
        """The report as a JSON-ready dict (str, int, float and None values)."""
        return dataclasses.asdict(self)

    def __str__(self) -> str:
        lines = [
            f"{self.source} -> {self.output}",
            f"  rows: {self.total_rows} read, {self.unchanged_rows} kept unchanged, "
            f"{self.repaired_rows} repaired, {self.quarantined_rows} set aside",
            f"  delimiter {_show_char(self.detected_delimiter)}, "
            + (f"{self.inferred_columns} columns" if self.inferred_columns else "no column count enforced")
            + f"; written with delimiter {_show_char(self.output_delimiter)} "
            f"and quote {_show_char(self.output_quote_char)}",
        ]
        for note in self.notes():
            lines.append(f"  {note}")
        if self.quarantine is not None:
            lines.append(f"  rows set aside in {self.quarantine}")
        if self.changes is not None:
            lines.append(f"  change log in {self.changes}")
        lines.append(
            f"  {_size(self.input_size)} in, {_size(self.output_size)} out, {self.elapsed:.3f} s"
        )
        return "\n".join(lines)


@dataclass(frozen=True, slots=True)
class BatchFailure:
    """One file of a batch that could not be repaired (or checked): ``path``
    is the input, ``filename`` the file the error is about when the error
    says (the input, its output, a folder that could not be made)."""

    path: str
    error_type: str
    message: str
    errno: int | None = None
    filename: str | None = None

    @classmethod
    def from_exception(cls, path: str, exc: BaseException) -> BatchFailure:
        """The failure of the input ``path`` from the exception that ended its
        run: an OSError's ``strerror`` (followed by its ``filename`` when
        that is another file) and ``errno``, else the exception's text."""
        name = getattr(exc, "filename", None)
        filename = os.fspath(name) if isinstance(name, (str, os.PathLike)) else None
        if isinstance(exc, OSError) and exc.strerror:
            message = exc.strerror
            if filename is not None and filename != path:
                message += f": {filename!r}"
            return cls(path, type(exc).__name__, message, exc.errno, filename)
        errno = getattr(exc, "errno", None)
        message = str(exc) or type(exc).__name__
        if filename is not None and message.startswith(f"{filename}: "):
            message = message[len(filename) + 2:]  # the failure names its file already
            if filename != path:
                message += f": {filename!r}"
        return cls(path, type(exc).__name__, message,
                   errno if isinstance(errno, int) else None, filename)

    def to_dict(self) -> dict[str, Any]:
        """The failure as a JSON-ready dict."""
        return dataclasses.asdict(self)

    def __str__(self) -> str:
        return f"{self.path}: {self.message}"


@dataclass(frozen=True, slots=True)
class BatchReport:
    """What a batch did: a report per file repaired and a failure per file
    that was not, both in input order, and the inputs skipped as unchanged."""

    reports: tuple[RepairReport, ...] = ()
    failures: tuple[BatchFailure, ...] = ()
    skipped: tuple[str, ...] = ()
    elapsed: float = 0.0
    jobs: int = 1

    @property
    def ok(self) -> bool:
        """True when no file failed."""
        return not self.failures

    @property
    def files(self) -> int:
        """Files repaired."""
        return len(self.reports)

    def _sum(self, name: str) -> int:
        return sum(getattr(r, name) or 0 for r in self.reports)

    total_rows = property(lambda self: self._sum("total_rows"), doc="Rows read, over every file.")
    rowvaned_rows = property(lambda self: self._sum("rowvaned_rows"), doc="Rows kept.")
    repaired_rows = property(lambda self: self._sum("repaired_rows"), doc="Rows repaired.")
    quarantined_rows = property(lambda self: self._sum("quarantined_rows"), doc="Rows set aside.")
    input_size = property(lambda self: self._sum("input_size"), doc="Bytes read.")
    output_size = property(lambda self: self._sum("output_size"), doc="Bytes written.")

    def totals(self) -> dict[str, int]:
        """The batch's totals."""
        return {
            "files": self.files,
            "failed": len(self.failures),
            "skipped": len(self.skipped),
            "total_rows": self.total_rows,
            "rowvaned_rows": self.rowvaned_rows,
            "repaired_rows": self.repaired_rows,
            "quarantined_rows": self.quarantined_rows,
            "input_size": self.input_size,
            "output_size": self.output_size,
        }

    def to_dict(self) -> dict[str, Any]:
        """The batch as a JSON-ready dict: ``reports``, ``failures``,
        ``skipped``, ``totals``, ``elapsed`` and ``jobs``."""
        return {
            "reports": [r.to_dict() for r in self.reports],
            "failures": [f.to_dict() for f in self.failures],
            "skipped": list(self.skipped),
            "totals": self.totals(),
            "elapsed": self.elapsed,
            "jobs": self.jobs,
        }

    def __str__(self) -> str:
        t = self.totals()
        text = (
            f"{t['files']} files repaired, {t['failed']} failed, {t['skipped']} skipped; "
            f"rows: {t['total_rows']} read, {t['repaired_rows']} repaired, "
            f"{t['quarantined_rows']} set aside; {self.elapsed:.2f} s with {self.jobs} "
            f"job{'s' if self.jobs != 1 else ''}"
        )
        return "\n".join([text, *(f"  failed: {f}" for f in self.failures)])


@dataclass(frozen=True, slots=True)
class ProblemRow:
    """A row a repair would change or set aside."""

    line: int
    reason: str
    action: str
    content: str

    def to_dict(self) -> dict[str, Any]:
        return dataclasses.asdict(self)


@dataclass(frozen=True, slots=True)
class CheckReport:
    """What a repair of ``input`` would do, found without writing anything.

    The counts and dialect are those of a repair with the same options;
    ``problems`` holds the first rows that repair would pad, merge or set
    aside, with the line they begin on and the reason.
    """

    input: str
    total_rows: int
    rowvaned_rows: int
    repaired_rows: int
    quarantined_rows: int
    detected_delimiter: str
    inferred_columns: int
    input_size: int | None
    problems: tuple[ProblemRow, ...] = field(default=())
    problem_rows: int = 0
    detect: str = "basic"
    notes: tuple[str, ...] = ()
    encoding: str = "utf-8"
    encoding_source: str = "utf-8"
    fallback_encoding: str | None = None
    fallback_decoded_rows: int = 0
    replaced_bytes: int = 0
    undecodable_rows: int = 0
    compression: str | None = None
    member: str | None = None

    @property
    def source(self) -> str:
        """The input as shown: its path, with the zip member read after a
        colon when it came from an archive."""
        return f"{self.input}:{self.member}" if self.member is not None else self.input

    def to_dict(self) -> dict[str, Any]:
        d = dataclasses.asdict(self)
        d["problems"] = [p.to_dict() for p in self.problems]
        d["notes"] = list(self.notes)
        return d

    def __str__(self) -> str:
        lines = [
            f"{self.source}: {self.total_rows} rows, delimiter {_show_char(self.detected_delimiter)}, "
            + (f"{self.inferred_columns} columns" if self.inferred_columns else "no column count enforced"),
            f"  a repair keeps {self.rowvaned_rows - self.repaired_rows} rows unchanged, "
            f"repairs {self.repaired_rows}, sets aside {self.quarantined_rows}",
            *(f"  {note}" for note in self.notes),
        ]
        for p in self.problems:
            why = p.action if p.reason == p.action else f"{p.action}: {p.reason}"
            lines.append(f"  line {p.line}: {why}: {p.content!r}")
        if self.problem_rows > len(self.problems):
            lines.append(f"  ... {self.problem_rows - len(self.problems)} more")
        return "\n".join(lines)


@dataclass(frozen=True, slots=True)
class CheckBatchReport:
    """What a check of many files found: a report per file read and a failure
    per file that could not be, both in input order."""

    reports: tuple[CheckReport, ...] = ()
    failures: tuple[BatchFailure, ...] = ()
    elapsed: float = 0.0
    jobs: int = 1

    @property
    def ok(self) -> bool:
        """True when no file failed."""
        return not self.failures

    def to_dict(self) -> dict[str, Any]:
        """The check as a JSON-ready dict: ``reports``, ``failures``,
        ``elapsed`` and ``jobs``."""
        return {
            "reports": [r.to_dict() for r in self.reports],
            "failures": [f.to_dict() for f in self.failures],
            "elapsed": self.elapsed,
            "jobs": self.jobs,
        }

    def __str__(self) -> str:
        return "\n".join([*(str(r) for r in self.reports), *(f"failed: {f}" for f in self.failures)])
