#include "core/parser.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

namespace rowvane {
namespace {

using Rows = std::vector<std::vector<std::string>>;

const std::string kFFFD = "\xEF\xBF\xBD";

Rows parse_all(std::string_view input, unsigned char delimiter = ',', unsigned char quote = '"',
               bool repair = true) {
  ResilientParser ps = make_parser(input, delimiter, quote, repair);
  Rows rows;
  while (auto row = ps.next_row()) rows.push_back(*row);
  return rows;
}

// A straightforward reference: the byte-at-a-time state machine, with the
// closing-quote look-ahead rescanning the rest of the line for every quote.
// Field decoding is checked on its own by the UTF-8 table below.
struct RefParser {
  std::string in;
  size_t pos = 0, line = 1;
  bool has_escape = false, repair = true, trim = false;
  unsigned char esc = 0, delim = ',', quote = '"';

  unsigned char at(size_t i) const { return static_cast<unsigned char>(in[i]); }
  bool brk(size_t i) const { return at(i) == '\r' || at(i) == '\n'; }
  bool blank(size_t i) const { return (at(i) == ' ' || at(i) == '\t') && at(i) != delim; }
  bool ends_field(size_t i) const {  // past blanks: end, delimiter or break
    while (i < in.size() && blank(i)) ++i;
    return i >= in.size() || at(i) == delim || brk(i);
  }
  bool closes(size_t q) const {
    size_t i = q + 1;
    while (i < in.size() && blank(i)) ++i;
    if (i >= in.size() || at(i) == delim || brk(i)) return true;
    for (size_t k = i; k < in.size() && !brk(k); ++k) {
      if (at(k) == quote && (k + 1 == in.size() || ends_field(k + 1))) return false;
    }
    return true;
  }

  std::optional<std::vector<std::string>> next() {
    if (pos >= in.size()) return std::nullopt;
    enum { Start, Unq, Quo, After } st = Start;
    std::vector<std::string> row;
    std::string buf;
    const size_t n = in.size();
    auto finish = [&] {
      repair_utf8_tail(buf, 0);
      row.push_back(buf);
      buf.clear();
    };
    auto end_record = [&] {
      if (at(pos) == '\r') ++pos;
      if (pos < n && at(pos) == '\n') ++pos;
      ++line;
    };
    for (;;) {
      if (pos >= n) {
        if (st == Start) {
          if (row.empty()) return std::nullopt;
          row.emplace_back();
        } else {
          finish();
        }
        return row;
      }
      const unsigned char c = at(pos);
      const bool is_blank = c == ' ' || c == '\t';
      switch (st) {
        case Start:
          if (trim && is_blank) {
            ++pos;
          } else if (c == quote) {
            ++pos, st = Quo;
          } else if (c == delim) {
            row.emplace_back(), ++pos;
          } else if (brk(pos)) {
            end_record();
            row.emplace_back();
            return row;
          } else {
            buf += static_cast<char>(c), ++pos, st = Unq;
          }
          break;
        case Unq:
          if (c == delim) {
            finish(), ++pos, st = Start;
          } else if (brk(pos)) {
            end_record();
            finish();
            return row;
          } else {
            buf += static_cast<char>(c), ++pos;
          }
          break;
        case Quo:
          if (has_escape && c == esc && pos + 1 < n) {
            buf += in[pos + 1], pos += 2;
          } else if (c == quote && pos + 1 < n && at(pos + 1) == quote) {
            buf += static_cast<char>(quote), pos += 2;
          } else if (c == quote && (pos + 1 == n || !repair || closes(pos))) {
            ++pos, st = After;
          } else {
            if (c == '\n') ++line;
            buf += static_cast<char>(c), ++pos;
          }
          break;
        case After:
          if (c == delim) {
            finish(), ++pos, st = Start;
          } else if (is_blank) {
            ++pos;
          } else if (brk(pos)) {
            end_record();
            finish();
            return row;
          } else {
            buf += static_cast<char>(c), ++pos, st = Unq;
          }
          break;
      }
    }
  }
};

struct Example {
  std::string input;
  Rows repaired;
  Rows unrepaired;
};

TEST(Parser, QuoteExamplesWithAndWithoutRepair) {
  const std::vector<Example> table = {
      {"\"say \"hi\" now\",x\n", {{"say \"hi\" now", "x"}}, {{"say hi\" now\"", "x"}}},
      {"\"a\"\"b\",c\n", {{"a\"b", "c"}}, {{"a\"b", "c"}}},
      {"\"ab\"cd,e\n", {{"abcd", "e"}}, {{"abcd", "e"}}},
      {"\"ab\"  ,e\n", {{"ab", "e"}}, {{"ab", "e"}}},
      {"a\"b,c\n", {{"a\"b", "c"}}, {{"a\"b", "c"}}},
      {"\"ab\" x,\n", {{"abx", ""}}, {{"abx", ""}}},
      // The look-ahead stops at the line end: the later good quote is on
      // another line, so the first quote closes.
      {"\"a\"b\nc\"\n", {{"ab"}, {"c\""}}, {{"ab"}, {"c\""}}},
  };
  for (const auto& ex : table) {
    EXPECT_EQ(parse_all(ex.input, ',', '"', true), ex.repaired) << ex.input;
    EXPECT_EQ(parse_all(ex.input, ',', '"', false), ex.unrepaired) << ex.input;
  }
}

TEST(Parser, EdgeCases) {
  const std::vector<std::pair<std::string, Rows>> table = {
      {"", {}},
      {"\xEF\xBB\xBF", {}},
      {"\xEF\xBB\xBF" "a,b", {{"a", "b"}}},
      {"a,\xEF\xBB\xBF", {{"a", "\xEF\xBB\xBF"}}},  // only skipped at the start
      {"\xEF\xBB", {{kFFFD}}},                       // too short to be a mark
      {"a,b\n", {{"a", "b"}}},
      {"a,b", {{"a", "b"}}},
      {"\n", {{""}}},
      {"\r", {{""}}},
      {"\r\n", {{""}}},
      {"\n\r", {{""}, {""}}},
      {"a,b,\n", {{"a", "b", ""}}},
      {"a,b,", {{"a", "b", ""}}},
      {",\n", {{"", ""}}},
      {"\"a,b\"", {{"a,b"}}},
      {"\"\"", {{""}}},
      {"\"\",\"\"", {{"", ""}}},
      {"\"a\"\"", {{"a\""}}},
      {"x,\"", {{"x", ""}}},
      {"\"abc", {{"abc"}}},
      {"a,\"b\nc,d\n", {{"a", "b\nc,d\n"}}},
      {" \"a\",b", {{" \"a\"", "b"}}},
      {"\xC3\x28", {{kFFFD + "("}}},
      {"ab\"c", {{"ab\"c"}}},
  };
  for (const auto& [input, expected] : table) {
    EXPECT_EQ(parse_all(input), expected) << "input: " << input;
  }
  // NUL and control bytes are ordinary text.
  EXPECT_EQ(parse_all(std::string("a\0b,\x01", 5)), (Rows{{std::string("a\0b", 3), "\x01"}}));
}

TEST(Parser, ExhaustedParserStaysExhausted) {
  ResilientParser ps = make_parser("a\n", ',', '"', true);
  RowBuf row;
  ASSERT_TRUE(ps.next_row(row));
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(ps.next_row(row));
    EXPECT_EQ(row.field_count(), 0u);
  }
}

// Line read before each call, then line and pos after the last call.
TEST(Parser, LineCounter) {
  struct Case {
    std::string input;
    std::vector<size_t> lines_before_rows;
    size_t final_line;
  };
  const std::vector<Case> table = {
      {"\"x\ny\",z\n", {1}, 3},
      {"a,b", {1}, 1},      // unterminated last record keeps its line
      {"a\nb", {1, 2}, 2},
      {"a\r\nb\r\n", {1, 2}, 3},
      {"a\n\"b\nc\nd", {1, 2}, 4},  // unclosed quote: its LFs count, no final +1
      {"\"\n\n\",\"\n\"\nz\n", {1, 5}, 6},
  };
  for (const auto& c : table) {
    ResilientParser ps = make_parser(c.input, ',', '"', true);
    std::vector<size_t> lines;
    RowBuf row;
    for (;;) {
      const size_t before = ps.line();
      if (!ps.next_row(row)) break;
      lines.push_back(before);
    }
    EXPECT_EQ(lines, c.lines_before_rows) << c.input;
    EXPECT_EQ(ps.line(), c.final_line) << c.input;
    EXPECT_EQ(ps.pos(), c.input.size());
  }
}

TEST(Parser, BlankDelimiterIsTestedBeforeBlanksAfterAQuote) {
  EXPECT_EQ(parse_all("\"a\"\t\"b\"\n", '\t'), (Rows{{"a", "b"}}));
  EXPECT_EQ(parse_all("\"a\" \"b\"\n", ' '), (Rows{{"a", "b"}}));
  // The later quote counts as closing-capable because a TAB delimiter
  // follows it, so the first, followed by text, is stray.
  EXPECT_EQ(parse_all("\"a\"b\"\tc\n", '\t'), (Rows{{"a\"b", "c"}}));
  // A space after a quote is skipped when the delimiter is TAB.
  EXPECT_EQ(parse_all("\"a\" \t\"b\" \n", '\t'), (Rows{{"a", "b"}}));
}

TEST(Utf8, MaximalSubparts) {
  const std::string F = kFFFD;
  const std::vector<std::pair<std::string, std::string>> table = {
      {"plain ascii text", "plain ascii text"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"\xC3\x28", F + "("},
      {"\xE0\x80", F + F},            // E0 needs A0..BF next
      {"\xE0\xA0", F},                // truncated, one subpart
      {"\xF0\x90\x80", F},            // truncated four-byte form
      {"\xF0\x90\x80z", F + "z"},
      {"\xED\xA0\x80", F + F + F},    // surrogate
      {"\xC0\xAF", F + F},
      {"\xC1", F},
      {"\xF5\x80\x80\x80", F + F + F + F},
      {"\xFF", F},
      {"\xF4\x90\x80\x80", F + F + F + F},  // past U+10FFFF
      {"\x80\xBF", F + F},
      {"\xF0\x80", F + F},            // F0 needs 90..BF next
      {"\xC2", F},
      {"\xF1\x80\x80\xC3\xA9", F + "\xC3\xA9"},
      {"\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", "\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF"},
      {"abcdefgh\xC3", "abcdefgh" + F},       // after the word-sized fast path
      {"abcdefghijklmnop\xE2\x82\xAC", "abcdefghijklmnop\xE2\x82\xAC"},
  };
  for (const auto& [raw, decoded] : table) {
    EXPECT_EQ(is_valid_utf8(raw.data(), raw.size()), raw == decoded) << raw;
    std::string text = "keep\xFF" + raw;
    repair_utf8_tail(text, 5);  // the prefix before `begin` stays untouched
    EXPECT_EQ(text, "keep\xFF" + decoded);
    EXPECT_EQ(parse_all(raw), (Rows{{decoded}}));
  }
  // Decoding is per field: a character split by a delimiter is damaged twice.
  EXPECT_EQ(parse_all("\xC3,\xA9"), (Rows{{F, F}}));
}

TEST(Parser, RandomInputsMatchReferenceMachine) {
  const unsigned char alphabet[] = {'a', '"', '\'', ',', ' ', '\t', '\r', '\n', ';', '\\', 0xC3, 0xA9, 0xFF};
  // High bytes as delimiter or quote split or close inside UTF-8 sequences.
  const unsigned char delimiters[] = {',', ';', '\t', ' ', 0xA9};
  const unsigned char quotes[] = {'"', '\'', 0xC3};
  std::mt19937 rng(12345);
  for (const unsigned char delim : delimiters) {
    for (const unsigned char quote : quotes) {
      for (int flags = 0; flags < 8; ++flags) {
        for (int iter = 0; iter < 2000; ++iter) {
          std::string in = rng() % 16 == 0 ? "\xEF\xBB\xBF" : "";
          // Every fourth input is long, mostly quotes, delimiters and letters,
          // so that the sixteen-byte paths meet blocks with and without blanks.
          const bool long_input = iter % 4 == 0;
          const size_t len = long_input ? rng() % 160 : rng() % 24;
          // Half the bytes come from the ones that drive the state machine, so
          // that quotes, blanks and delimiters meet often.
          const unsigned char hot[] = {quote, quote, delim, ' ', '\t', '\n', 'a'};
          const unsigned char dense[] = {quote, quote, delim, 'a'};
          for (size_t i = 0; i < len; ++i) {
            if (long_input && rng() % 8 != 0) {
              in += static_cast<char>(dense[rng() % sizeof dense]);
              continue;
            }
            in += static_cast<char>(rng() % 2 ? hot[rng() % sizeof hot]
                                              : alphabet[rng() % sizeof alphabet]);
          }

          ResilientParser ps(in, ParserOptions{delim, quote, (flags & 1) != 0, (flags & 2) != 0,
                                               (flags & 4) != 0, '\\'});
          RefParser ref;
          ref.in = in;
          ref.pos = bom_offset(in);
          ref.repair = flags & 1;
          ref.trim = flags & 2;
          ref.has_escape = flags & 4;
          ref.esc = '\\';
          ref.delim = delim;
          ref.quote = quote;

          RowBuf row;
          for (int call = 0; call < 64; ++call) {
            const auto want = ref.next();
            const bool got = ps.next_row(row);
            ASSERT_EQ(got, want.has_value()) << testing::PrintToString(in) << " flags " << flags;
            if (got) {
              ASSERT_EQ(row.to_strings(), *want) << testing::PrintToString(in) << " delim "
                                                 << int(delim) << " quote " << quote
                                                 << " flags " << flags;
            }
            ASSERT_EQ(ps.pos(), ref.pos);
            ASSERT_EQ(ps.line(), ref.line);
            if (!got) break;
          }
        }
      }
    }
  }
}

// Hostile lines for the closing-quote look-ahead. The answer must be right;
// the speed is the benchmarks' business.
TEST(Parser, TenMegabyteLineOfQuestionableQuotes) {
  const size_t pairs = 5'000'000;
  std::string in = "\"";
  in.reserve(2 * pairs + 8);
  for (size_t i = 0; i < pairs; ++i) in += "a\"";
  in += ",x\n";
  // Every quote but the last is followed by text while a later quote could
  // still close the field: all are stray except the last.
  const Rows rows = parse_all(in);
  ASSERT_EQ(rows.size(), 1u);
  ASSERT_EQ(rows[0].size(), 2u);
  EXPECT_EQ(rows[0][0].size(), 2 * pairs - 1);
  EXPECT_EQ(rows[0][0].substr(0, 5), "a\"a\"a");
  EXPECT_EQ(rows[0][1], "x");

  // A TAB quote byte inside one long blank run: every quote in it is
  // followed by blanks that end in text, while the quote after `x` can close.
  std::string tabs = "\t";
  for (size_t i = 0; i < pairs; ++i) tabs += " \t";
  tabs += "x\t,y";
  const Rows tab_rows = parse_all(tabs, ',', '\t');
  ASSERT_EQ(tab_rows.size(), 1u);
  ASSERT_EQ(tab_rows[0].size(), 2u);
  EXPECT_EQ(tab_rows[0][0].size(), 2 * pairs + 1);
  EXPECT_EQ(tab_rows[0][1], "y");
}

}  // namespace
}  // namespace rowvane
