// scan_simple_row against the parser: whenever the scan takes a record, the
// parser reads as many fields, ends at the same offset and line, and the
// record written from the scan equals the encoder's record of the parsed row.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/parser.hpp"
#include "core/writer.hpp"

namespace rowvane {
namespace {

// The record written from the scan: the line without its dropped quotes,
// and an LF.
std::string record_of(std::string_view input, size_t begin, const SimpleRow& row) {
  std::string out;
  size_t from = begin;
  for (size_t q : row.dropped) {
    out.append(input.substr(from, q - from));
    from = q + 1;
  }
  out.append(input.substr(from, row.end - from));
  return out + "\n";
}

// Takes every record it can with the scan and checks it against the parser;
// returns how many it took.
size_t check_all(const std::string& input) {
  ResilientParser ps = make_parser(input, ',', '"', true);
  CsvRecordEncoder encoder(',', '"');
  SimpleRow simple;
  RowBuf row;
  size_t taken = 0;
  while (ps.pos() < input.size()) {
    const size_t begin = ps.pos();
    const bool ok = scan_simple_row(input, begin, ',', '"', simple);
    const size_t line = ps.line();
    if (!ps.next_row(row)) break;
    if (!ok) continue;
    ++taken;
    EXPECT_EQ(simple.fields, row.field_count()) << ::testing::PrintToString(input);
    EXPECT_EQ(simple.next, ps.pos()) << ::testing::PrintToString(input);
    EXPECT_EQ(line + simple.inner_lines + (simple.line_break ? 1 : 0), ps.line())
        << ::testing::PrintToString(input);
    std::string encoded;
    encoder.append_record(row, encoded);
    EXPECT_EQ(record_of(input, begin, simple), encoded) << ::testing::PrintToString(input);
  }
  return taken;
}

TEST(SimpleRow, Table) {
  const std::vector<std::string> cases = {
      "a,b,c\n",
      "\"a\",b,\"c\"\n",
      "\"a,b\",c\r\n",
      "\"\",x,\"\"\n",
      "\"say \"\"hi\"\"\",2\n",
      "\"x\"\"\",\"\"\"\"\n",
      "1,\"2\"",
      "1,\"2\",",
      "\"a\"b,c\n",           // text after the closing quote: parser
      "\"a\" ,c\n",           // a blank after it: parser
      "a\"b,c\n",             // a quote inside an unquoted field: parser
      "\"a\nb\",c\n",         // line breaks inside quotes
      "\"a\r\nb\rc\",\"\n\"\r\n",
      "\"abc\"\"\n",          // doubled quote then the line end: parser
      "\"unclosed,x\n",
      "\"\xC3\xA9\",\"\xE2\x82\xAC,\"\n",
      "\"\xC3\",x\n",         // invalid UTF-8: parser
      "\"a\"\r\"b\"\n",
      "\n\"a\"\n\r\n",
  };
  for (const std::string& c : cases) check_all(c);
  EXPECT_GT(check_all("\"a\",\"b,c\",\"d\"\"e\"\n1,\"2\",3\n"), 1u);
}

TEST(SimpleRow, RandomLines) {
  const std::vector<std::string> pieces = {"a", "bc", ",", "\"", "\"\"", "\n", "\r\n", " ",
                                           "\xC3\xA9", "\xFF", "\"x\"", "\"y,z\"",
                                           // quoted text across the sixteen-byte blocks
                                           "\"a long, quoted\ntext with \"\"doubled\"\" quotes\"",
                                           "\"twenty bytes of it, \r\n and a line\"", "0123456789abcdefghij"};
  std::mt19937 rng(41);
  size_t taken = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string text;
    const size_t k = rng() % 30;
    for (size_t i = 0; i < k; ++i) text += pieces[rng() % pieces.size()];
    taken += check_all(text);
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GT(taken, 1000u);
}

}  // namespace
}  // namespace rowvane
