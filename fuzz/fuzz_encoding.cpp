// Fuzz target for the decode stage.
//
// Input layout: byte 0 = encoding (mod 6: UTF-8, UTF-16 LE, UTF-16 BE,
// UTF-32 LE, UTF-32 BE, single byte), byte 1 = flags, byte 2 = the census's
// sample cap (8 times the byte, 0 for the default), then, when flags bit 2
// is set, 16 bytes from which the page is built, then the text.
//   flags bits 0-1: errors (mod 3: Replace, Strict, Quarantine)
//   flags bit 2: the page is built from the 16 bytes (else cp1252); its
//                entries include unmapped bytes, ASCII that is not itself,
//                and entries that are no BMP scalar value (treated as
//                unmapped)
//   flags bit 3: UTF-8 without a fallback page
//
// Checks, for every input:
//   - the decoded text, marks, status and stats equal those of a literal
//     decoder written here from the rules (UTF-8 maximal subparts through
//     the page, surrogate pairs, UTF-32 ranges, partial units at the end;
//     one U+FFFD and one mark per undecodable unit; Strict stops at the
//     first with its offset, length and line);
//   - the text is valid UTF-8 (core and reference validators), at most
//     max_decoded_size, marks strictly increasing inside it; Replace and
//     Quarantine give the same result;
//   - census_utf8 equals a line-by-line count, its sample is the invalid
//     lines in order (all of them when they fit, else some, the last one
//     perhaps cut, never more than the cap);
//   - decide_encoding is consistent with match_bom, the NUL pattern, the
//     validity of the text after the mark and the census of that text.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/encoding.hpp"
#include "core/utf8.hpp"
#include "fuzz/fuzz_common.hpp"

namespace {

using rowvane::ByteTable;
using rowvane::DecodeErrors;
using rowvane::DecodeStatus;
using rowvane::MarkKind;
using rowvane::TextEncoding;

constexpr TextEncoding kEncodings[] = {TextEncoding::Utf8,    TextEncoding::Utf16LE,
                                       TextEncoding::Utf16BE, TextEncoding::Utf32LE,
                                       TextEncoding::Utf32BE, TextEncoding::SingleByte};

ByteTable page_from(const uint8_t* key) {
  ByteTable t{};
  for (unsigned b = 0; b < 256; ++b) {
    const unsigned k = key[b % 16];
    const unsigned mix = (k ^ b) & 0xFF;
    switch ((k + b / 16) % 8) {
      case 0: t[b] = rowvane::kUnmapped; break;
      case 1: t[b] = mix & 0x7F; break;
      case 2: t[b] = 0x80 + mix; break;
      case 3: t[b] = 0x100 + mix * 7; break;
      case 4: t[b] = 0x800 + mix * 233; break;
      case 5: t[b] = 0xD800 + mix; break;   // a surrogate: no character
      case 6: t[b] = 0x10000 + mix; break;  // astral: no code page has one
      default: t[b] = b; break;
    }
  }
  return t;
}

// The literal decoder.
struct Ref {
  std::string text;
  std::vector<std::pair<size_t, MarkKind>> marks;
  size_t replaced = 0, fallback = 0;
  bool strict = false, stopped = false;
  size_t error_offset = 0, error_length = 0;

  bool bad(size_t at, size_t len) {
    if (stopped) return false;
    if (strict) {
      stopped = true;
      error_offset = at;
      error_length = len;
      return false;
    }
    marks.push_back({text.size(), MarkKind::Replaced});
    fuzzref::append_cp(text, 0xFFFD);
    replaced += len;
    return true;
  }
};

bool page_maps(const ByteTable& t, unsigned char b) {
  const char32_t cp = t[b];
  return cp <= 0xFFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
}

Ref ref_decode(std::string_view in, TextEncoding enc, const ByteTable* table, bool strict) {
  Ref r;
  r.strict = strict;
  const auto at = [&](size_t i) -> uint32_t { return static_cast<unsigned char>(in[i]); };
  const size_t n = in.size();
  switch (enc) {
    case TextEncoding::Utf8:
      fuzzref::walk_utf8(in, [&](char32_t, size_t b, size_t e, bool ok) {
        if (r.stopped) return;
        if (ok) {
          r.text.append(in.substr(b, e - b));
        } else if (table == nullptr) {
          r.bad(b, e - b);
        } else {
          bool run = false;
          for (size_t i = b; i < e && !r.stopped; ++i) {
            if (!page_maps(*table, static_cast<unsigned char>(in[i]))) {
              run = false;
              r.bad(i, 1);
              continue;
            }
            if (!run) r.marks.push_back({r.text.size(), MarkKind::Fallback});
            run = true;
            fuzzref::append_cp(r.text, (*table)[static_cast<unsigned char>(in[i])]);
            ++r.fallback;
          }
        }
      });
      break;
    case TextEncoding::Utf16LE:
    case TextEncoding::Utf16BE: {
      const bool be = enc == TextEncoding::Utf16BE;
      const auto unit = [&](size_t i) { return be ? at(i) << 8 | at(i + 1) : at(i + 1) << 8 | at(i); };
      size_t i = 0;
      for (; i + 2 <= n && !r.stopped; i += 2) {
        const uint32_t u = unit(i);
        if (u < 0xD800 || u > 0xDFFF) {
          fuzzref::append_cp(r.text, u);
        } else if (u < 0xDC00 && i + 4 <= n && unit(i + 2) >= 0xDC00 && unit(i + 2) <= 0xDFFF) {
          fuzzref::append_cp(r.text, 0x10000 + ((u - 0xD800) << 10) + (unit(i + 2) - 0xDC00));
          i += 2;
        } else {
          r.bad(i, 2);
        }
      }
      if (i < n) r.bad(i, 1);
      break;
    }
    case TextEncoding::Utf32LE:
    case TextEncoding::Utf32BE: {
      const bool be = enc == TextEncoding::Utf32BE;
      size_t i = 0;
      for (; i + 4 <= n && !r.stopped; i += 4) {
        const uint32_t u = be ? at(i) << 24 | at(i + 1) << 16 | at(i + 2) << 8 | at(i + 3)
                              : at(i + 3) << 24 | at(i + 2) << 16 | at(i + 1) << 8 | at(i);
        if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) {
          r.bad(i, 4);
        } else {
          fuzzref::append_cp(r.text, u);
        }
      }
      if (i < n) r.bad(i, n - i);
      break;
    }
    case TextEncoding::SingleByte:
      for (size_t i = 0; i < n && !r.stopped; ++i) {
        const unsigned char b = static_cast<unsigned char>(in[i]);
        if (page_maps(*table, b)) {
          fuzzref::append_cp(r.text, (*table)[b]);
        } else {
          r.bad(i, 1);
        }
      }
      break;
    case TextEncoding::External: break;
  }
  return r;
}

void check_decode(std::string_view text, TextEncoding enc, const ByteTable* table, DecodeErrors errors,
                  rowvane::DecodedText& out) {
  const DecodeStatus status = rowvane::decode_text(text, rowvane::DecodeOptions{enc, table, errors}, out);
  const std::string_view got = out.bytes.view();
  FUZZ_CHECK(got.size() <= rowvane::max_decoded_size(text.size(), enc));
  FUZZ_CHECK(rowvane::is_valid_utf8(got.data(), got.size()));
  FUZZ_CHECK(fuzzref::ref_valid_utf8(got));
  for (size_t i = 0; i < out.marks.size(); ++i) {
    FUZZ_CHECK(out.marks[i].offset < got.size());
    FUZZ_CHECK(i == 0 || out.marks[i].offset > out.marks[i - 1].offset);
  }

  const ByteTable* page = enc == TextEncoding::SingleByte && table == nullptr ? &rowvane::cp1252_table()
                          : enc == TextEncoding::Utf8 || enc == TextEncoding::SingleByte ? table
                                                                                          : nullptr;
  const Ref ref = ref_decode(text, enc, page, errors == DecodeErrors::Strict);
  FUZZ_CHECK(got == ref.text);
  FUZZ_CHECK(out.marks.size() == ref.marks.size());
  for (size_t i = 0; i < ref.marks.size(); ++i) {
    FUZZ_CHECK(out.marks[i].offset == ref.marks[i].first && out.marks[i].kind == ref.marks[i].second);
  }
  FUZZ_CHECK(out.stats.replaced_bytes == ref.replaced);
  FUZZ_CHECK(out.stats.fallback_bytes == ref.fallback);
  FUZZ_CHECK((status == DecodeStatus::Undecodable) == ref.stopped);
  FUZZ_CHECK(status == DecodeStatus::Ok || status == DecodeStatus::Undecodable);
  if (ref.stopped) {
    FUZZ_CHECK(out.stats.error_offset == ref.error_offset);
    FUZZ_CHECK(out.stats.error_length == ref.error_length);
    FUZZ_CHECK(out.stats.error_length >= 1);
    FUZZ_CHECK(out.stats.error_offset + out.stats.error_length <= text.size());
    size_t lines = 1;
    for (char c : ref.text) lines += c == '\n';
    FUZZ_CHECK(out.stats.error_line == lines);
  } else {
    FUZZ_CHECK(out.stats.error_offset == 0 && out.stats.error_length == 0 && out.stats.error_line == 0);
  }
}

// The census, line by line.
void check_census(std::string_view text, size_t cap) {
  const rowvane::Utf8Census c = rowvane::census_utf8(text, cap);
  size_t valid = 0, sequences = 0, invalid_bytes = 0;
  std::vector<std::string_view> invalid;
  std::array<bool, 128> high{};
  for (size_t at = 0; at < text.size();) {
    const size_t lf = text.find('\n', at);
    const size_t next = lf == std::string_view::npos ? text.size() : lf + 1;
    const std::string_view line = text.substr(at, next - at);
    bool has_high = false, ok = true;
    for (char ch : line) has_high = has_high || static_cast<unsigned char>(ch) >= 0x80;
    fuzzref::walk_utf8(line, [&](char32_t, size_t, size_t, bool good) {
      ok = ok && good;
      sequences += !good;
    });
    if (has_high && ok) ++valid;
    if (!ok) {
      invalid.push_back(line);
      invalid_bytes += line.size();
      for (char ch : line) {
        if (static_cast<unsigned char>(ch) >= 0x80) high[static_cast<unsigned char>(ch) - 0x80] = true;
      }
    }
    at = next;
  }
  FUZZ_CHECK(c.valid_lines == valid);
  FUZZ_CHECK(c.invalid_lines == invalid.size());
  FUZZ_CHECK(c.invalid_sequences == sequences);
  FUZZ_CHECK(c.high_bytes == high);
  FUZZ_CHECK(c.invalid_sequences >= c.invalid_lines);
  FUZZ_CHECK(c.sample.size() <= cap);

  std::string all;
  for (std::string_view line : invalid) all += line;
  if (invalid_bytes <= cap) {
    FUZZ_CHECK(c.sample == all);
    return;
  }
  // Some invalid lines in order, the first of them included; the last one
  // taken may be cut at the cap.
  FUZZ_CHECK(cap == 0 || c.sample.substr(0, invalid[0].size()) == invalid[0].substr(0, cap));
  size_t pos = 0;
  for (std::string_view line : invalid) {
    if (pos == c.sample.size()) break;
    const std::string_view left = std::string_view(c.sample).substr(pos);
    if (left.substr(0, line.size()) == line) {
      pos += line.size();
    } else if (c.sample.size() == cap && left.size() < line.size() &&
               line.substr(0, left.size()) == left) {
      pos = c.sample.size();
    }
  }
  FUZZ_CHECK(pos == c.sample.size());
}

void check_decision(std::string_view text, size_t cap) {
  const rowvane::EncodingDecision d = rowvane::decide_encoding(text, cap);
  const rowvane::BomMatch bom = rowvane::match_bom(text);
  FUZZ_CHECK(d.skip == bom.length);
  const std::string_view rest = text.substr(d.skip);
  const bool rest_valid = fuzzref::ref_valid_utf8(rest);
  FUZZ_CHECK(d.stray_bom == (bom.length != 0 && bom.encoding == TextEncoding::Utf8 && !rest_valid));
  FUZZ_CHECK(d.needs_page == (d.source == rowvane::EncodingSource::Fallback ||
                              d.source == rowvane::EncodingSource::Detected));
  FUZZ_CHECK(d.mixed == (d.source == rowvane::EncodingSource::Fallback));
  switch (d.source) {
    case rowvane::EncodingSource::Bom:
      FUZZ_CHECK(bom.length != 0 && d.encoding == bom.encoding && !d.stray_bom);
      break;
    case rowvane::EncodingSource::NulPattern:
      FUZZ_CHECK(bom.length == 0 || d.stray_bom);
      FUZZ_CHECK(d.encoding == rowvane::wide_encoding_from_nuls(rest));
      FUZZ_CHECK(rest.find('\0') != std::string_view::npos);
      break;
    case rowvane::EncodingSource::Utf8:
      FUZZ_CHECK(bom.length == 0 && rest_valid && d.encoding == TextEncoding::Utf8);
      FUZZ_CHECK(rowvane::wide_encoding_from_nuls(rest) == TextEncoding::Utf8);
      break;
    case rowvane::EncodingSource::Fallback:
    case rowvane::EncodingSource::Detected: {
      FUZZ_CHECK(!rest_valid && rowvane::wide_encoding_from_nuls(rest) == TextEncoding::Utf8);
      FUZZ_CHECK(d.encoding == (d.mixed ? TextEncoding::Utf8 : TextEncoding::SingleByte));
      const rowvane::Utf8Census c = rowvane::census_utf8(rest, cap);
      FUZZ_CHECK(d.census.valid_lines == c.valid_lines && d.census.invalid_lines == c.invalid_lines);
      FUZZ_CHECK(d.census.invalid_sequences == c.invalid_sequences && d.census.sample == c.sample);
      FUZZ_CHECK(c.invalid_lines >= 1);
      FUZZ_CHECK(!d.mixed || c.valid_lines >= 1);
      break;
    }
    default:
      FUZZ_CHECK(false);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const TextEncoding enc = kEncodings[data[0] % 6];
  const unsigned char flags = data[1];
  const DecodeErrors errors = static_cast<DecodeErrors>((flags & 3) % 3);
  const size_t cap = data[2] == 0 ? size_t{1} << 16 : size_t{data[2]} * 8;
  size_t head = 3;
  ByteTable built{};
  const ByteTable* table = &rowvane::cp1252_table();
  if (flags & 4) {
    if (size < head + 16) return 0;
    built = page_from(data + head);
    table = &built;
    head += 16;
  }
  if ((flags & 8) && enc == TextEncoding::Utf8) table = nullptr;
  const std::string_view text(reinterpret_cast<const char*>(data + head), size - head);

  rowvane::DecodedText out;
  check_decode(text, enc, table, errors, out);
  if (errors != DecodeErrors::Strict) {
    // Replace and Quarantine decode alike; a second decode into the same
    // object replaces what it held.
    const std::string first(out.bytes.view());
    const size_t marks = out.marks.size();
    const DecodeErrors other =
        errors == DecodeErrors::Replace ? DecodeErrors::Quarantine : DecodeErrors::Replace;
    check_decode(text, enc, table, other, out);
    FUZZ_CHECK(out.bytes.view() == first && out.marks.size() == marks);
  }
  check_census(text, cap);
  check_decision(text, cap);
  FUZZ_CHECK(rowvane::wide_encoding_from_nuls(text) == TextEncoding::Utf8 ||
             text.find('\0') != std::string_view::npos);
  return 0;
}
