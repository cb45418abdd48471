// Fuzz target for the resilient row parser.
//
// Input layout: byte 0 = flags, byte 1 = delimiter, byte 2 = quote,
// byte 3 = escape byte, the rest = the CSV text.
//   flags bit 0: repair_quotes
//   flags bit 1: trim_leading_blanks
//   flags bit 2: escape byte present
//   flags bit 3: delimiter taken raw from byte 1 (else one of , ; TAB | space)
//   flags bit 4: quote taken raw from byte 2 (else " or ')
//
// Checks, for every input:
//   - every row has at least one field, each valid UTF-8 (is_valid_utf8 and
//     an independent validator agree);
//   - `pos` strictly increases per row, never passes the end, and the parse
//     ends exactly at the input size; once exhausted the parser stays so;
//   - `line` never decreases and never exceeds 1 + the number of CR/LF bytes;
//   - the two next_row forms agree;
//   - the rows, `pos` and `line` equal those of a literal transcription of the
//     parsing rules (fuzz_common.hpp), except where the rules leave a choice
//     to the implementation and the core's choice is not transcribed (blank
//     trimming with a blank delimiter, the escape byte; a blank delimiter in
//     the closing-quote test counts as the delimiter, as in the core);
//   - bom_offset, is_valid_utf8 and repair_utf8_tail agree with the
//     reference UTF-8 rules.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/parser.hpp"
#include "fuzz/fuzz_common.hpp"

namespace {

using fuzzref::RefParser;
using fuzzref::Row;

constexpr unsigned char kCommonDelims[] = {',', ';', '\t', '|', ' '};
constexpr unsigned char kCommonQuotes[] = {'"', '\''};

void check_utf8_helpers(std::string_view text) {
  const bool ref_valid = fuzzref::ref_valid_utf8(text);
  FUZZ_CHECK(rowvane::is_valid_utf8(text.data(), text.size()) == ref_valid);

  std::string whole(text);
  rowvane::repair_utf8_tail(whole, 0);
  FUZZ_CHECK(whole == fuzzref::ref_repair_utf8(text));
  FUZZ_CHECK(rowvane::is_valid_utf8(whole.data(), whole.size()));

  // Repair of a tail that starts on a non-continuation byte leaves the head
  // alone and treats the tail on its own.
  size_t begin = text.size() / 2;
  while (begin < text.size() && (static_cast<unsigned char>(text[begin]) & 0xC0) == 0x80) ++begin;
  std::string tail(text);
  rowvane::repair_utf8_tail(tail, begin);
  std::string expect(text.substr(0, begin));
  expect += fuzzref::ref_repair_utf8(text.substr(begin));
  FUZZ_CHECK(tail == expect);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const unsigned char flags = data[0];
  const bool repair = flags & 1;
  const bool trim = flags & 2;
  const bool has_escape = flags & 4;
  const unsigned char delimiter =
      (flags & 8) ? data[1] : kCommonDelims[data[1] % sizeof kCommonDelims];
  const unsigned char quote = (flags & 16) ? data[2] : kCommonQuotes[data[2] % sizeof kCommonQuotes];
  const unsigned char escape = data[3];
  const std::string_view text(reinterpret_cast<const char*>(data + 4), size - 4);

  check_utf8_helpers(text);
  FUZZ_CHECK(rowvane::bom_offset(text) == fuzzref::ref_bom_offset(text));

  size_t line_breaks = 0;
  for (char c : text) line_breaks += (c == '\r' || c == '\n');

  const rowvane::ResilientParser plain = rowvane::make_parser(text, delimiter, quote, repair);
  FUZZ_CHECK(!plain.options().has_escape && !plain.options().trim_leading_blanks);
  FUZZ_CHECK(plain.options().delimiter == delimiter && plain.options().quote_char == quote &&
             plain.options().repair_quotes == repair);
  rowvane::ResilientParser p(text, rowvane::ParserOptions{delimiter, quote, repair, trim, has_escape, escape});
  FUZZ_CHECK(p.pos() == fuzzref::ref_bom_offset(text) && plain.pos() == p.pos());
  FUZZ_CHECK(p.line() == 1);
  rowvane::ResilientParser p2 = p;  // the same parse through the other next_row form

  const bool blank_delim = delimiter == ' ' || delimiter == '\t';
  const bool compare_ref = !has_escape && !(blank_delim && trim);
  RefParser ref;
  ref.in = text;
  ref.pos = p.pos();
  ref.repair_quotes = repair;
  ref.trim_leading_blanks = trim;
  ref.delimiter = delimiter;
  ref.quote_char = quote;

  rowvane::RowBuf row;
  size_t rows = 0;
  for (;;) {
    const size_t pos_before = p.pos();
    const size_t line_before = p.line();
    const bool got = p.next_row(row);
    std::optional<std::vector<std::string>> got2 = p2.next_row();
    FUZZ_CHECK(got == got2.has_value());
    FUZZ_CHECK(p.pos() == p2.pos() && p.line() == p2.line());
    FUZZ_CHECK(p.pos() <= text.size());
    FUZZ_CHECK(p.line() >= line_before);
    FUZZ_CHECK(p.line() <= 1 + line_breaks);

    std::optional<Row> want;
    if (compare_ref) {
      want = ref.next();
      FUZZ_CHECK(want.has_value() == got);
      FUZZ_CHECK(ref.pos == p.pos());
      FUZZ_CHECK(ref.line == p.line());
    }

    if (!got) {
      FUZZ_CHECK(row.field_count() == 0 && row.bytes.empty());
      break;
    }
    ++rows;
    FUZZ_CHECK(p.pos() > pos_before);
    FUZZ_CHECK(row.field_count() >= 1);
    FUZZ_CHECK(row.ends.back() == row.bytes.size());
    FUZZ_CHECK(got2->size() == row.field_count());
    size_t prev_end = 0;
    for (size_t i = 0; i < row.field_count(); ++i) {
      FUZZ_CHECK(row.ends[i] >= prev_end);
      prev_end = row.ends[i];
      std::string_view f = row.field(i);
      FUZZ_CHECK(rowvane::is_valid_utf8(f.data(), f.size()));
      FUZZ_CHECK(fuzzref::ref_valid_utf8(f));
      FUZZ_CHECK(f == (*got2)[i]);
      if (want) FUZZ_CHECK(f == (*want)[i]);
    }
    if (want) FUZZ_CHECK(want->size() == row.field_count());
    FUZZ_CHECK(row.to_strings() == *got2);
    FUZZ_CHECK(rows <= text.size() + 1);
  }
  FUZZ_CHECK(p.pos() == text.size());

  // Exhausted stays exhausted, and moves nothing.
  const size_t pos_end = p.pos(), line_end = p.line();
  FUZZ_CHECK(!p.next_row(row));
  FUZZ_CHECK(!p2.next_row().has_value());
  FUZZ_CHECK(p.pos() == pos_end && p.line() == line_end);
  return 0;
}
