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
constexpr size_t kMaxHeaderRows = 3;

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

std::vector<HeadRow> head_rows(std::string_view head, unsigned char delimiter, unsigned char quote,
                               bool trim, bool repair_quotes, size_t limit) {
  ResilientParser parser(head, ParserOptions{delimiter, quote, repair_quotes, trim});
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

// ", ": nearly every field after the first starts with a blank.
bool blanks_follow_delimiters(const std::vector<HeadRow>& rows) {
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
  return fields >= 8 && blank_led * 20 >= fields * 19;
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

// A second header line: as wide as the header, some cells empty, the others
// text, above a body of numbers (a text table's sparse rows are data).
bool continues_header(const RowBuf& row, size_t width) {
  if (row.field_count() != width) return false;
  const size_t filled = filled_fields(row);
  if (filled == 0 || filled == width) return false;
  for (size_t f = 0; f < row.field_count(); ++f) {
    if (is_numeric_like(row.field(f))) return false;
  }
  return true;
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
  ResilientParser parser(
      buffer, ParserOptions{layout.delimiter, layout.quote_char, repair_quotes, layout.blank_after_delimiter});
  if (layout.start > parser.pos()) parser.seek(layout.start, layout.start_line);
  return parser;
}

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
      for (unsigned char d : kDetectDelimiters) {
        if (options.delimiter && d != *options.delimiter) continue;
        const Shape s = shape_of(head_rows(head, d, quotes[k], false, repair, limit), 0);
        if (s.width >= 2) with[k] = std::max(with[k], s.consistency);
      }
    }
    if (with[1] < with[0]) layout.quote_char = '"';
  }
  const unsigned char quote = layout.quote_char;

  if (options.delimiter) {
    layout.delimiter = *options.delimiter;
  } else {
    // The backend's own choice stands unless a candidate it does not try
    // (':') fits far better; with apostrophes as quotes every candidate is
    // weighed here, since the backend sniffs with the double quote.
    unsigned char best = quote == '"' ? sniff_delimiter_outcome(head).delimiter : ',';
    Shape best_shape = shape_of(head_rows(head, best, quote, false, repair, limit), 0);
    const bool colon_fields = !colons_are_text(head);
    for (unsigned char d : kDetectDelimiters) {
      if (quote == '"' && d != ':') continue;
      if (d == ':' && !colon_fields) continue;
      Shape s = shape_of(head_rows(head, d, quote, false, repair, limit), 0);
      const bool better =
          quote == '"'
              ? (best_shape.width < 2 || best_shape.consistency < 0.5) && s.width >= 3 && s.rows >= 2 &&
                    s.consistency >= 0.9
              : s.width >= 2 && (best_shape.width < 2 || s.consistency > best_shape.consistency);
      if (better) {
        best = d;
        best_shape = s;
      }
    }
    layout.delimiter = best;
  }

  if (layout.delimiter == ',' && !options.delimiter) {
    // ", " only where it gives regular rows: a comma and a blank also
    // separate the words of prose, which trimming would not mend.
    layout.blank_after_delimiter =
        blanks_follow_delimiters(head_rows(head, ',', quote, false, repair, limit)) &&
        shape_of(head_rows(head, ',', quote, true, repair, limit), 0).consistency >= 0.8;
  }
  const std::vector<HeadRow> rows =
      head_rows(head, layout.delimiter, quote, layout.blank_after_delimiter, repair, limit);
  if (rows.empty()) return layout;

  const size_t width = options.expected_columns ? *options.expected_columns : shape_of(rows, 0).width;
  layout.columns = width;

  // Preamble: blank lines, and lines with at most one filled cell in a table
  // of three or more columns, above a row that reads as a header of the
  // table's width. Without such a header nothing is skipped.
  size_t first = 0;
  while (first < rows.size() && first < kMaxPreamble) {
    const RowBuf& r = rows[first].row;
    if (!(is_blank_row(r) || (width >= 3 && filled_fields(r) <= 1))) break;
    ++first;
  }
  if (first > 0 && !(first < rows.size() && rows[first].row.field_count() == width &&
                     is_header_like(rows[first].row) && distinct_fields(rows[first].row))) {
    first = 0;
  }
  for (size_t i = 0; i < first; ++i) {
    layout.preamble.push_back(SkippedLine{rows[i].line, rows[i].begin, rows[i].end});
  }
  if (first < rows.size()) {
    layout.start = rows[first].begin;
    layout.start_line = rows[first].line;
    // Where the basic run would parse alike, the width is the one its own
    // inference gives (which may read past the head), from the table's start.
    if (!options.expected_columns && quote == '"' && !layout.blank_after_delimiter) {
      layout.columns = infer_column_count(buffer.substr(layout.start), layout.delimiter);
    }
    layout.has_header = rows[first].row.field_count() == layout.columns && is_header_like(rows[first].row) &&
                        distinct_fields(rows[first].row);
  }

  // Header lines below the header, joined column by column by the run.
  if (layout.has_header) {
    size_t k = 1;
    while (k < kMaxHeaderRows && first + k < rows.size() && continues_header(rows[first + k].row, layout.columns)) ++k;
    if (k > 1 && numeric_row_share(rows, first + k) >= 0.8) layout.header_rows = k;
  }
  return layout;
}

}  // namespace rowvane
