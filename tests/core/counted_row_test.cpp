// The counting parse against the record parse: the same records (offsets,
// lines, field counts) and the same blank rows, whatever the quoting,
// damage, white space and line ends.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/heuristics.hpp"
#include "core/parser.hpp"

namespace rowvane {
namespace {

void check_same(const std::string& input, unsigned char delimiter) {
  ResilientParser a = make_parser(input, delimiter, '"', true);
  ResilientParser b = make_parser(input, delimiter, '"', true);
  RowBuf row;
  RowCount count;
  for (;;) {
    const bool more = a.next_row(row);
    ASSERT_EQ(b.next_row_counted(count), more) << ::testing::PrintToString(input);
    if (!more) break;
    ASSERT_EQ(count.fields, row.field_count()) << ::testing::PrintToString(input);
    ASSERT_EQ(count.maybe_blank && is_blank_text(count.text), is_blank_row(row))
        << ::testing::PrintToString(input);
    ASSERT_EQ(a.pos(), b.pos());
    ASSERT_EQ(a.line(), b.line());
  }
}

TEST(CountedRow, Table) {
  for (const char* text : {"", "a", " \t", "\xC2\xA0", "\xE2\x80\x83 ", "\xC2", "\xFF ", " \" \" ",
                           "\"\"", "a,b\n\n \n\"x\"\"y\",z\r\n", "\"a\nb\" ,c", "\"a\"b\"c\"",
                           "\xE3\x80\x80\n\xE3\x80", " ,\n"}) {
    check_same(text, ',');
    check_same(text, ' ');
  }
}

TEST(CountedRow, RandomInputs) {
  const std::vector<std::string> pieces = {"a", ",", "\"", "\"\"", "\n", "\r", " ", "\t", ";",
                                           "\xC2\xA0", "\xE2\x80\xA8", "\xFF", "\xC3", "\x0B"};
  std::mt19937 rng(11);
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    const size_t k = rng() % 24;
    for (size_t i = 0; i < k; ++i) text += pieces[rng() % pieces.size()];
    check_same(text, ',');
    check_same(text, '\t');
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
}  // namespace rowvane
