#include "core/dialect.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
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

TEST(DialectTest, CellKinds) {
  const std::pair<const char*, CellKind> cases[] = {
      {"", CellKind::Empty},          {"  ", CellKind::Empty},        {"Total", CellKind::Text},
      {"Dec. 2009", CellKind::Text},  {"(2005 = 100)", CellKind::Text}, {"2005- $ millions", CellKind::Text},
      {"2009", CellKind::Label},      {" 1999 ", CellKind::Label},     {"2000 (1,000)", CellKind::Label},
      {"2005-06", CellKind::Label},   {"2005/2006", CellKind::Label},  {"2005-", CellKind::Label},
      {"12.5", CellKind::Number},     {"1,234", CellKind::Number},     {"2005-03-01", CellKind::Number},
      {"3000", CellKind::Number},     {"20091", CellKind::Number},     {"1750", CellKind::Number},
      {"NA", CellKind::Null},         {"n/a", CellKind::Null},         {"(X)", CellKind::Null},
      {"-", CellKind::Null},          {"...", CellKind::Null},         {"----", CellKind::Null},
      {"X Not applicable.", CellKind::Text},
  };
  for (const auto& [text, kind] : cases) EXPECT_EQ(cell_kind(text), kind) << text;
}

TEST(DialectTest, NoteLikeRows) {
  const std::pair<std::vector<std::string>, bool> cases[] = {
      {{"Source: Census Bureau."}, true},
      {{"1 Includes part-time workers.", "", "", ""}, true},
      {{"Source: Census Bureau", " 2010"}, true},    // a note holding the delimiter
      {{"Footnotes:", "", "", ""}, true},
      {{"Northeast", "", "", ""}, false},            // a group row
      {{"bob", ""}, false},                          // a row of data missing its value
      {{"oogie boogie", "bla"}, false},             // no blank after the delimiter: data
      {{"Note: rate per 1", "000 population"}, true},  // prose of three words or more
      {{"1", "Includes persons of any race.", "", ""}, true},
      {{"(2)", "Data withheld to avoid disclosure.", "", ""}, true},
      {{"1", "Alabama", "", ""}, false},            // an id and a name
      {{"12.5", "Includes persons of any race.", "", ""}, false},
      {{"Total", "12", "", ""}, false},
      {{"", "12", "", ""}, false},
      {{"NA", "", "", ""}, false},
      {{"a", "b", "c", "d"}, false},
  };
  for (const auto& [fields, note] : cases) EXPECT_EQ(is_note_like(row_of(fields), 4), note) << fields[0];
}

TEST(DialectTest, HeaderLinesJoined) {
  struct Case {
    std::vector<std::vector<std::string>> lines;
    std::vector<std::string> joined;
  };
  const Case cases[] = {
      {{{"", "Employed", "", "Unemployed", ""}, {"", "Male", "Female", "Male", "Female"}},
       {"", "Employed Male", "Employed Female", "Unemployed Male", "Unemployed Female"}},
      // a label over the label column spans nothing; a blank line adds nothing
      {{{"Region", "2009", "", "2010"}, {""}, {"", "Value", "Share", "Value"}},
       {"Region", "2009 Value", "2009 Share", "2010 Value"}},
      // a span ends at a column nothing below names
      {{{"", "Total", "", ""}, {"", "", "Male", ""}}, {"", "Total", "Total Male", ""}},
      // past the end of a short line its last span goes on (exports drop
      // trailing delimiters); the last line spans nothing
      {{{"Amount", "Name"}, {"in EUR", "", "date", ""}}, {"Amount in EUR", "Name", "Name date", ""}},
  };
  for (const Case& c : cases) {
    std::vector<RowBuf> lines;
    for (const auto& l : c.lines) lines.push_back(row_of(l));
    const RowBuf joined = join_header_lines(lines, c.joined.size());
    std::vector<std::string> got;
    for (size_t f = 0; f < joined.field_count(); ++f) got.emplace_back(joined.field(f));
    EXPECT_EQ(got, c.joined) << c.joined[1];
  }
}

std::string numbers(const char* label, int rows, int width, char sep = ',') {
  std::string s;
  for (int i = 0; i < rows; ++i) {
    s += std::string(label) + std::to_string(i);
    for (int f = 1; f < width; ++f) s += sep + std::to_string(100 + i * 7 + f) + ".5";
    s += '\n';
  }
  return s;
}

TEST(DialectTest, VerboseTableLayouts) {
  const LayoutCase cases[] = {
      {"year header", "Wheat by state\n(thousand tonnes)\n\nYear,2004,2005,2006\n" + numbers("S", 6, 4), ',', false,
       '"', 4, 3, 1, true},
      {"years with units", "STATE,\"2000 (1,000)\",\"2007 (1,000)\"\n" + numbers("S", 6, 3), ',', false, '"', 3, 0,
       1, true},
      {"blank corner", "Population by age\n,Total,Male,Female\n" + numbers("A", 6, 4), ',', false, '"', 4, 1, 1,
       true},
      {"two header lines with spans and a blank line",
       "Labour force\n\n,Employed,,Unemployed,\n\n,Male,Female,Male,Female\nNortheast,,,,\n" + numbers("R", 6, 5),
       ',', false, '"', 5, 2, 3, true},
      {"unit line below", "Indicator,2008,2009\nUnit,(2005=100),(2005=100)\n" + numbers("I", 6, 3), ',', false, '"',
       3, 0, 2, true},
      {"unit line above is preamble", "CPI\nUnit indicator,(2005 = 100)\n,2008,2009,2010\n" + numbers("I", 6, 4), ',',
       false, '"', 4, 2, 1, true},
      {"title over two cells", "Table 5\tHospital beds\t\t\n\t2015\t2016\t2017\n" + numbers("C", 6, 4, '\t'), '\t',
       false, '"', 4, 1, 1, true},
      {"group row below the header is data", "Crop,Area,Yield\nGrains,,\n" + numbers("C", 6, 3), ',', false, '"', 3,
       0, 1, true},
      {"a row of data on top is never preamble", "x,1,2\n" + numbers("C", 6, 3), ',', false, '"', 3, 0, 1, false},
      {"a date alone above the header is preamble", "Sales\n03/15/2011\n\nR,Jan,Feb\n" + numbers("C", 6, 3), ',',
       false, '"', 3, 3, 1, true},
      {"a full second line under a full header is data", "c1,c2,c3\nalpha,beta,gamma\n" + numbers("C", 6, 3), ',',
       false, '"', 3, 0, 1, true},
      {"null marks are not a header line", "a,b,c\nx,n/a,NA\n" + numbers("C", 6, 3), ',', false, '"', 3, 0, 1, true},
      {"titles outnumber the rows", "\"Table 2\"\n\"[Billions]\"\n\"Bureau\"\nLine,,2019,2020\n" + numbers("L", 3, 4) +
       "\"Legend\"\n\"Note.\"\n", ',', false, '"', 4, 3, 1, true},
  };
  for (const LayoutCase& c : cases) {
    const TableLayout l = detect_table(c.text, DetectOptions{});
    EXPECT_EQ(l.delimiter, c.delimiter) << c.name;
    EXPECT_EQ(l.columns, c.columns) << c.name;
    EXPECT_EQ(l.preamble.size(), c.preamble) << c.name;
    EXPECT_EQ(l.header_rows, c.header_rows) << c.name;
    EXPECT_EQ(l.has_header, c.has_header) << c.name;
  }
}

TEST(DialectTest, DelimitersByRegularity) {
  struct Case {
    const char* name;
    std::string text;
    unsigned char delimiter;
    bool escape;
  };
  const Case cases[] = {
      {"hash", "a#b#c\n1#2#3\n4#5#6\n7#8#9\n", '#', false},
      {"hash opening comment lines", "# note\n# more\na;b\n1;3#x\n6;7#8\n# end\n", ';', false},
      {"space, three columns", "x y z\n1 2 3\n4 5 6\n7 8 9\n", ' ', false},
      {"space, two columns of numbers", "a b\n1 1\n2 2\n3 2.1\n", ' ', false},
      {"space in prose is no delimiter", "name\nJohn Smith\nAnna Lee\nBo Ek\n", ',', false},
      {"space under a regular comma", "a b,c d\ne f,g h\ni j,k l\n", ',', false},
      {"one line", "a;b;c", ';', false},
      {"one line of prose and a semicolon", "Laski, Jan;1\n", ';', false},
      {"semicolons inside text", "id,name,note\n1,Anna,tea; cake\n2,Bob,none\n3,Carl,a; b; c\n4,Dora,x; y\n", ',',
       false},
      {"colon, two columns", "user:pw\nanna:x1\nbob:y2\ncarl:z3\n", ':', false},
      {"colons in times are text", "t,v\n12:30,1\n13:45,2\n14:00,3\n", ',', false},
      {"backslash escape", "id,c\n1,\"He said \\\"hi\\\" twice\"\n2,\"a \\\"b\\\", c\"\n3,\"d\"\n", ',', true},
      {"doubled quotes, no escape", "id,c\n1,\"He said \"\"hi\"\"\"\n2,\"C:\\\\dir\\\\\"\n", ',', false},
  };
  for (const Case& c : cases) {
    const TableLayout l = detect_table(c.text, DetectOptions{});
    EXPECT_EQ(l.delimiter, c.delimiter) << c.name;
    EXPECT_EQ(l.backslash_escape, c.escape) << c.name;
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
