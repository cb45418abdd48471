"""Helpers for the reliability tests: what each argument conversion accepts,
which exception a bad value must raise, and small file and process utilities.
Written from the documented calling conventions, not from the native code."""

from __future__ import annotations

import os
import pathlib
from dataclasses import dataclass
from typing import Any

NUL_PATH_MESSAGE = "file name contained an unexpected NUL byte"


def _sanitizer_loaded() -> bool:
    """True when AddressSanitizer runs in this process (the sanitized module
    build): its allocator keeps freed memory in quarantine, so the resident
    size says nothing about leaks there."""
    try:
        with open("/proc/self/maps") as maps:
            return "libasan" in maps.read()
    except OSError:
        return False


SANITIZED = _sanitizer_loaded()
CANDIDATES = (",", ";", "\t", "|")
U64 = 2**64


@dataclass(frozen=True)
class Param:
    name: str
    rule: str  # "text", "flag" or "count"
    optional: bool  # None means "not given"


ROWVANE_FILE_PARAMS = (
    Param("input_path", "text", False),
    Param("output_path", "text", False),
    Param("quarantine_path", "text", True),
    Param("delimiter", "text", True),
    Param("quote_char", "text", False),
    Param("fill_ragged_rows", "flag", False),
    Param("merge_overflow", "flag", False),
    Param("expected_columns", "count", True),
    Param("repair_quotes", "flag", False),
)

# The reader takes one path, then the same six run options.
READER_PARAMS = (Param("file_path", "text", False),) + ROWVANE_FILE_PARAMS[3:]


def has_utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def conversion_error(param: Param, value: Any) -> tuple[type[BaseException], str | None] | None:
    """The exception type (and, where fixed, the message) that converting
    `value` for `param` raises, or None when the value converts."""
    if value is None:
        if param.optional:
            return None
        target = {"text": "str", "flag": "bool"}.get(param.rule)
        if target is None:  # a required count does not exist in this module
            return (TypeError, None)
        return (TypeError, f"'None' is not an instance of '{target}'")
    if param.rule == "text":
        if isinstance(value, str):
            return None if has_utf8(value) else (UnicodeEncodeError, None)
        return (TypeError, f"'{type(value).__qualname__}' object is not an instance of 'str'")
    if param.rule == "flag":
        if value is True or value is False:
            return None
        return (TypeError, f"'{type(value).__qualname__}' object is not an instance of 'bool'")
    # count
    if isinstance(value, int):
        return None if 0 <= value < U64 else (OverflowError, None)
    if hasattr(type(value), "__index__"):
        index = value.__index__()
        return None if 0 <= index < U64 else (OverflowError, None)
    return (TypeError, None)


def first_conversion_error(params: tuple[Param, ...], values: dict[str, Any]):
    """(param name, exception type, message or None) of the first value, in
    parameter order, that fails to convert; None when all convert."""
    for param in params:
        if param.name not in values:
            continue
        err = conversion_error(param, values[param.name])
        if err is not None:
            return (param.name, err[0], err[1])
    return None


def first_byte(text: str | None) -> int | None:
    if not text:
        return None
    return text.encode("utf-8")[0]


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        resident_pages = int(f.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE")


def write_bytes(path: pathlib.Path, data: bytes) -> str:
    path.write_bytes(data)
    return str(path)


def count_records_of_line_breaks(data: bytes) -> int:
    """Rows that a buffer made only of CR and LF bytes yields: LF, CR and CR LF
    each end one record."""
    i = rows = 0
    while i < len(data):
        if data[i] == 0x0D and i + 1 < len(data) and data[i + 1] == 0x0A:
            i += 2
        else:
            i += 1
        rows += 1
    return rows
