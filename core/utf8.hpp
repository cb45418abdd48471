// UTF-8 for the whole core and both extension modules: one validator (the
// exact rules of RFC 3629, with a vector path for long texts), one repair
// (each maximal invalid subpart becomes U+FFFD), one decoder and one encoder.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rowvane {

// True when [data, data + size) is valid UTF-8. Long texts take the vector
// path (core/simd_dispatch.cpp) when the processor has one.
bool is_valid_utf8(const char* data, size_t size) noexcept;

// The two paths behind is_valid_utf8, for tests that hold them to the same
// answers: the exact byte-at-a-time check, and the vector check (the scalar
// one where this build or processor has no vector path).
bool is_valid_utf8_scalar(const char* data, size_t size) noexcept;
bool is_valid_utf8_vector(const char* data, size_t size) noexcept;
bool utf8_vector_path_available() noexcept;

// Replaces, in place from offset `begin` to the end of `text`, every maximal
// invalid subsequence by U+FFFD (substitution of maximal subparts). A no-op
// for valid text.
void repair_utf8_tail(std::string& text, size_t begin);

// Decodes the code point at p (p < end) into `cp` and returns its length, or
// returns 0 when the bytes there are not a well-formed sequence.
size_t decode_utf8(const unsigned char* p, const unsigned char* end, char32_t& cp) noexcept;

// Decodes the code point at p of text already known to be valid UTF-8 (no
// checks: the caller's text came out of the parser or a repair) and returns
// its length. Inline: the reader calls it for every character of a field.
inline size_t decode_valid_utf8(const unsigned char* p, char32_t& cp) noexcept {
  const unsigned char c = p[0];
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  if (c < 0xE0) {
    cp = (char32_t{c} & 0x1F) << 6 | (p[1] & 0x3F);
    return 2;
  }
  if (c < 0xF0) {
    cp = (char32_t{c} & 0x0F) << 12 | (char32_t{p[1]} & 0x3F) << 6 | (p[2] & 0x3F);
    return 3;
  }
  cp = (char32_t{c} & 0x07) << 18 | (char32_t{p[1]} & 0x3F) << 12 | (char32_t{p[2]} & 0x3F) << 6 |
       (p[3] & 0x3F);
  return 4;
}

// Appends the UTF-8 form of `cp` (at most U+10FFFF, not a surrogate). A byte
// passed as a code point (a delimiter or quote from 0x80 to 0xFF) takes two
// bytes, which a std::string holds without allocating.
void append_utf8(std::string& out, char32_t cp);

}  // namespace rowvane
