// The vector UTF-8 check against the exact byte-at-a-time one, and the
// parser's answers with every vector path forced onto its portable fallback.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/parser.hpp"
#include "core/simd.hpp"
#include "core/utf8.hpp"

namespace rowvane {
namespace {

// Sequences around every rule of well-formed UTF-8 (RFC 3629): the bounds of
// each lead, overlong forms, surrogates, the end of Unicode, stray and
// missing continuations.
const std::vector<std::string> kPieces = {
    "a",           "\x7F",         "\xC2\x80",     "\xDF\xBF",     "\xE0\xA0\x80", "\xEF\xBF\xBF",
    "\xED\x9F\xBF", "\xEE\x80\x80", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF", "\xC0\x80", "\xC1\xBF",
    "\xE0\x9F\xBF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
    "\xF5\x80\x80\x80", "\xFF",     "\x80",         "\xBF",         "\xC2",         "\xE1\x80",
    "\xF1\x80\x80", "\xC2\xC2",     "\xE1\x80\xC0", "\xF1\x80\x80\xC0", "\xE2\x82\xAC", "\xC3\xA9",
};

TEST(Utf8Validate, EveryPieceAtEveryOffsetOfTwoBlocks) {
  for (const std::string& piece : kPieces) {
    for (size_t pad = 0; pad < 70; ++pad) {
      for (size_t tail : {size_t{0}, size_t{1}, size_t{40}}) {
        std::string text(pad, 'x');
        text += piece;
        text.append(tail, 'y');
        const bool want = is_valid_utf8_scalar(text.data(), text.size());
        EXPECT_EQ(is_valid_utf8_vector(text.data(), text.size()), want)
            << "pad " << pad << " tail " << tail << " piece " << ::testing::PrintToString(piece);
        EXPECT_EQ(is_valid_utf8(text.data(), text.size()), want);
      }
    }
  }
}

TEST(Utf8Validate, RandomMixturesAgree) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const size_t pieces = rng() % 40;
    for (size_t i = 0; i < pieces; ++i) {
      const unsigned r = rng() % 10;
      if (r < 6) {
        text += kPieces[rng() % kPieces.size()];
      } else if (r < 8) {
        text.append(rng() % 40, 'q');
      } else {
        text.push_back(static_cast<char>(rng() & 0xFF));
      }
    }
    const bool want = is_valid_utf8_scalar(text.data(), text.size());
    ASSERT_EQ(is_valid_utf8_vector(text.data(), text.size()), want)
        << ::testing::PrintToString(text);
    ASSERT_EQ(is_valid_utf8(text.data(), text.size()), want);
  }
}

std::vector<std::vector<std::string>> parse_all(std::string_view input) {
  ResilientParser ps = make_parser(input, ',', '"', true);
  std::vector<std::vector<std::string>> rows;
  while (auto row = ps.next_row()) rows.push_back(*row);
  return rows;
}

// The parser, with the vector paths on and forced off, reads the same rows,
// line breaks and U+FFFD repairs included.
TEST(Utf8Validate, ParserSameRowsOnTheScalarPath) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::string text;
    for (int i = 0; i < 60; ++i) {
      const unsigned r = rng() % 8;
      if (r < 4) {
        text += kPieces[rng() % kPieces.size()];
      } else if (r == 4) {
        text += ',';
      } else if (r == 5) {
        text += "\n";
      } else if (r == 6) {
        text += '"';
      } else {
        text.append(rng() % 70, 'z');
      }
    }
    const auto vector_rows = parse_all(text);
    force_scalar_paths(true);
    const auto scalar_rows = parse_all(text);
    force_scalar_paths(false);
    ASSERT_EQ(vector_rows, scalar_rows) << ::testing::PrintToString(text);
  }
}

// Byte counting: the dispatched, vector and baseline paths agree on every
// length around the block sizes and the 255-block drain.
TEST(CountByte, PathsAgree) {
  std::mt19937 rng(3);
  std::string text(255 * 32 * 2 + 100, 'a');
  for (char& c : text) c = "a,\n\"x"[rng() % 5];
  for (size_t len : {size_t{0}, size_t{1}, size_t{31}, size_t{32}, size_t{63}, size_t{64}, size_t{65},
                     size_t{255 * 32 - 1}, size_t{255 * 32}, size_t{255 * 32 + 33}, text.size()}) {
    for (char b : {',', '\n', 'z'}) {
      const std::string_view view(text.data(), len);
      size_t want = 0;
      for (char c : view) want += c == b;
      EXPECT_EQ(count_byte_baseline(view, b), want) << len;
      EXPECT_EQ(count_byte_vector(view, b), want) << len;
      EXPECT_EQ(count_byte(view, b), want) << len;
    }
  }
}

// The encoder and both decoders agree on every scalar value, and the
// checking decoder accepts exactly what the validator accepts.
TEST(Utf8Codec, EveryScalarValueRoundTrips) {
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::string text;
    append_utf8(text, cp);
    ASSERT_TRUE(is_valid_utf8_scalar(text.data(), text.size())) << static_cast<uint32_t>(cp);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    char32_t checked = 0, unchecked = 0;
    ASSERT_EQ(decode_utf8(p, p + text.size(), checked), text.size());
    ASSERT_EQ(decode_valid_utf8(p, unchecked), text.size());
    ASSERT_EQ(checked, cp);
    ASSERT_EQ(unchecked, cp);
  }
  for (const std::string& piece : kPieces) {
    const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
    char32_t cp;
    const size_t len = decode_utf8(p, p + piece.size(), cp);
    // A sequence it takes is valid; a valid piece starts with one.
    if (len != 0) {
      EXPECT_TRUE(is_valid_utf8_scalar(piece.data(), len)) << ::testing::PrintToString(piece);
    }
    if (is_valid_utf8_scalar(piece.data(), piece.size())) {
      EXPECT_NE(len, 0u) << ::testing::PrintToString(piece);
    }
  }
}

}  // namespace
}  // namespace rowvane
