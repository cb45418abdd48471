// Fuzz target for the speculative block scan (scan_block), the UTF-8 stitch
// across blocks (Utf8Stitch) and the hints' lookup (RowHints).
//
// Input layout: byte 0 = delimiter (mod 4: , ; TAB |), byte 1 = block size
// (1 + byte % 64), byte 2 = quote (bit 0: ' instead of "), then the bytes,
// cut into blocks of that size at their input offsets.
//
// Checks, for every input:
//   - each hint lies inside its block with a byte of the block after its
//     line break, hints strictly in order and not overlapping;
//   - a hint is what scan_plain_row / scan_simple_row say of the same
//     offset in the whole input (end, next, fields, lines, quotes dropped),
//     and its output record is the row without those quotes and its line
//     break, plus a line feed;
//   - the stitched UTF-8 verdict over the blocks is the reference
//     validator's over the whole input;
//   - RowHints finds exactly the hinted offsets, asked in input order.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/block_scan.hpp"
#include "fuzz/fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace rowvane;
  if (size < 3) return 0;
  static constexpr unsigned char kDelimiters[] = {',', ';', '\t', '|'};
  const ScanSetup setup{kDelimiters[data[0] % 4], (data[2] & 1) != 0 ? static_cast<unsigned char>('\'')
                                                                      : static_cast<unsigned char>('"'),
                        true};
  const size_t block = 1 + data[1] % 64;
  const std::string text(reinterpret_cast<const char*>(data + 3), size - 3);

  std::vector<std::unique_ptr<BlockScan>> scans;
  Utf8Stitch stitch;
  bool valid = true;
  for (size_t at = 0; at < text.size() || at == 0; at += block) {
    const std::string_view b = std::string_view(text).substr(at, block);
    auto scan = std::make_unique<BlockScan>();
    scan_block(b, at, setup, *scan);
    FUZZ_CHECK(scan->offset == at && scan->size == b.size());
    size_t last_next = at;
    for (const RowHint& h : scan->rows) {
      FUZZ_CHECK(h.begin >= last_next && h.begin < at + b.size());
      FUZZ_CHECK(h.end < h.next && h.begin - at + h.next < b.size());
      last_next = h.begin + h.next;
      std::string want;
      if (h.kind == RowHint::Kind::Plain) {
        PlainRow p;
        FUZZ_CHECK(scan_plain_row(text, h.begin, setup.delimiter, setup.quote, p));
        FUZZ_CHECK(p.end == h.begin + h.end && p.next == h.begin + h.next && p.fields == h.fields &&
                   p.line_break == h.line_break && h.dropped_count == 0);
        want.assign(text, h.begin, h.end);
      } else {
        PlainRow p;
        FUZZ_CHECK(!scan_plain_row(text, h.begin, setup.delimiter, setup.quote, p));
        SimpleRow s;
        FUZZ_CHECK(scan_simple_row(text, h.begin, setup.delimiter, setup.quote, s));
        FUZZ_CHECK(s.end == h.begin + h.end && s.next == h.begin + h.next && s.fields == h.fields &&
                   s.inner_lines == h.inner_lines && s.line_break == h.line_break &&
                   s.dropped.size() == h.dropped_count);
        size_t from = h.begin;
        for (const size_t q : s.dropped) {
          want.append(text, from, q - from);
          from = q + 1;
        }
        want.append(text, from, s.end - from);
      }
      want += '\n';
      FUZZ_CHECK(h.output_size() == want.size());
      FUZZ_CHECK(std::string_view(scan->output).substr(h.output, h.output_size()) == want);
    }
    valid = stitch.add(b, *scan) && valid;
    scans.push_back(std::move(scan));
    if (text.empty()) break;
  }
  valid = stitch.finish() && valid;
  FUZZ_CHECK(valid == fuzzref::ref_valid_utf8(text));

  RowHints hints;
  for (const auto& s : scans) hints.add(s.get());
  size_t k = 0;
  std::vector<size_t> hinted;
  for (const auto& s : scans) {
    for (const RowHint& h : s->rows) hinted.push_back(h.begin);
  }
  for (size_t at = 0; at <= text.size(); ++at) {
    const RowHint* h = hints.find(at);
    const bool expected = k < hinted.size() && hinted[k] == at;
    FUZZ_CHECK((h != nullptr) == expected);
    if (h != nullptr) {
      FUZZ_CHECK(h->begin == at);
      ++k;
    }
  }
  FUZZ_CHECK(k == hinted.size());
  return 0;
}
