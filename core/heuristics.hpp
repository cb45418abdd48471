// Delimiter sniffing and column-count inference: both parse the first rows of
// a buffer with the resilient parser and look at how many fields they have.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "core/parser.hpp"

namespace rowvane {

// The candidate delimiters, in the order in which they are tried.
inline constexpr unsigned char kSniffCandidates[] = {',', ';', '\t', '|'};

// True when `row` is blank: exactly one field, empty once Unicode White_Space
// is trimmed from both ends.
bool is_blank_row(const RowBuf& row) noexcept;

// True when `text` is empty once Unicode White_Space is trimmed from both ends.
bool is_blank_text(std::string_view text) noexcept;

// True when `cp` has the Unicode White_Space property (25 code points).
bool is_unicode_white_space(char32_t cp) noexcept;

// Guesses the delimiter of `sample` among kSniffCandidates; ',' when nothing
// scores. Reads at most 50 non-blank rows per candidate.
unsigned char sniff_delimiter(std::string_view sample);

// Sniffing, plus what it saw of the winning candidate: when that sample
// reached the end of the buffer, its field counts are those of every
// non-blank row, which is all inference would tally for the same delimiter.
struct SniffOutcome {
  unsigned char delimiter = ',';  // the sniffed delimiter
  bool whole_buffer = false;      // the winner's sample held every row
  std::vector<size_t> counts;     // the winner's field counts, in row order
};
SniffOutcome sniff_delimiter_outcome(std::string_view sample);

// The most frequent of `counts` that is at least `min_count`, and how often
// it occurs; among equal tallies the larger count wins, so the answer never
// depends on an order. {0, 0} when no count qualifies.
struct Mode {
  size_t count = 0;
  size_t tally = 0;
};
Mode most_frequent(std::vector<size_t> counts, size_t min_count);

// The column count inference gives for these field counts of non-blank rows.
size_t column_count_of(const std::vector<size_t>& counts);

// The most frequent field count among the first 100 non-blank rows of
// `buffer`; 0 when there is none. Ties go to the larger count.
size_t infer_column_count(std::string_view buffer, unsigned char delimiter);

// The layout of the basic run: the delimiter (given, else sniffed) and the
// column count (given, else inferred), read from the start of the input.
// When `head` is only the start of a longer input (`final` false) the answer
// is `settled` once the rows sniffing and inference read end inside it: it is
// then the answer for the whole input.
struct BasicLayout {
  unsigned char delimiter = ',';
  size_t columns = 0;
  bool settled = true;
};
BasicLayout basic_layout(std::string_view head, bool final, std::optional<unsigned char> delimiter,
                         std::optional<size_t> expected_columns);

}  // namespace rowvane
