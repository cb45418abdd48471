// Table detection for the front end's "auto" repair: where the table starts
// (lines of preamble before its header), its delimiter (", " included) and
// quote, how many lines its header takes, and the row shapes that tell a
// header from data. Reads only the head of a buffer; the run itself finds
// where the first table ends.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "core/parser.hpp"

namespace rowvane {

// Detection reads at most this much of the buffer.
inline constexpr size_t kDetectBytes = size_t{64} << 10;

// The head of an input the table run settles its layout from: the table's
// width may be inferred from rows past kDetectBytes, never past this, so a
// run that streams its input and one that holds it whole agree.
inline constexpr size_t kHeadBytes = size_t{4} << 20;

// The candidate delimiters of detection, in order of preference on a tie.
// ':', '#' and ' ' are taken only on the terms of detect_table.
inline constexpr unsigned char kDetectDelimiters[] = {',', ';', '\t', '|', ':', '#', ' '};

// Header lines considered at most (blank lines between them included).
inline constexpr size_t kMaxHeaderRows = 8;

// What the caller fixed; detection settles the rest.
struct DetectOptions {
  std::optional<unsigned char> delimiter;
  std::optional<unsigned char> quote_char;
  std::optional<size_t> expected_columns;
  bool repair_quotes = true;
};

// A line before the table, skipped by the run.
struct SkippedLine {
  size_t line = 0;   // 1-based
  size_t begin = 0;  // offset of its first byte
  size_t end = 0;    // offset past its line break
};

struct TableLayout {
  unsigned char delimiter = ',';
  bool blank_after_delimiter = false;  // ", ": blanks at each field start are dropped
  unsigned char quote_char = '"';
  bool backslash_escape = false;       // '\\' escapes the next byte inside quoted fields
  size_t columns = 0;                  // the table's width; 0 when nothing was found
  size_t start = 0;                    // offset of the table's first row (its header)
  size_t start_line = 1;               // line on which that row begins
  std::vector<SkippedLine> preamble;   // the lines skipped before it
  size_t header_rows = 1;              // rows of the header (blank ones inside included), joined
  bool has_header = false;             // the first row looks like a header
  bool numeric_body = false;           // values fill the data columns below the header
};

// What a cell reads as, for telling a header from the rows below it.
enum class CellKind {
  Empty,
  Text,    // not a number
  Label,   // a number that names a column: a year, alone or with a unit ("2000 (1,000)", "2005-06")
  Number,  // any other number, date or time
  Null,    // a mark of a missing value: "NA", "n/a", "(X)", "-", "...", "----"
};

CellKind cell_kind(std::string_view field) noexcept;

// Joins the lines of a header into one row of `width` fields: in every line
// but the last, an empty cell right of a filled one (past the first column)
// takes that cell's text, as a cell spanning the columns below it; then the
// texts of each column are joined with a space. Blank lines add nothing.
RowBuf join_header_lines(const std::vector<RowBuf>& lines, size_t width);

// Settles the layout of the table at the start of `buffer` from its first
// kDetectBytes. Given options are kept as they are.
TableLayout detect_table(std::string_view buffer, const DetectOptions& options);

// The quote detection alone: `'` when apostrophes open and close fields at
// field boundaries and double quotes never do, else `"`.
unsigned char detect_quote(std::string_view head);

// A field that reads as a number, a date or a time: at least one digit, and
// only digits, signs, separators of numbers and dates, '%' and blanks.
bool is_numeric_like(std::string_view field) noexcept;

// A row that reads as a header: two or more fields, none empty, none numeric.
bool is_header_like(const RowBuf& row) noexcept;

// A row below a table of numbers, of `width` columns, that reads as a note
// rather than data: its first filled cell is prose (three words, a colon or a
// final stop), no cell is a number (a year may be), and it has one filled
// cell, or fewer fields than the table
// with a blank after each delimiter or three words in its first cell, as
// prose has ("Source: Census Bureau, 2010"); or a footnote's mark and its
// note ("1,Includes persons of any race.,,"). A row as wide as the table
// that is a note starts or ends with an empty cell.
bool is_note_like(const RowBuf& row, size_t width) noexcept;

// `s` without the spaces and TABs at either end.
std::string_view trim_blanks(std::string_view s) noexcept;

// Fields of `row` that are not empty once blanks are trimmed.
size_t filled_fields(const RowBuf& row) noexcept;

// Whether two rows hold the same field texts.
bool same_fields(const RowBuf& a, const RowBuf& b) noexcept;

// A parser for the table of `layout` over `buffer`, at its first row.
ResilientParser make_table_parser(std::string_view buffer, const TableLayout& layout,
                                  bool repair_quotes) noexcept;

}  // namespace rowvane
