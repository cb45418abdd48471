// The resilient row parser: a byte buffer in, one record at a time out, never
// an error. Damaged quoting is absorbed; with `repair_quotes` on, a quote
// inside a quoted field stays text when a later quote on the same line can
// still close the field.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/utf8.hpp"

namespace rowvane {

// One record: the decoded (valid UTF-8) bytes of its fields back to back, and
// the end offset of each field in `bytes`. Field i spans
// [i == 0 ? 0 : ends[i-1], ends[i]). Reused from record to record, so a parse
// in steady state allocates nothing.
struct RowBuf {
  std::string bytes;          // field texts, concatenated, valid UTF-8
  std::vector<size_t> ends;   // one end offset per field

  void clear() noexcept {
    bytes.clear();
    ends.clear();
  }
  size_t field_count() const noexcept { return ends.size(); }
  std::string_view field(size_t i) const noexcept {
    size_t begin = i == 0 ? 0 : ends[i - 1];
    return std::string_view(bytes).substr(begin, ends[i] - begin);
  }
  std::vector<std::string> to_strings() const;
};

// Offset of the first record: 3 past a leading UTF-8 byte-order mark, else 0.
size_t bom_offset(std::string_view input) noexcept;

// What the parser reads as a delimiter and a quote, and how.
struct ParserOptions {
  unsigned char delimiter = ',';     // field separator
  unsigned char quote_char = '"';    // quote byte
  bool repair_quotes = true;         // tell stray quotes from closing ones
  bool trim_leading_blanks = false;  // skip spaces and TABs at each field start
  bool has_escape = false;           // whether `escape_char` is present
  unsigned char escape_char = 0;     // escape byte inside quoted fields, if present
};

// What the counting parse tells of a record: its field count, and for a
// single field whose text could be blank (white space and bytes above 0x7F
// only), that text as next_row would give it. Any other record is not blank.
struct RowCount {
  size_t fields = 0;
  bool maybe_blank = false;
  std::string text;  // the one field's text when maybe_blank
};

struct PlainRow;
struct SimpleRow;

// The parser: a cursor over borrowed text, moved only by its own reads.
// next_row runs the four-state machine (FieldStart, Unquoted,
// Quoted, AfterQuote); scan_plain and scan_simple describe the record at the
// cursor when it can be taken without the machine, and pass() moves past it.
class ResilientParser {
 public:
  ResilientParser() noexcept = default;  // over no input
  // A parser at the first record of `input`: past a byte-order mark, line 1.
  ResilientParser(std::string_view input, const ParserOptions& options) noexcept;

  std::string_view input() const noexcept { return input_; }
  const ParserOptions& options() const noexcept { return options_; }
  // Offset at which the next record begins, and its 1-based line.
  size_t pos() const noexcept { return pos_; }
  size_t line() const noexcept { return line_; }
  bool at_end() const noexcept { return pos_ >= input_.size(); }

  // Moves the cursor to a record start found another way (a table's first
  // row, the end of a record read again from other bytes).
  void seek(size_t pos, size_t line) noexcept;

  // The input moved: `input` now holds, from its start, what the old input
  // held from `shift` on (a window sliding over a stream). Offsets keep
  // pointing at the same bytes; the cursor must be at or past `shift`.
  void rebase(std::string_view input, size_t shift) noexcept;

  // Parses the next record into `row` (cleared first). Returns false, leaving
  // `row` empty, at the end of input. May throw std::bad_alloc.
  bool next_row(RowBuf& row);

  // next_row without the field texts, for the heuristics' samples: the same
  // records (same offsets, lines and field counts), at the cost of the state
  // machine alone. Returns false at the end of input.
  bool next_row_counted(RowCount& count);

  // Convenience form for tests and cold paths.
  std::optional<std::vector<std::string>> next_row();

  // Describes the record at the cursor (not at the end) when it is plain or
  // simple (see PlainRow, SimpleRow); false when only next_row can read it.
  // Neither moves the cursor: pass() does, once the caller takes the record.
  // They apply only when plain_rows_apply() holds for the options.
  bool scan_plain(PlainRow& out) const noexcept;
  bool scan_simple(SimpleRow& out) const;
  void pass(const PlainRow& row) noexcept;
  void pass(const SimpleRow& row) noexcept;

 private:
  template <class Row>
  friend class RecordReader;

  // The closing-quote test for the quote at q (see parser.cpp).
  bool quote_closes(const unsigned char* base, size_t q) noexcept;
  void fill_lookahead(const unsigned char* base, size_t q) noexcept;
  size_t skip_blank_run(const unsigned char* base, size_t from) noexcept;

  std::string_view input_;  // the whole text, borrowed, never modified
  ParserOptions options_;
  size_t pos_ = 0;          // offset at which the next record begins
  size_t line_ = 1;         // 1-based line on which the next record begins

  // Closing-quote look-ahead cache: the stretch [la_begin_, la_end_) is the
  // rest of one physical line, and la_good_ the offset of its last quote that
  // could close a field (or npos). Keeps the look-ahead linear per line.
  size_t la_begin_ = 0;
  size_t la_end_ = 0;
  size_t la_good_ = 0;
  bool la_valid_ = false;
  // The last run of look-ahead blanks skipped: every offset in
  // [la_run_begin_, la_run_end_) is a blank that is not the delimiter. Only a
  // blank quote byte can ask about the same run twice; this keeps that linear.
  size_t la_run_begin_ = 0;
  size_t la_run_end_ = 0;
};

// A parser over `input` with the options most users need.
inline ResilientParser make_parser(std::string_view input, unsigned char delimiter,
                                   unsigned char quote_char, bool repair_quotes) noexcept {
  return ResilientParser(input, ParserOptions{delimiter, quote_char, repair_quotes});
}

// A record the parser would read as plain text: no quote byte anywhere, only
// delimiters between its fields, valid UTF-8. Such a record can be taken
// without the state machine, and its text is already its own output record.
struct PlainRow {
  size_t end = 0;           // offset of its line break, or of the end of input
  size_t next = 0;          // offset just past its line break
  size_t fields = 0;        // delimiters + 1
  bool line_break = false;  // whether it ended at a line break (line advances)
};

// True when scan_plain_row can be used with these bytes: neither the delimiter
// nor the quote is a line break, and they differ.
bool plain_rows_apply(unsigned char delimiter, unsigned char quote_char) noexcept;

// Scans the record at `pos` (< input size) and, when it is plain, describes it
// in `out`. Returns false when the full parser must read it (a quote byte, or
// bytes that are not valid UTF-8). Moves nothing; sixteen bytes per step.
bool scan_plain_row(std::string_view input, size_t pos, unsigned char delimiter,
                    unsigned char quote_char, PlainRow& out) noexcept;

// A record whose quoted fields are simple: each opens at the field's start,
// holds no quote other than doubled ones, and closes right before the
// delimiter or a line end; its unquoted fields hold no quote; the record is
// valid UTF-8. The parser reads such a field as the text between the quotes
// (a doubled quote as one), and the encoder writes it back with its quotes
// exactly when it holds the delimiter, a quote, CR or LF: then as it was
// read. So the record's output is its text with the quotes of the other
// quoted fields dropped, and an LF for its line end.
struct SimpleRow {
  size_t end = 0;           // offset of its line break, or of the end of input
  size_t next = 0;          // offset just past its line break
  bool line_break = false;  // whether it ended at a line break (line advances)
  size_t fields = 0;        // number of fields
  size_t inner_lines = 0;   // LFs inside its quoted fields
  std::vector<size_t> dropped;  // offsets of the quote bytes the output drops, ascending
};

// Describes the record at `pos` in `out` when it is simple as above; false
// (with `out` unusable) when the full parser must read it. Same conditions of
// use as scan_plain_row.
bool scan_simple_row(std::string_view input, size_t pos, unsigned char delimiter,
                     unsigned char quote_char, SimpleRow& out);

}  // namespace rowvane
