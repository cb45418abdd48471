// Delimiter sniffing and column-count inference: both parse the first rows of
// a buffer with the resilient parser and look at how many fields they have.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/parser.hpp"

namespace rowvane {

// The candidate delimiters, in the order in which they are tried.
inline constexpr unsigned char kSniffCandidates[] = {',', ';', '\t', '|'};

// True when `row` is blank: exactly one field, empty once Unicode White_Space
// is trimmed from both ends.
bool is_blank_row(const RowBuf& row) noexcept;

// True when `cp` has the Unicode White_Space property (25 code points).
bool is_unicode_white_space(char32_t cp) noexcept;

// Guesses the delimiter of `sample` among kSniffCandidates; ',' when nothing
// scores. Reads at most 50 non-blank rows per candidate.
unsigned char sniff_delimiter(std::string_view sample);

// The most frequent field count among the first 100 non-blank rows of
// `buffer`; 0 when there is none. Ties go to the larger count.
size_t infer_column_count(std::string_view buffer, unsigned char delimiter);

}  // namespace rowvane
