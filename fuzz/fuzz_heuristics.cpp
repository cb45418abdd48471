// Fuzz target for delimiter sniffing and column-count inference.
//
// Input layout: byte 0 chooses the delimiter handed to the inference (values
// below 0x80 pick one of the four candidates, others are taken raw); the rest
// is the sample.
//
// Checks:
//   - sniff_delimiter returns one of , ; TAB |, and, whenever the scores are
//     determined (no tie between modes inside a candidate), the candidate that
//     a recount from the core parser's own rows says wins; "," when nothing
//     scores;
//   - infer_column_count is at most the number of delimiter bytes + 1, is 0
//     exactly when there is no non-blank row, and has the greatest tally among
//     the first 100 non-blank rows (ties to the larger count, as the header
//     promises);
//   - is_blank_row and is_unicode_white_space agree with the reference.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/heuristics.hpp"
#include "core/parser.hpp"
#include "fuzz/fuzz_common.hpp"

namespace {

using fuzzref::Row;

// Field counts of the first `limit` non-blank rows, parsed the way both
// heuristics parse (double quote, quote repair on).
std::vector<size_t> sampled_counts(std::string_view text, unsigned char delim, size_t limit) {
  std::vector<size_t> counts;
  rowvane::ResilientParser p = rowvane::make_parser(text, delim, '"', true);
  rowvane::RowBuf buf;
  while (counts.size() < limit && p.next_row(buf)) {
    Row row = buf.to_strings();
    const bool blank = fuzzref::ref_blank_row(row);
    FUZZ_CHECK(rowvane::is_blank_row(buf) == blank);
    if (!blank) counts.push_back(row.size());
  }
  return counts;
}

struct Score {
  double value = 0.0;
  bool determined = true;  // false when two modes tie and give different scores
};

Score score_of(const std::vector<size_t>& counts) {
  Score s;
  if (counts.size() < 2) return s;
  std::map<size_t, int> tally;
  for (size_t c : counts) ++tally[c];
  int best = 0;
  for (auto& [count, t] : tally)
    if (count >= 2 && t > best) best = t;
  if (best == 0) return s;
  int modes = 0;
  size_t mode = 0;
  for (auto& [count, t] : tally) {
    if (count >= 2 && t == best) {
      ++modes;
      mode = count;
    }
  }
  s.determined = modes == 1;
  s.value = std::max(std::log(static_cast<double>(mode)), 1.0) *
            (static_cast<double>(best) / static_cast<double>(counts.size()));
  return s;
}

bool g_white_space_checked = false;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!g_white_space_checked) {
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp)
      FUZZ_CHECK(rowvane::is_unicode_white_space(cp) == fuzzref::ref_white_space(cp));
    g_white_space_checked = true;
  }
  if (size < 1) return 0;
  const unsigned char sel = data[0];
  const unsigned char delim = sel < 0x80 ? rowvane::kSniffCandidates[sel % 4] : sel;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  // Sniffing.
  const unsigned char got = rowvane::sniff_delimiter(text);
  FUZZ_CHECK(got == ',' || got == ';' || got == '\t' || got == '|');
  Score scores[4];
  bool all_determined = true;
  double best = -1.0;
  unsigned char want = ',';
  for (int i = 0; i < 4; ++i) {
    scores[i] = score_of(sampled_counts(text, rowvane::kSniffCandidates[i], 50));
    all_determined = all_determined && scores[i].determined;
    if (scores[i].value > best) {
      best = scores[i].value;
      want = rowvane::kSniffCandidates[i];
    }
  }
  if (all_determined) {
    // Candidates within rounding of the best score are all acceptable (the
    // order of the arithmetic may differ); otherwise the winner is fixed.
    int near = 0;
    bool got_is_near = false;
    for (int i = 0; i < 4; ++i) {
      if (std::fabs(scores[i].value - best) <= 1e-9) {
        ++near;
        got_is_near = got_is_near || rowvane::kSniffCandidates[i] == got;
      }
    }
    if (near == 1) {
      FUZZ_CHECK(got == want);
    } else {
      FUZZ_CHECK(got_is_near);
    }
    if (best == 0.0) FUZZ_CHECK(got == ',');
  }

  // Column-count inference.
  const size_t cols = rowvane::infer_column_count(text, delim);
  size_t delims = 0;
  for (char c : text) delims += static_cast<unsigned char>(c) == delim;
  FUZZ_CHECK(cols <= delims + 1);
  const std::vector<size_t> counts = sampled_counts(text, delim, 100);
  if (counts.empty()) {
    FUZZ_CHECK(cols == 0);
  } else {
    std::map<size_t, int> tally;
    for (size_t c : counts) ++tally[c];
    int top = 0;
    size_t top_count = 0;
    for (auto& [count, t] : tally) {
      if (t >= top) {
        top = t;
        top_count = count;  // ascending keys: ties end on the larger count
      }
    }
    FUZZ_CHECK(tally.count(cols) == 1 && tally[cols] == top);
    FUZZ_CHECK(cols == top_count);
  }
  return 0;
}
