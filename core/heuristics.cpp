// Delimiter sniffing and column-count inference. Both look only at the first
// non-blank rows of a buffer, so their cost does not grow with the file.
#include "core/heuristics.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace rowvane {
namespace {

constexpr size_t kSniffRows = 50;
constexpr size_t kInferRows = 100;

// Parses from the start of `input` (past a byte-order mark) with the double
// quote and quote repair on, whatever the run itself uses, and collects the
// field counts of up to `limit` non-blank rows. Blank rows neither count nor
// use up the limit.
struct Sample {
  std::vector<size_t> counts;  // field counts of the non-blank rows read
  bool whole_buffer = false;   // the parse reached the end of the input
  size_t end = 0;              // where the parse stopped
};

// Only field counts and blankness are needed, so the sample is read with the
// counting parse: no field text is copied.
bool is_blank(const RowCount& row) noexcept { return row.maybe_blank && is_blank_text(row.text); }

Sample sample_field_counts(std::string_view input, unsigned char delimiter, size_t limit) {
  ResilientParser parser = make_parser(input, delimiter, '"', true);
  RowCount row;
  Sample sample;
  sample.counts.reserve(limit);
  while (sample.counts.size() < limit) {
    if (!parser.next_row_counted(row)) {
      sample.whole_buffer = true;
      break;
    }
    if (!is_blank(row)) sample.counts.push_back(row.fields);
  }
  sample.end = parser.pos();
  return sample;
}

// Whether a sample of `head` is the sample of every input that begins with
// it: the parse stopped short of the head's end (a row is never decided by
// bytes past its own line, so rows ending inside the head read the same).
bool settles(const Sample& sample, std::string_view head, bool final) noexcept {
  return final || (!sample.whole_buffer && sample.end < head.size());
}

// True when the delimiter byte occurs nowhere in `input`: then every row is
// a single field, whatever the quoting, and parsing a sample can only find
// counts of 1. Proving that costs a scan of the whole buffer, so it is only
// tried where the sample itself would cost more: when the first line is long
// (a sample of 50 or 100 such rows may be the whole file).
constexpr size_t kLongLine = size_t{64} << 10;

bool long_first_line(std::string_view input) noexcept {
  return input.size() > kLongLine && input.substr(0, kLongLine).find_first_of("\r\n") == std::string_view::npos;
}

bool delimiter_absent_from_long_rows(std::string_view input, unsigned char delimiter) noexcept {
  return long_first_line(input) && std::memchr(input.data(), delimiter, input.size()) == nullptr;
}

// With the delimiter absent: 1 when the input has a non-blank row, else 0.
size_t single_column_count(std::string_view input, unsigned char delimiter) {
  ResilientParser parser = make_parser(input, delimiter, '"', true);
  RowCount row;
  while (parser.next_row_counted(row)) {
    if (!is_blank(row)) return 1;
  }
  return 0;
}

}  // namespace

Mode most_frequent(std::vector<size_t> counts, size_t min_count) {
  std::sort(counts.begin(), counts.end());
  Mode best;
  for (size_t i = 0; i < counts.size();) {
    size_t j = i;
    while (j < counts.size() && counts[j] == counts[i]) ++j;
    if (counts[i] >= min_count && j - i >= best.tally) best = {counts[i], j - i};
    i = j;
  }
  return best;
}

bool is_unicode_white_space(char32_t cp) noexcept {
  if (cp <= 0x20) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
  if (cp < 0x85) return false;
  if (cp < 0x2000) return cp == 0x85 || cp == 0xA0 || cp == 0x1680;
  if (cp <= 0x200A) return true;
  return cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

bool is_blank_row(const RowBuf& row) noexcept {
  // Two or more fields are never blank, even when all of them are empty.
  return row.field_count() == 1 && is_blank_text(row.field(0));
}

bool is_blank_text(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p < end) {
    char32_t cp;
    const size_t len = decode_utf8(p, end, cp);
    if (len == 0 || !is_unicode_white_space(cp)) return false;
    p += len;
  }
  return true;
}

static SniffOutcome sniff_head(std::string_view sample, bool final, bool& settled) {
  SniffOutcome best;
  double best_score = -1.0;
  for (const unsigned char candidate : kSniffCandidates) {
    double score = 0.0;
    // An absent candidate yields single-field rows only, which score 0.0.
    Sample rows = delimiter_absent_from_long_rows(sample, candidate)
                      ? Sample{}
                      : sample_field_counts(sample, candidate, kSniffRows);
    settled = settled && settles(rows, sample, final);
    const std::vector<size_t>& counts = rows.counts;
    if (counts.size() >= 2) {
      // A single column says nothing about the delimiter, so the mode needs 2.
      const Mode mode = most_frequent(counts, 2);
      if (mode.count != 0) {
        score = std::max(std::log(static_cast<double>(mode.count)), 1.0) *
                (static_cast<double>(mode.tally) / static_cast<double>(counts.size()));
      }
    }
    // Strictly greater: among equal scores the earlier candidate stays.
    if (score > best_score) {
      best.delimiter = candidate;
      best.whole_buffer = rows.whole_buffer;
      best.counts = std::move(rows.counts);
      best_score = score;
    }
  }
  return best;
}

SniffOutcome sniff_delimiter_outcome(std::string_view sample) {
  bool settled = true;
  return sniff_head(sample, true, settled);
}

unsigned char sniff_delimiter(std::string_view sample) {
  return sniff_delimiter_outcome(sample).delimiter;
}

size_t column_count_of(const std::vector<size_t>& counts) {
  return most_frequent(counts, 1).count;
}

size_t infer_column_count(std::string_view buffer, unsigned char delimiter) {
  if (delimiter_absent_from_long_rows(buffer, delimiter)) {
    return single_column_count(buffer, delimiter);
  }
  return column_count_of(sample_field_counts(buffer, delimiter, kInferRows).counts);
}

BasicLayout basic_layout(std::string_view head, bool final, std::optional<unsigned char> delimiter,
                         std::optional<size_t> expected_columns) {
  BasicLayout out;
  if (delimiter && expected_columns) {
    out.delimiter = *delimiter;
    out.columns = *expected_columns;
    return out;
  }
  // Whether the delimiter is absent from a long first line is a question
  // about the whole input.
  if (!final && long_first_line(head)) {
    out.settled = false;
    return out;
  }
  if (delimiter) {
    out.delimiter = *delimiter;
  } else {
    out.delimiter = sniff_head(head, final, out.settled).delimiter;
  }
  if (expected_columns) {
    out.columns = *expected_columns;
  } else if (delimiter_absent_from_long_rows(head, out.delimiter)) {
    out.columns = single_column_count(head, out.delimiter);
  } else {
    const Sample sample = sample_field_counts(head, out.delimiter, kInferRows);
    out.settled = out.settled && settles(sample, head, final);
    out.columns = column_count_of(sample.counts);
  }
  return out;
}

}  // namespace rowvane
