// UTF-8: the sequence rules, the validator's exact path, the repair, the
// decoder and the encoder. The vector path of the validator and its
// dispatch live in core/simd_dispatch.cpp.
#include "core/utf8.hpp"

#include <cstdint>

#include "core/simd.hpp"

namespace rowvane {
namespace {

// Length of the well-formed UTF-8 sequence at p (lead byte >= 0x80), or, when
// it is not well-formed, the length of its maximal subpart with `ok` false:
// the longest start of a well-formed sequence, at least one byte.
inline size_t utf8_sequence(const unsigned char* p, const unsigned char* end, bool& ok) noexcept {
  const unsigned char lead = p[0];
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (lead < 0xC2 || lead > 0xF4) {
    ok = false;
    return 1;
  } else if (lead <= 0xDF) {
    need = 1;
  } else if (lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) lo = 0xA0;       // no overlong forms
    else if (lead == 0xED) hi = 0x9F;  // no surrogates
  } else {
    need = 3;
    if (lead == 0xF0) lo = 0x90;       // no overlong forms
    else if (lead == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
  }
  for (size_t i = 1; i <= need; ++i) {
    if (p + i >= end || p[i] < lo || p[i] > hi) {
      ok = false;
      return i;
    }
    lo = 0x80;
    hi = 0xBF;
  }
  ok = true;
  return need + 1;
}

inline bool is_continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// Offset of the first invalid byte in [p, end), or `end`.
inline const unsigned char* first_invalid_utf8(const unsigned char* p,
                                               const unsigned char* end) noexcept {
  while (p < end) {
    const unsigned char lead = *p;
    if (lead < 0x80) {
      // ASCII: jump to the next byte above 0x7F within sixteen.
      if (end - p >= static_cast<ptrdiff_t>(simd::kBlock)) {
        const unsigned high = simd::Block::load(p).mask();
        p += high == 0 ? simd::kBlock : simd::first(high);
        continue;
      }
      ++p;
      continue;
    }
    // The common well-formed shapes first: two bytes, and three bytes that
    // are neither overlong nor surrogates.
    if (lead >= 0xC2 && lead <= 0xDF && end - p >= 2 && is_continuation(p[1])) {
      p += 2;
      continue;
    }
    if (lead >= 0xE1 && lead <= 0xEF && lead != 0xED && end - p >= 3 && is_continuation(p[1]) &&
        is_continuation(p[2])) {
      p += 3;
      continue;
    }
    bool ok;
    const size_t len = utf8_sequence(p, end, ok);
    if (!ok) return p;
    p += len;
  }
  return end;
}

}  // namespace

bool is_valid_utf8_scalar(const char* data, size_t size) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  return first_invalid_utf8(p, p + size) == p + size;
}

void repair_utf8_tail(std::string& text, size_t begin) {
  const auto* const base = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = base + text.size();
  const unsigned char* p = first_invalid_utf8(base + begin, end);
  if (p == end) return;

  // U+FFFD is three bytes and may replace a single one, so the repaired tail
  // is built aside and copied back. Only damaged fields get here.
  const size_t keep = static_cast<size_t>(p - base);
  std::string fixed;
  fixed.reserve(static_cast<size_t>(end - p) + 8);
  while (p < end) {
    if (*p < 0x80) {
      fixed.push_back(static_cast<char>(*p++));
      continue;
    }
    bool ok;
    const size_t len = utf8_sequence(p, end, ok);
    if (ok) {
      fixed.append(reinterpret_cast<const char*>(p), len);
    } else {
      fixed.append("\xEF\xBF\xBD");
    }
    p += len;
  }
  text.resize(keep);
  text += fixed;
}

size_t decode_utf8(const unsigned char* p, const unsigned char* end, char32_t& cp) noexcept {
  if (p[0] < 0x80) {
    cp = p[0];
    return 1;
  }
  bool ok;
  utf8_sequence(p, end, ok);
  return ok ? decode_valid_utf8(p, cp) : 0;
}

void append_utf8(std::string& out, char32_t cp) {
  const auto c = static_cast<uint32_t>(cp);
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    const char bytes[] = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    out.append(bytes, 2);
  } else if (c < 0x10000) {
    const char bytes[] = {static_cast<char>(0xE0 | (c >> 12)),
                          static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                          static_cast<char>(0x80 | (c & 0x3F))};
    out.append(bytes, 3);
  } else {
    const char bytes[] = {static_cast<char>(0xF0 | (c >> 18)),
                          static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                          static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                          static_cast<char>(0x80 | (c & 0x3F))};
    out.append(bytes, 4);
  }
}

}  // namespace rowvane
