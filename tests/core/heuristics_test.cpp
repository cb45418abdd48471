#include "core/heuristics.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace rowvane {
namespace {

std::string repeat(const std::string& line, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += line;
  return out;
}

TEST(Sniff, Examples) {
  const std::vector<std::pair<std::string, unsigned char>> table = {
      {"", ','},
      {"\xEF\xBB\xBF", ','},
      {"a;b;c", ','},    // one sampled row is not enough
      {"a;b;c\n", ','},
      {"\n\n \n", ','},  // blank lines only
      {"abc\ndef\n", ','},
      {"a;b\nc;d", ';'},
      {"a|b\nc|d", '|'},
      {"\xEF\xBB\xBF" "a;b\nc;d\n", ';'},
      {"a,b;c,d\ne,f;g,h\n", ','},           // mode 3 beats mode 2
      {"\"a;b\",c\n\"d;e\",f\n", ','},       // quoted delimiters do not split
      {"a;b\n\n\n \nc;d\n\n", ';'},          // blank lines change nothing
      {"a;b\tc\nd;e\tf\n", ';'},             // ; and TAB tie: the earlier wins
      {"\"a\"\t\"b\"\n\"c\"\t\"d\"\n", '\t'},  // quoted TAB-separated fields
      // ';' tallies two rows of 2 and two of 3: with the larger count as the
      // mode it scores 1.0986 x 0.5, just above the 1.0 x 0.5 of ','.
      {"a;b,c\na;b,c\na;b;c\na;b;c\n", ';'},
  };
  for (const auto& [sample, expected] : table) {
    EXPECT_EQ(sniff_delimiter(sample), expected) << testing::PrintToString(sample);
  }
}

TEST(Sniff, ReadsOnlyTheFirstFiftyNonBlankRows) {
  // Past row 50 ',' would win by far; within them it never splits a row.
  EXPECT_EQ(sniff_delimiter(repeat("a;b\n", 50) + repeat("a,b,c,d\n", 1000)), ';');
  EXPECT_EQ(sniff_delimiter(repeat("a;b\n", 10) + repeat("a,b,c,d\n", 1000)), ',');
}

TEST(Infer, Examples) {
  const std::vector<std::pair<std::string, size_t>> table = {
      {"", 0},
      {"\xEF\xBB\xBF", 0},
      {"\n \n\t\r\n\xC2\xA0\n\xE3\x80\x80\n\xE2\x80\xA8\n\xC2\x85\n", 0},
      {"a,b,c", 3},
      {"\xEF\xBB\xBF" "a,b\n", 2},
      {"h1,h2,h3\n1,2,3\n4,5,6\n7,8,9,10\n", 3},
      {"abc\ndef\n", 1},
      {"\"a,b\",c\n\"d\ne,f\",g\n", 2},
      {",,\n", 3},  // empty fields, but not a blank row
      {",\n\n\n", 2},
      {"'a,b',c\n", 3},  // inference always quotes with '"'
      {repeat("1,2,3\n", 50) + repeat("1,2,3,4\n", 50), 4},  // tie: the larger
      {repeat("1,2\n", 100) + repeat("1,2,3\n", 500), 2},
  };
  for (const auto& [buffer, expected] : table) {
    EXPECT_EQ(infer_column_count(buffer, ','), expected) << testing::PrintToString(buffer);
  }
}

TEST(Infer, BlankRowsDoNotUseUpTheHundred) {
  // Counted as rows, the 20 blank lines would push ten 3-field rows out and
  // leave 2 ahead; skipped, the two counts tie at 50 and the larger wins.
  const std::string buffer = repeat("a,b\n", 50) + repeat(" \n", 20) + repeat("a,b,c\n", 60);
  EXPECT_EQ(infer_column_count(buffer, ','), 3u);
}

TEST(Blank, RowsOfOneWhiteSpaceField) {
  struct Case {
    std::string input;
    bool blank;
  };
  const std::vector<Case> table = {
      {"\n", true},
      {" \t \n", true},
      {"\xC2\xA0\n", true},           // NBSP
      {"\xE3\x80\x80\n", true},       // ideographic space
      {"\xE2\x80\xA8\n", true},       // line separator
      {"\xC2\x85 \xE2\x80\x8A\n", true},
      {"\"  \"\n", true},             // quoted, still white space only
      {",\n", false},                 // two empty fields
      {" x \n", false},
      {"\xE2\x80\x8B\n", false},      // zero width space has no White_Space
      {"\xEF\xBB\xBF\xEF\xBB\xBF\n", false},  // a second byte-order mark is text
      {"\x85\n", false},              // a lone byte decodes to U+FFFD
  };
  for (const auto& c : table) {
    ResilientParser ps = make_parser(c.input, ',', '"', true);
    RowBuf row;
    ASSERT_TRUE(ps.next_row(row));
    EXPECT_EQ(is_blank_row(row), c.blank) << testing::PrintToString(c.input);
  }
}

TEST(Blank, WhiteSpacePropertyIsExactlyTheTwentyFiveCodePoints) {
  const std::vector<char32_t> white = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                                       0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                                       0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                                       0x2029, 0x202F, 0x205F, 0x3000};
  size_t found = 0;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (is_unicode_white_space(cp)) {
      ++found;
      EXPECT_NE(std::find(white.begin(), white.end(), cp), white.end()) << std::hex << uint32_t{cp};
    }
  }
  EXPECT_EQ(found, white.size());
}

// Long first lines take the shortcut for a delimiter that occurs nowhere;
// the answers must be those of parsing the sample.
TEST(LongRows, AbsentDelimiterGivesTheParsedAnswer) {
  const std::string long_text(100 * 1024, 'x');
  const std::string spaces(100 * 1024, ' ');
  struct Case {
    const char* name;
    std::string input;
    unsigned char sniffed;
    size_t columns_comma;
  };
  const std::vector<Case> cases = {
      {"one long line", long_text, ',', 1},
      {"long quoted lines", "\"" + long_text + "\"\n\"a\"\"b\"\n", ',', 1},
      {"long blank line, then nothing", spaces + "\n\n", ',', 0},
      {"long blank line, then text", spaces + "\nabc\n", ',', 1},
      {"pipes after a long first line", long_text + "\na|b\nc|d\n", '|', 1},
      {"commas after a long first line", long_text + "\na,b\nc,d\nc,d\n", ',', 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(sniff_delimiter(c.input), c.sniffed);
    EXPECT_EQ(infer_column_count(c.input, ','), c.columns_comma);
  }
}

}  // namespace
}  // namespace rowvane
