// Table detection: everything here reads the first kDetectBytes of a buffer
// and a bounded number of rows, so its cost does not grow with the file.
#include "core/dialect.hpp"

#include <algorithm>
#include <cstring>

#include "core/heuristics.hpp"

namespace rowvane {
namespace {

constexpr size_t kShapeRows = 100;     // rows whose widths settle a shape
constexpr size_t kMaxPreamble = 50;    // preamble lines considered at most
constexpr size_t kBodyProbeRows = 20;  // data rows looked at below a header
// How much more regular than the backend's choice another delimiter's rows must be.
constexpr double kRegularityMargin = 0.1;

bool is_blank_byte(char c) noexcept { return c == ' ' || c == '\t'; }

bool is_boundary_byte(char c) noexcept {
  return c == '\n' || c == '\r' || c == ',' || c == ';' || c == '\t' || c == '|' || c == ':';
}

// A parsed row of the head and where it begins.
struct HeadRow {
  RowBuf row;
  size_t begin = 0;
  size_t end = 0;
  size_t line = 1;
};

std::vector<HeadRow> head_rows(std::string_view head, const ParserOptions& options, size_t limit) {
  ResilientParser parser(head, options);
  std::vector<HeadRow> rows;
  size_t filled = 0;  // blank rows do not use up the limit
  while (filled < limit) {
    HeadRow r;
    r.begin = parser.pos();
    r.line = parser.line();
    if (!parser.next_row(r.row)) break;
    r.end = parser.pos();
    filled += is_blank_row(r.row) ? 0 : 1;
    rows.push_back(std::move(r));
  }
  // A last row cut by the end of the head is not the file's row.
  if (head.size() >= kDetectBytes && rows.size() > 1) rows.pop_back();
  return rows;
}

struct Shape {
  size_t width = 0;        // most frequent width of the non-blank rows (ties: larger)
  double consistency = 0;  // share of non-blank rows of that width
  size_t rows = 0;         // non-blank rows looked at
};

Shape shape_of(const std::vector<HeadRow>& rows, size_t from) {
  std::vector<size_t> counts;
  for (size_t i = from; i < rows.size() && counts.size() < kShapeRows; ++i) {
    if (!is_blank_row(rows[i].row)) counts.push_back(rows[i].row.field_count());
  }
  if (counts.empty()) return {};
  const Mode mode = most_frequent(counts, 0);
  Shape best;
  best.width = mode.count;
  best.consistency = static_cast<double>(mode.tally) / static_cast<double>(counts.size());
  best.rows = counts.size();
  return best;
}

// ", ": nearly every field after the first starts with a blank (of `least`
// such fields or more).
bool blanks_follow_delimiters(const std::vector<HeadRow>& rows, size_t least = 8) {
  size_t fields = 0;
  size_t blank_led = 0;
  for (const HeadRow& r : rows) {
    for (size_t i = 1; i < r.row.field_count(); ++i) {
      std::string_view f = r.row.field(i);
      if (f.empty()) continue;
      ++fields;
      blank_led += is_blank_byte(f.front()) ? 1 : 0;
    }
  }
  return fields >= least && blank_led * 20 >= fields * 19;
}

// Whether most colons of `head` belong to times (12:30) or addresses
// (https://) rather than separate fields.
bool colons_are_text(std::string_view head) noexcept {
  size_t colons = 0;
  size_t text = 0;
  for (size_t i = 0; i < head.size(); ++i) {
    if (head[i] != ':') continue;
    ++colons;
    const bool digit_before = i > 0 && head[i - 1] >= '0' && head[i - 1] <= '9';
    const bool digit_after = i + 1 < head.size() && head[i + 1] >= '0' && head[i + 1] <= '9';
    const bool slash_after = i + 1 < head.size() && head[i + 1] == '/';
    text += (digit_before && digit_after) || slash_after ? 1 : 0;
  }
  return 2 * text >= colons;
}

// Whether lines of `head` open with '#' as comments do: the first line, or
// two lines or more.
bool comment_lines(std::string_view head) noexcept {
  size_t comments = 0;
  bool line_start = true;
  for (size_t i = 0; i < head.size() && comments < 2; ++i) {
    if (line_start && head[i] == '#') {
      if (i == 0) return true;
      ++comments;
    }
    line_start = head[i] == '\n' || head[i] == '\r';
  }
  return comments >= 2;
}

// Share of rows in [from, from + kBodyProbeRows) holding a numeric field.
double numeric_row_share(const std::vector<HeadRow>& rows, size_t from) {
  size_t seen = 0;
  size_t numeric = 0;
  for (size_t i = from; i < rows.size() && seen < kBodyProbeRows; ++i) {
    const RowBuf& row = rows[i].row;
    if (is_blank_row(row)) continue;
    ++seen;
    for (size_t f = 0; f < row.field_count(); ++f) {
      if (is_numeric_like(row.field(f))) {
        ++numeric;
        break;
      }
    }
  }
  return seen == 0 ? 0.0 : static_cast<double>(numeric) / static_cast<double>(seen);
}

// Column names differ from each other; a row repeating one text is data.
bool distinct_fields(const RowBuf& row) {
  std::vector<std::string_view> names;
  for (size_t f = 0; f < row.field_count(); ++f) names.push_back(trim_blanks(row.field(f)));
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) == names.end();
}

// A mark of a missing value, of up to five letters, or punctuation alone.
bool is_null_mark(std::string_view text) noexcept {
  static constexpr std::string_view kMarks[] = {"na", "n/a", "nan", "null", "none", "nil", "x", "(x)", "(na)",
                                                "(d)", "(z)", "(s)", "(na)"};
  if (text.size() <= 5) {
    char lower[5];
    for (size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      lower[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    const std::string_view l(lower, text.size());
    for (std::string_view m : kMarks) {
      if (l == m) return true;
    }
  }
  for (char c : text) {
    if (!std::strchr("-.*?_=~", c) || c == '\0') return false;
  }
  return true;
}

// A footnote's mark: up to two digits, or a letter with at most one digit,
// bare or in brackets ("1", "(2)", "a"), "a/" or "*".
bool footnote_mark(std::string_view cell) noexcept {
  cell = trim_blanks(cell);
  if (cell == "*" || cell == "**") return true;
  if (cell.size() >= 3 && cell.front() == '(' && cell.back() == ')') cell = cell.substr(1, cell.size() - 2);
  if (cell.size() == 2 && cell.back() == '/') cell.remove_suffix(1);
  if (cell.empty() || cell.size() > 2) return false;
  const auto alnum = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'); };
  return alnum(cell[0]) && (cell.size() == 1 || (cell[1] >= '0' && cell[1] <= '9'));
}

// The words of `text`: runs of bytes between blanks.
size_t words(std::string_view text) noexcept {
  size_t n = 0;
  bool in_word = false;
  for (char c : text) {
    const bool blank = is_blank_byte(c);
    n += !blank && !in_word ? 1 : 0;
    in_word = !blank;
  }
  return n;
}

bool has_number(const RowBuf& row) noexcept {
  for (size_t f = 0; f < row.field_count(); ++f) {
    if (cell_kind(row.field(f)) == CellKind::Number) return true;
  }
  return false;
}

// The filled cells differ from each other.
bool distinct_filled(const RowBuf& row) {
  std::vector<std::string_view> names;
  for (size_t f = 0; f < row.field_count(); ++f) {
    std::string_view name = trim_blanks(row.field(f));
    if (!name.empty()) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) == names.end();
}

// A unit line: every data column names the same unit, or each its own in
// brackets ("(2005 = 100)", "[%]").
bool unit_line(const RowBuf& row) {
  if (row.field_count() < 2) return false;
  bool bracketed = true;
  bool same = row.field_count() >= 3;
  const std::string_view unit = trim_blanks(row.field(1));
  for (size_t f = 1; f < row.field_count(); ++f) {
    const std::string_view cell = trim_blanks(row.field(f));
    bracketed = bracketed && cell.size() >= 2 && (cell.front() == '(' || cell.front() == '[');
    same = same && cell == unit;
  }
  return bracketed || same;
}

// A further header line below the first: no cell a plain number or a mark of
// a missing value, and text over a data column (a row with its first cell
// alone filled is a group row of the body). A line with every cell filled
// continues only a line with an empty cell (a span over it) or names units:
// below a full line anything else is data.
bool continues_header(const RowBuf& row, size_t width, bool above_full) {
  if (row.field_count() > width) return false;
  bool data_column = false;
  size_t filled = 0;
  for (size_t f = 0; f < row.field_count(); ++f) {
    const CellKind kind = cell_kind(row.field(f));
    if (kind == CellKind::Number || kind == CellKind::Null) return false;
    if (kind == CellKind::Empty) continue;
    ++filled;
    data_column = data_column || f > 0;
  }
  return data_column && (!above_full || filled < width || unit_line(row));
}

// Whether `row` has a cell filled in every one of `width` columns.
bool full_row(const RowBuf& row, size_t width) {
  return row.field_count() >= width && filled_fields(row) >= width;
}

// Which of the first `width` columns hold numbers in at least half of their
// filled cells, over up to kBodyProbeRows non-empty rows from `from`.
std::vector<bool> numeric_columns(const std::vector<HeadRow>& rows, size_t from, size_t width) {
  std::vector<size_t> numbers(width, 0);
  std::vector<size_t> filled(width, 0);
  size_t seen = 0;
  for (size_t i = from; i < rows.size() && seen < kBodyProbeRows; ++i) {
    const RowBuf& row = rows[i].row;
    if (filled_fields(row) == 0) continue;
    ++seen;
    for (size_t f = 0; f < row.field_count() && f < width; ++f) {
      const CellKind kind = cell_kind(row.field(f));
      if (kind == CellKind::Empty || kind == CellKind::Null) continue;
      ++filled[f];
      numbers[f] += kind == CellKind::Number ? 1 : 0;
    }
  }
  std::vector<bool> numeric(width, false);
  for (size_t f = 0; f < width; ++f) numeric[f] = numbers[f] > 0 && 2 * numbers[f] >= filled[f];
  return numeric;
}

// A header read from its own cells: as wide as the table, text in every
// cell, names distinct.
bool text_header(const RowBuf& row, size_t width) {
  return row.field_count() == width && is_header_like(row) && distinct_fields(row);
}

// A title split over the first two cells of a row as wide as a table of
// four or more columns, the others empty: its text spans the whole table, not
// a group of its columns.
bool title_row(const RowBuf& row, size_t width) {
  if (width < 4 || row.field_count() != width || trim_blanks(row.field(1)).empty()) return false;
  for (size_t f = 2; f < width; ++f) {
    if (!trim_blanks(row.field(f)).empty()) return false;
  }
  return true;
}

// A header told by contrast with the rows below it (from `below`): no cell a
// plain number, its filled cells distinct, and text or a year over a column
// of numbers. A blank corner over a label column is allowed; a row of two
// cells in a wide table is a title or a unit line, not a header.
bool heads_body(const RowBuf& row, const std::vector<HeadRow>& rows, size_t below, size_t width) {
  const size_t n = row.field_count();
  if (n < 2 || n > width || 2 * n <= width || title_row(row, width)) return false;
  size_t named = 0;
  for (size_t f = 0; f < n; ++f) {
    const CellKind kind = cell_kind(row.field(f));
    if (kind == CellKind::Number || kind == CellKind::Null) return false;
    named += kind == CellKind::Empty ? 0 : 1;
  }
  if (named == 0 || !distinct_filled(row)) return false;
  size_t from = below;
  bool above_full = full_row(row, width);
  while (from < rows.size() && from < below + kMaxHeaderRows) {
    const RowBuf& next = rows[from].row;
    if (filled_fields(next) != 0) {
      if (!continues_header(next, width, above_full)) break;
      above_full = full_row(next, width);
    }
    ++from;
  }
  // One name alone heads a table of two columns, or spans the columns of
  // the header line below it.
  if (named == 1 && width > 2 && (from == below || trim_blanks(row.field(0)).size() != 0)) return false;
  const std::vector<bool> numeric = numeric_columns(rows, from, width);
  for (size_t f = 0; f < n; ++f) {
    const CellKind kind = cell_kind(row.field(f));
    if ((kind == CellKind::Text || kind == CellKind::Label) && numeric[f]) return true;
  }
  return false;
}

// The width of a table whose head also holds lines of one field (titles,
// remarks, notes): the most frequent width of the other rows when they are a
// third of the rows or more.
size_t table_width(const std::vector<HeadRow>& rows) {
  const Shape all = shape_of(rows, 0);
  if (all.width != 1) return all.width;
  std::vector<size_t> counts;
  for (size_t i = 0; i < rows.size() && i < kShapeRows; ++i) {
    const size_t n = rows[i].row.field_count();
    if (n >= 2) counts.push_back(n);
  }
  if (counts.size() < 2 || 3 * counts.size() < all.rows) return all.width;
  return most_frequent(counts, 0).count;
}

// A line above the header that the run may skip: blank, empty cells only,
// or a title, remark or unit line. A line that fits the table's width and
// kind (as wide, holding a number, or more than one filled cell) is kept.
bool preamble_line(const RowBuf& row, size_t width) {
  if (is_blank_row(row)) return true;
  const size_t filled = filled_fields(row);
  if (filled == 0) return true;
  // A line of one field, a date of release say, is no row of a wider table.
  if (row.field_count() == 1 && width >= 2) return true;
  if (has_number(row)) return false;
  if (row.field_count() == width) return (width >= 3 && filled <= 1) || title_row(row, width);
  return filled <= 1 || 2 * row.field_count() <= width;
}

// '\' before the quote inside quoted fields: seen where the quote cannot
// end the field, more often than a doubled quote inside a field.
bool backslash_escapes(std::string_view head, unsigned char quote) noexcept {
  size_t escaped = 0;
  size_t doubled = 0;
  const char q = static_cast<char>(quote);
  for (size_t i = 0; i + 1 < head.size(); ++i) {
    if (head[i] == '\\' && head[i + 1] == q) {
      const char next = i + 2 < head.size() ? head[i + 2] : '\n';
      escaped += is_boundary_byte(next) ? 0 : 1;
      ++i;
    } else if (head[i] == q && head[i + 1] == q) {
      const char before = i > 0 ? head[i - 1] : '\n';
      const char next = i + 2 < head.size() ? head[i + 2] : '\n';
      doubled += is_boundary_byte(before) || is_boundary_byte(next) ? 0 : 1;
      ++i;
    }
  }
  return escaped > doubled;
}

}  // namespace

std::string_view trim_blanks(std::string_view s) noexcept {
  while (!s.empty() && is_blank_byte(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank_byte(s.back())) s.remove_suffix(1);
  return s;
}

bool is_numeric_like(std::string_view field) noexcept {
  field = trim_blanks(field);
  bool digit = false;
  for (char c : field) {
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (!std::strchr("+-.,/:%eE $()", c) || c == '\0') {
      return false;
    }
  }
  return digit;
}

size_t filled_fields(const RowBuf& row) noexcept {
  size_t n = 0;
  for (size_t f = 0; f < row.field_count(); ++f) n += trim_blanks(row.field(f)).empty() ? 0 : 1;
  return n;
}

bool is_header_like(const RowBuf& row) noexcept {
  if (row.field_count() < 2) return false;
  for (size_t f = 0; f < row.field_count(); ++f) {
    std::string_view text = trim_blanks(row.field(f));
    if (text.empty() || is_numeric_like(text)) return false;
  }
  return true;
}

CellKind cell_kind(std::string_view field) noexcept {
  field = trim_blanks(field);
  if (field.empty()) return CellKind::Empty;
  if (is_null_mark(field)) return CellKind::Null;
  if (!is_numeric_like(field)) return CellKind::Text;
  // A year from 1800 to 2099 alone, with a unit in brackets or after a
  // blank ("2000 (1,000)"), or as a span ("2005-06", "2005/2006", "2005-").
  const auto digit = [&](size_t i) { return i < field.size() && field[i] >= '0' && field[i] <= '9'; };
  if (!(digit(0) && digit(1) && digit(2) && digit(3)) || digit(4)) return CellKind::Number;
  const bool century = (field[0] == '1' && field[1] >= '8') || (field[0] == '2' && field[1] == '0');
  if (!century) return CellKind::Number;
  if (field.size() == 4) return CellKind::Label;
  const char next = field[4];
  if (next == ' ' || next == '(') return CellKind::Label;
  if (next == '-' || next == '/') {
    std::string_view rest = field.substr(5);
    if (rest.empty()) return CellKind::Label;
    size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
    if (digits == rest.size() && (digits == 2 || digits == 4)) return CellKind::Label;
  }
  return CellKind::Number;
}

bool is_note_like(const RowBuf& row, size_t width) noexcept {
  size_t filled = 0;
  std::string_view first;
  std::string_view second;
  bool blank_led = true;  // every filled cell after the first starts with a blank
  for (size_t f = 0; f < row.field_count(); ++f) {
    const std::string_view cell = row.field(f);
    const CellKind k = cell_kind(cell);
    if (k == CellKind::Empty) continue;
    // A footnote's mark in the first column may be a number: "1", "(2)".
    if (k == CellKind::Number && !(f == 0 && footnote_mark(cell))) return false;
    if (filled == 0) {
      first = trim_blanks(cell);
    } else {
      if (filled == 1) second = trim_blanks(cell);
      blank_led = blank_led && is_blank_byte(cell.front());
    }
    ++filled;
  }
  if (filled == 0) return false;
  // A mark and its note, in a row shorter than the table or ending in an
  // empty cell: "1,Includes persons of any race.,,".
  const size_t n = row.field_count();
  if (footnote_mark(first) && filled == 2 && cell_kind(second) == CellKind::Text && words(second) >= 3 &&
      (n < width || trim_blanks(row.field(n - 1)).empty())) {
    return true;
  }
  // A note reads as prose: a row of data missing its values ("bob,") does not.
  if (cell_kind(first) != CellKind::Text || !(words(first) >= 3 || first.back() == '.' ||
                                              first.find(':') != std::string_view::npos)) {
    return false;
  }
  return filled == 1 || (n < width && (blank_led || words(first) >= 3));
}

RowBuf join_header_lines(const std::vector<RowBuf>& lines, size_t width) {
  std::vector<std::string> texts(width);
  // below[f]: some line under the current one has text in column f, so an
  // empty cell there lies under a span.
  std::vector<bool> below(width, false);
  std::vector<std::vector<bool>> spanned(lines.size());
  for (size_t l = lines.size(); l-- > 0;) {
    spanned[l] = below;
    for (size_t f = 0; f < width && f < lines[l].field_count(); ++f) {
      if (!trim_blanks(lines[l].field(f)).empty()) below[f] = true;
    }
  }
  for (size_t l = 0; l < lines.size(); ++l) {
    const RowBuf& line = lines[l];
    std::string_view span;  // the last filled cell past the first column
    for (size_t f = 0; f < width; ++f) {
      std::string_view cell = f < line.field_count() ? trim_blanks(line.field(f)) : std::string_view();
      if (!cell.empty()) {
        span = f > 0 ? cell : std::string_view();
      } else if (spanned[l][f]) {
        cell = span;
      } else {
        span = std::string_view();
      }
      if (cell.empty()) continue;
      if (!texts[f].empty()) texts[f] += ' ';
      texts[f] += cell;
    }
  }
  RowBuf joined;
  for (const std::string& t : texts) {
    joined.bytes += t;
    joined.ends.push_back(joined.bytes.size());
  }
  return joined;
}

bool same_fields(const RowBuf& a, const RowBuf& b) noexcept {
  if (a.field_count() != b.field_count()) return false;
  for (size_t f = 0; f < a.field_count(); ++f) {
    if (trim_blanks(a.field(f)) != trim_blanks(b.field(f))) return false;
  }
  return true;
}

unsigned char detect_quote(std::string_view head) {
  size_t opens[2] = {0, 0};
  size_t closes[2] = {0, 0};
  size_t seen[2] = {0, 0};
  const char quotes[2] = {'"', '\''};
  for (size_t i = 0; i < head.size(); ++i) {
    const char c = head[i];
    const int q = c == quotes[0] ? 0 : c == quotes[1] ? 1 : -1;
    if (q < 0) continue;
    if (i + 1 < head.size() && head[i + 1] == c) {  // a doubled quote is text
      ++i;
      continue;
    }
    ++seen[q];
    size_t before = i;
    while (before > 0 && head[before - 1] == ' ') --before;
    if (before == 0 || is_boundary_byte(head[before - 1])) ++opens[q];
    if (i + 1 == head.size() || is_boundary_byte(head[i + 1])) ++closes[q];
  }
  const size_t dq = std::min(opens[0], closes[0]);
  const size_t sq = std::min(opens[1], closes[1]);
  // Apostrophes as quotes stand at field boundaries nearly always; in prose
  // or code most of them sit inside words and brackets.
  const bool bounded = 4 * (opens[1] + closes[1]) >= 3 * seen[1];
  return sq >= 2 && dq == 0 && bounded ? '\'' : '"';
}

ResilientParser make_table_parser(std::string_view buffer, const TableLayout& layout,
                                  bool repair_quotes) noexcept {
  ResilientParser parser(buffer, ParserOptions{layout.delimiter, layout.quote_char, repair_quotes,
                                               layout.blank_after_delimiter, layout.backslash_escape, '\\'});
  if (layout.start > parser.pos()) parser.seek(layout.start, layout.start_line);
  return parser;
}

namespace {

// The delimiter of the head: the backend's choice (`best`) unless another
// candidate makes clearly more regular rows. ':' is weighed only where colons
// separate fields and the backend's choice splits little, ' ' only when it
// gives rows nearly all alike (of three or more fields, or two with numbers)
// where the others split nothing. A head of one row takes the candidate that
// splits it most, a delimiter followed by blanks (prose) last.
unsigned char pick_delimiter(std::string_view head, unsigned char quote, bool repair, size_t limit) {
  const auto rows_by = [&](unsigned char d) {
    return head_rows(head, ParserOptions{d, quote, repair, false}, limit);
  };
  unsigned char best = quote == '"' ? sniff_delimiter_outcome(head).delimiter : ',';
  Shape best_shape = shape_of(rows_by(best), 0);
  const bool colon_fields = !colons_are_text(head);
  const bool hash_comments = comment_lines(head);
  if (best_shape.rows == 1) {
    size_t best_score = 0;
    for (unsigned char d : kDetectDelimiters) {
      if (d == ' ' || (d == ':' && !colon_fields)) continue;
      const std::vector<HeadRow> rows = rows_by(d);
      const Shape s = shape_of(rows, 0);
      const size_t score = s.width < 2 ? 0 : 2 * s.width + (blanks_follow_delimiters(rows, 1) ? 0 : 1);
      if (score > best_score) {
        best = d;
        best_score = score;
      }
    }
    return best;
  }
  const Shape backend = best_shape;
  const bool splits_little = backend.width < 2 || backend.consistency < 0.5;
  for (unsigned char d : kDetectDelimiters) {
    if (d == best || (d == ':' && !colon_fields) || (d == '#' && hash_comments)) continue;
    const std::vector<HeadRow> rows = rows_by(d);
    const Shape s = shape_of(rows, 0);
    if (s.width < 2 || s.rows < 2) continue;
    const bool beats = best_shape.width < 2 || s.consistency > best_shape.consistency;
    bool better;
    if (d == ' ') {
      better = splits_little && beats && s.consistency >= 0.95 &&
               (s.width >= 3 || numeric_row_share(rows, 1) >= 0.8);
    } else if (d == ':') {
      // Where nothing else splits, three columns in most rows will do.
      better = splits_little && beats &&
               (s.consistency >= 0.9 ? s.width >= 3 || backend.width < 2
                                     : s.width >= 3 && backend.width < 2 && s.consistency >= 0.6);
    } else if (quote == '"') {
      better = s.consistency >= 0.9 &&
               (best_shape.width < 2 || s.consistency >= best_shape.consistency + kRegularityMargin);
    } else {
      better = best_shape.width < 2 || s.consistency > best_shape.consistency;
    }
    if (better) {
      best = d;
      best_shape = s;
    }
  }
  return best;
}

}  // namespace

TableLayout detect_table(std::string_view buffer, const DetectOptions& options) {
  TableLayout layout;
  const std::string_view head = buffer.substr(0, kDetectBytes);
  const bool repair = options.repair_quotes;
  const size_t limit = kMaxPreamble + kShapeRows + kBodyProbeRows;
  layout.quote_char = options.quote_char ? *options.quote_char : detect_quote(head.substr(bom_offset(head)));
  if (!options.quote_char && layout.quote_char == '\'') {
    // Apostrophes only when they make the rows at least as regular as the
    // double quote does, under the delimiter that fits best either way.
    double with[2] = {0, 0};
    const unsigned char quotes[2] = {'"', '\''};
    for (int k = 0; k < 2; ++k) {
      for (unsigned char d : kSniffCandidates) {
        if (options.delimiter && d != *options.delimiter) continue;
        const Shape s = shape_of(head_rows(head, ParserOptions{d, quotes[k], repair, false}, limit), 0);
        if (s.width >= 2) with[k] = std::max(with[k], s.consistency);
      }
    }
    if (with[1] < with[0]) layout.quote_char = '"';
  }
  const unsigned char quote = layout.quote_char;
  layout.delimiter = options.delimiter ? *options.delimiter : pick_delimiter(head, quote, repair, limit);

  // A backslash escape, where it makes the rows at least as regular.
  if (quote != '\\' && layout.delimiter != '\\' && backslash_escapes(head, quote)) {
    const ParserOptions plain{layout.delimiter, quote, repair, false};
    const ParserOptions escaped{layout.delimiter, quote, repair, false, true, '\\'};
    layout.backslash_escape = shape_of(head_rows(head, escaped, limit), 0).consistency >=
                              shape_of(head_rows(head, plain, limit), 0).consistency;
  }
  const auto parse = [&](unsigned char d, bool trim) {
    return head_rows(head, ParserOptions{d, quote, repair, trim, layout.backslash_escape, '\\'}, limit);
  };

  if (layout.delimiter == ',' && !options.delimiter) {
    // ", " only where it gives regular rows: a comma and a blank also
    // separate the words of prose, which trimming would not mend.
    layout.blank_after_delimiter =
        blanks_follow_delimiters(parse(',', false)) && shape_of(parse(',', true), 0).consistency >= 0.8;
  }
  const std::vector<HeadRow> rows = parse(layout.delimiter, layout.blank_after_delimiter);
  if (rows.empty()) return layout;

  const size_t width = options.expected_columns ? *options.expected_columns : table_width(rows);
  layout.columns = width;

  // The header: the first row that reads as one (text in every cell, or by
  // contrast with the rows below it), when every line above it may be
  // skipped as preamble. Without such a header nothing is skipped.
  size_t first = 0;
  for (size_t i = 0; i < rows.size() && i <= kMaxPreamble; ++i) {
    const RowBuf& r = rows[i].row;
    if (!is_blank_row(r) && (text_header(r, width) || heads_body(r, rows, i + 1, width))) {
      first = i;
      break;
    }
    if (!preamble_line(r, width)) break;
  }
  for (size_t i = 0; i < first; ++i) {
    layout.preamble.push_back(SkippedLine{rows[i].line, rows[i].begin, rows[i].end});
  }
  if (first >= rows.size()) return layout;
  layout.start = rows[first].begin;
  layout.start_line = rows[first].line;
  // Where the basic run would parse alike, the width is the one its own
  // inference gives (which may read past the head), from the table's start.
  if (!options.expected_columns && quote == '"' && !layout.blank_after_delimiter && !layout.backslash_escape) {
    layout.columns = infer_column_count(buffer.substr(layout.start), layout.delimiter);
  }
  const size_t columns = layout.columns;
  const RowBuf& header = rows[first].row;
  layout.has_header = text_header(header, columns) || heads_body(header, rows, first + 1, columns);
  if (!layout.has_header) return layout;

  // Header lines below the first, blank lines between them included, joined
  // column by column by the run, above a body of numbers (a text table's
  // sparse rows are data).
  size_t last = first;
  for (size_t k = first + 1; k < rows.size() && k < first + kMaxHeaderRows; ++k) {
    if (filled_fields(rows[k].row) == 0) continue;
    if (!continues_header(rows[k].row, columns, full_row(rows[last].row, columns)) ||
        same_fields(rows[k].row, header)) {
      break;
    }
    last = k;
  }
  const auto numeric_below = [&](size_t from) {
    const std::vector<bool> numeric = numeric_columns(rows, from, columns);
    return std::find(numeric.begin(), numeric.end(), true) != numeric.end();
  };
  if (last > first && numeric_below(last + 1)) layout.header_rows = last - first + 1;
  layout.numeric_body = numeric_below(first + layout.header_rows);
  return layout;
}

}  // namespace rowvane
