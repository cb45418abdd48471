#include "core/dialect.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rowvane {
namespace {

RowBuf row_of(const std::vector<std::string>& fields) {
  RowBuf row;
  for (const std::string& f : fields) {
    row.bytes += f;
    row.ends.push_back(row.bytes.size());
  }
  return row;
}

TEST(DialectTest, NumericAndHeaderLikeCells) {
  for (const char* s : {"12", " -3.5 ", "1,234.00", "2024-03-01", "12:30", "45%", "1e5", "$ 12"}) {
    EXPECT_TRUE(is_numeric_like(s)) << s;
  }
  for (const char* s : {"", "  ", "abc", "Q1 2024", "-", "12 apples", "e"}) {
    EXPECT_FALSE(is_numeric_like(s)) << s;
  }
  EXPECT_TRUE(is_header_like(row_of({"id", "name", "Q1 2024"})));
  EXPECT_FALSE(is_header_like(row_of({"id"})));
  EXPECT_FALSE(is_header_like(row_of({"id", ""})));
  EXPECT_FALSE(is_header_like(row_of({"id", "12"})));
  EXPECT_TRUE(same_fields(row_of({"a", " b"}), row_of({"a", "b "})));
  EXPECT_FALSE(same_fields(row_of({"a", "b"}), row_of({"a", "b", ""})));
}

struct QuoteCase {
  const char* text;
  unsigned char quote;
};

TEST(DialectTest, QuoteDetection) {
  const QuoteCase cases[] = {
      {"a,b\n1,2\n", '"'},
      {"a,'b,c'\n'x',2\n", '\''},
      {"a,\"b,c\"\n'x',2\n", '"'},               // double quotes do open fields
      {"name,note\nO'Brien,it's fine\nx,y\n", '"'},  // apostrophes inside words
      {"a;'b'\n'c';'d'\n", '\''},
      {"a, 'b, c'\n'x', 'y'\n", '\''},
  };
  for (const QuoteCase& c : cases) EXPECT_EQ(detect_quote(c.text), c.quote) << c.text;
}

struct LayoutCase {
  const char* name;
  std::string text;
  unsigned char delimiter;
  bool blank_after;
  unsigned char quote;
  size_t columns;
  size_t preamble;
  size_t header_rows;
  bool has_header;
};

std::string body(const char* sep, int rows) {
  std::string s;
  for (int i = 0; i < rows; ++i) {
    s += std::to_string(i) + sep + "x" + std::to_string(i) + sep + std::to_string(i * 2) + sep + "y\n";
  }
  return s;
}

TEST(DialectTest, Layouts) {
  const LayoutCase cases[] = {
      {"plain", "id,name,n,t\n" + body(",", 10), ',', false, '"', 4, 0, 1, true},
      {"preamble", "PREAMBLE,,,\n,,,\nid,name,n,t\n" + body(",", 10), ',', false, '"', 4, 2, 1, true},
      {"title and blank", "Report of May\n\nid;name;n;t\n" + body(";", 10), ';', false, '"', 4, 2, 1, true},
      {"no header: nothing skipped", ",,,\n" + body(",", 10), ',', false, '"', 4, 0, 1, false},
      {"comma space", "id, name, n, t\n" + body(", ", 10), ',', true, '"', 4, 0, 1, true},
      {"colon", "id:name:n:t\n" + body(":", 10), ':', false, '"', 4, 0, 1, true},
      {"apostrophes", "id,'na,me',n,'t'\n" + body(",", 10), ',', false, '\'', 4, 0, 1, true},
      {"two header lines", "Amount,Name,Due,Kind\nin EUR,,date,\n" + body(",", 10), ',', false, '"', 4, 0, 2, true},
      {"text table: second line is data", "a,b,c,d\nx,,y,\nz,,w,\n", ',', false, '"', 4, 0, 1, true},
  };
  for (const LayoutCase& c : cases) {
    const TableLayout l = detect_table(c.text, DetectOptions{});
    EXPECT_EQ(l.delimiter, c.delimiter) << c.name;
    EXPECT_EQ(l.blank_after_delimiter, c.blank_after) << c.name;
    EXPECT_EQ(l.quote_char, c.quote) << c.name;
    EXPECT_EQ(l.columns, c.columns) << c.name;
    EXPECT_EQ(l.preamble.size(), c.preamble) << c.name;
    EXPECT_EQ(l.header_rows, c.header_rows) << c.name;
    EXPECT_EQ(l.has_header, c.has_header) << c.name;
  }
}

TEST(DialectTest, GivenOptionsWin) {
  DetectOptions given;
  given.delimiter = ';';
  given.quote_char = '"';
  given.expected_columns = 7;
  const TableLayout l = detect_table("a,'b,c'\n1,'2,3'\n", given);
  EXPECT_EQ(l.delimiter, ';');
  EXPECT_FALSE(l.blank_after_delimiter);
  EXPECT_EQ(l.quote_char, '"');
  EXPECT_EQ(l.columns, 7u);
}

TEST(DialectTest, EmptyAndTinyInputs) {
  for (const char* text : {"", "\xEF\xBB\xBF", "\n\n\n", "a", ",,,,\n"}) {
    const TableLayout l = detect_table(text, DetectOptions{});
    EXPECT_LE(l.start, std::string(text).size()) << text;
  }
}

}  // namespace
}  // namespace rowvane
