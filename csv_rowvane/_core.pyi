"""The native part of the csv_rowvane front end: encodings, table detection
and the table repair, run with the interpreter lock released."""

from collections.abc import Callable
from typing import Any

Encoding = tuple[str, str, str]
PageChooser = Callable[[bytes, bytes, bool], tuple[str, str, str]]

def repair_file(
    input_path: str,
    output_path: str,
    quarantine_path: str | None = None,
    changes_path: str | None = None,
    delimiter: str | None = None,
    quote_char: str | None = None,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    drop_empty_surplus: bool = True,
    opening_quote_as_text: bool = True,
    set_aside_other_tables: bool = True,
    encoding: Encoding | None = None,
    encoding_errors: str = "replace",
    page_chooser: PageChooser | None = None,
    output_bom: bool = False,
    keep_blank_rows: bool = False,
    threads: int | None = None,
    block_size: int | None = None,
    progress: Callable[[int, int], object] | None = None,
    part_start: int | None = None,
    part_stop: int | None = None,
    growing: Growing | None = None,
) -> dict[str, Any]: ...
def repair_basic(
    input_path: str,
    output_path: str,
    quarantine_path: str | None = None,
    delimiter: str | None = None,
    quote_char: str | None = None,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    threads: int | None = None,
    block_size: int | None = None,
    progress: Callable[[int, int], object] | None = None,
    growing: Growing | None = None,
) -> dict[str, Any]: ...
def check_file(
    input_path: str,
    max_problems: int = 10,
    delimiter: str | None = None,
    quote_char: str | None = None,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    drop_empty_surplus: bool = True,
    opening_quote_as_text: bool = True,
    set_aside_other_tables: bool = True,
    encoding: Encoding | None = None,
    encoding_errors: str = "replace",
    page_chooser: PageChooser | None = None,
    keep_blank_rows: bool = False,
    threads: int | None = None,
    block_size: int | None = None,
    progress: Callable[[int, int], object] | None = None,
) -> dict[str, Any]: ...
def check_basic(
    input_path: str,
    max_problems: int = 10,
    delimiter: str | None = None,
    quote_char: str | None = None,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    threads: int | None = None,
    block_size: int | None = None,
    progress: Callable[[int, int], object] | None = None,
) -> dict[str, Any]: ...
def decode_file(
    path: str,
    encoding: Encoding | None = None,
    encoding_errors: str = "replace",
    page_chooser: PageChooser | None = None,
    head: int | None = None,
) -> dict[str, Any]: ...
def detect(sample: bytes, delimiter: str | None = None, quote_char: str | None = None) -> dict[str, int | str]: ...
def cancel_runs() -> None: ...
def row_feed(
    input_path: str,
    delimiter: str | None = None,
    quote_char: str | None = None,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    threads: int | None = None,
    block_size: int | None = None,
) -> Any: ...
def feed_rows(feed: Any, max_rows: int, /) -> list[list[str]]: ...
def feed_summary(feed: Any, /) -> dict[str, Any] | None: ...
def feed_close(feed: Any, /) -> None: ...

class Growing:
    """A file written while a run reads it (a capsule)."""

def growing_new(expected_size: int, /) -> Growing: ...
def growing_grew(growing: Growing, size: int) -> None: ...
def growing_end(growing: Growing, complete: bool) -> None: ...
def basic_counts(
    input_path: str,
    delimiter: str | None = None,
    quote_char: str | None = None,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    threads: int | None = None,
    block_size: int | None = None,
) -> dict[str, Any]: ...
def streams_utf8(path: str, /) -> bool: ...
def arrow_scan(
    path: str, delimiter: str, quote_char: str, header: bool, infer_types: bool, max_rows: int | None = None
) -> dict[str, Any]: ...
def arrow_stream(
    path: str,
    delimiter: str,
    quote_char: str,
    header: bool,
    batch_rows: int,
    names: list[str],
    types: list[str],
    null_empty: bool,
) -> Any: ...
def arrow_schema(names: list[str], types: list[str]) -> Any: ...
