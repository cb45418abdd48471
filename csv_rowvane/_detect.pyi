"""Table detection and the extended table repair of the csv_rowvane front end."""

def repair_file(
    input_path: str,
    output_path: str,
    quarantine_path: str | None = None,
    changes_path: str | None = None,
    *,
    delimiter: str | None = None,
    quote_char: str | None = None,
    fill_ragged_rows: bool = True,
    merge_overflow: bool = True,
    expected_columns: int | None = None,
    repair_quotes: bool = True,
    drop_empty_surplus: bool = True,
    opening_quote_as_text: bool = True,
    set_aside_other_tables: bool = True,
    keep_blank_rows: bool = False,
) -> dict[str, int | str]: ...
def detect(
    sample: bytes, *, delimiter: str | None = None, quote_char: str | None = None
) -> dict[str, int | str]: ...
