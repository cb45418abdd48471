"""High-performance, fault-tolerant CSV rowvane and reconstruction engine.

Rescues corrupted, broken, and malformed CSV files where strict parsers
(Polars, DuckDB, Pandas) abort with ParserError.
"""

from types import TracebackType
from typing import Final, Literal, Self, final

__version__: Final[str]
__all__ = ["rowvane_file", "sniff", "open", "RowvaneSummary", "RowvaneReader"]

@final
class RowvaneSummary:
    """Python-exposed summary of a rowvane operation."""

    @property
    def total_rows(self) -> int: ...
    @property
    def rowvaned_rows(self) -> int: ...
    @property
    def repaired_rows(self) -> int: ...
    @property
    def quarantined_rows(self) -> int: ...
    @property
    def detected_delimiter(self) -> str: ...
    @property
    def inferred_columns(self) -> int: ...
    def to_dict(self) -> dict[str, int | str]:
        """Converts the summary into a native Python dictionary."""

@final
class RowvaneReader:
    """In-memory streaming reader iterating over rowvaned rows."""

    def __new__(
        cls,
        file_path: str,
        delimiter: str | None = None,
        quote_char: str = '"',
        fill_ragged_rows: bool = True,
        merge_overflow: bool = True,
        expected_columns: int | None = None,
        repair_quotes: bool = True,
    ) -> Self: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> list[str]: ...
    def __len__(self) -> int: ...
    @property
    def summary(self) -> RowvaneSummary: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None = None,
        _exc_val: BaseException | None = None,
        _exc_tb: TracebackType | None = None,
    ) -> Literal[False]: ...

def rowvane_file(
    input_path: str,
    output_path: str,
    quarantine_path: str | None = None,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
) -> RowvaneSummary:
    """Rowvanes a corrupted CSV file and writes a clean, standard RFC-4180 file.

    Args:
        input_path: Path to the corrupted CSV file.
        output_path: Path where the repaired CSV file will be written.
        quarantine_path: Optional path to write unrecoverable / quarantined rows.
        delimiter: Optional single-character delimiter (e.g. "," or ";"). If None, auto-sniffed.
        quote_char: Optional single-character quote enclosure (default '"').
        fill_ragged_rows: If True, pads short rows with empty strings. Default True.
        merge_overflow: If True, merges extra tokens into the last column. Default True.
        expected_columns: Optional explicit column count. If None, inferred automatically.
        repair_quotes: If True, disambiguates and repairs stray internal quotes. Default True.
    """

def sniff(sample: str) -> str:
    """Detects the most likely delimiter from a CSV string sample."""

def open(
    file_path: str,
    delimiter: str | None = None,
    quote_char: str = '"',
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
) -> RowvaneReader:
    """Convenience function to open and stream a rowvaned CSV file."""
