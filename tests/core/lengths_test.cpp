// The 4 GiB length escape (core/lengths.hpp), and the row store's two row
// layouts (a plain line kept whole, a parsed row's texts back to back).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/lengths.hpp"
#include "core/row_store.hpp"

namespace rowvane {
namespace {

TEST(Lengths, RoundTripAroundTheEscape) {
  const std::vector<std::pair<uint64_t, size_t>> cases = {
      {0, 1},
      {1, 1},
      {0xFFFFFFFEull, 1},
      {0xFFFFFFFFull, 3},  // the escape value itself must take the escape
      {0x100000000ull, 3},
      {(5ull << 32) | 7, 3},
      {~0ull >> 1, 3},
  };
  std::vector<uint32_t> entries;
  size_t want_entries = 0;
  for (const auto& [n, size] : cases) {
    EXPECT_EQ(push_length(entries, n), size == 3) << n;
    want_entries += size;
    EXPECT_EQ(entries.size(), want_entries) << n;
  }
  size_t i = 0;
  for (const auto& [n, size] : cases) EXPECT_EQ(read_length(entries.data(), i), n);
  EXPECT_EQ(i, entries.size());
}

std::vector<std::string> row(const RowStore& store, size_t i) { return store.row_strings(i); }

TEST(RowStore, PlainLinesAndParsedRowsReadBackAlike) {
  struct Case {
    std::string line;
    std::vector<std::string> fields;
  };
  const std::vector<Case> cases = {
      {"", {""}},
      {"a", {"a"}},
      {",", {"", ""}},
      {"a,bb,,ccc", {"a", "bb", "", "ccc"}},
      {"x,y,z,0123456789abcdef,0123456789abcdef0,,", {"x", "y", "z", "0123456789abcdef", "0123456789abcdef0", "", ""}},
      {"caf\xC3\xA9,\xE2\x82\xAC", {"caf\xC3\xA9", "\xE2\x82\xAC"}},
  };
  RowStore store;
  for (const Case& c : cases) {
    store.push_split(c.line, c.fields.size(), ',');
    RowBuf buf;
    for (const std::string& f : c.fields) {
      buf.bytes += f;
      buf.ends.push_back(buf.bytes.size());
    }
    store.push(buf);
  }
  ASSERT_EQ(store.size(), cases.size() * 2);
  for (size_t k = 0; k < cases.size(); ++k) {
    size_t text = 0;
    for (const std::string& f : cases[k].fields) text += f.size();
    for (size_t i : {2 * k, 2 * k + 1}) {
      EXPECT_EQ(row(store, i), cases[k].fields) << i;
      EXPECT_EQ(store.field_count(i), cases[k].fields.size()) << i;
      EXPECT_EQ(store.row_bytes(i), text) << i;
    }
    EXPECT_EQ(store.row_span(2 * k), cases[k].line.size());
    EXPECT_EQ(store.row_span(2 * k + 1), text);
  }
}

}  // namespace
}  // namespace rowvane
