// The decode stage: the encoding decision on inputs built here from Unicode
// text (byte-order marks, NUL patterns, valid, mixed and legacy files), the
// decoders' round trips, their undecodable cases under Replace and Strict,
// and the census's sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <string>
#include <string_view>
#include <vector>

#include "core/encoding.hpp"
#include "core/utf8.hpp"

namespace rowvane {
namespace {

using namespace std::string_literals;

// --- Encoders of the test's Unicode text ------------------------------------

std::string utf8(std::u32string_view text) {
  std::string out;
  for (char32_t c : text) append_utf8(out, c);
  return out;
}

// UTF-16 (`width` 2, astral characters as surrogate pairs) or UTF-32.
std::string wide(std::u32string_view text, int width, bool big) {
  std::string out;
  const auto put = [&](uint32_t unit) {
    for (int i = 0; i < width; ++i) {
      out.push_back(static_cast<char>(unit >> 8 * (big ? width - 1 - i : i)));
    }
  };
  for (char32_t c : text) {
    if (width == 4 || c < 0x10000) {
      put(c);
    } else {
      put(0xD800 + ((c - 0x10000) >> 10));
      put(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return out;
}
std::string utf16(std::u32string_view text, bool big) { return wide(text, 2, big); }

// Text in a single-byte page: each character's byte in `table`.
std::string in_page(std::u32string_view text, const ByteTable& table) {
  std::string out;
  for (char32_t c : text) {
    size_t b = 0;
    while (b < 256 && table[b] != c) ++b;
    EXPECT_LT(b, 256u) << "U+" << std::hex << static_cast<uint32_t>(c) << " is not in the page";
    out.push_back(static_cast<char>(b));
  }
  return out;
}

std::string encode(std::u32string_view text, TextEncoding encoding) {
  switch (encoding) {
    case TextEncoding::Utf16LE: return utf16(text, false);
    case TextEncoding::Utf16BE: return utf16(text, true);
    case TextEncoding::Utf32LE: return wide(text, 4, false);
    case TextEncoding::Utf32BE: return wide(text, 4, true);
    case TextEncoding::SingleByte: return in_page(text, cp1252_table());
    default: return utf8(text);
  }
}

std::string repeat(std::string_view s, size_t n) {
  std::string out;
  while (n-- > 0) out += s;
  return out;
}

std::vector<size_t> offsets(const std::vector<DecodeMark>& marks, MarkKind kind) {
  std::vector<size_t> out;
  for (const DecodeMark& m : marks) {
    if (m.kind == kind) out.push_back(m.offset);
  }
  return out;
}

// What every decoding must give whatever the bytes: valid UTF-8 within the
// bound, marks strictly increasing inside the text.
void expect_well_formed(std::string_view input, TextEncoding encoding, const DecodedText& out) {
  ASSERT_TRUE(is_valid_utf8(out.bytes.data.get(), out.bytes.size));
  ASSERT_LE(out.bytes.size, max_decoded_size(input.size(), encoding));
  for (size_t i = 0; i < out.marks.size(); ++i) {
    ASSERT_LT(out.marks[i].offset, out.bytes.size);
    ASSERT_TRUE(i == 0 || out.marks[i].offset > out.marks[i - 1].offset);
  }
}

DecodedText decoded(std::string_view input, const DecodeOptions& decoding) {
  DecodedText out;
  decode_text(input, decoding, out);
  expect_well_formed(input, decoding.encoding, out);
  return out;
}

constexpr TextEncoding kWide[] = {TextEncoding::Utf16LE, TextEncoding::Utf16BE,
                                  TextEncoding::Utf32LE, TextEncoding::Utf32BE};

// --- The decision ------------------------------------------------------------

TEST(Encoding, ByteOrderMarks) {
  using E = TextEncoding;
  const std::tuple<std::string, E, size_t> cases[] = {
      {"\xEF\xBB\xBFid", E::Utf8, 3},     {"\xFF\xFE\x00\x00i\0\0\0"s, E::Utf32LE, 4},
      {"\xFF\xFEi\0"s, E::Utf16LE, 2},    {"\xFF\xFE"s, E::Utf16LE, 2},
      {"\x00\x00\xFE\xFF\0\0\0i"s, E::Utf32BE, 4}, {"\xFE\xFF\0i"s, E::Utf16BE, 2},
      {"\xEF\xBB", E::Utf8, 0},           {"\x00\x00\xFE"s, E::Utf8, 0},
      {"\xBB\xBF", E::Utf8, 0},           {"", E::Utf8, 0},
  };
  for (const auto& [input, encoding, length] : cases) {
    const BomMatch m = match_bom(input);
    EXPECT_EQ(m.length, length) << ::testing::PrintToString(input);
    EXPECT_TRUE(length == 0 || m.encoding == encoding) << ::testing::PrintToString(input);
  }
}

const std::u32string kAsciiCsv = U"id,name,score\n1,alpha,12.5\n2,beta,7\n3,gamma,0.25\n";
const std::u32string kCjkCsv = U"編號,名前,점수\n1,東京都,서울\n2,大阪,부산\n";

TEST(Encoding, NulPatterns) {
  struct Case {
    const char* name;
    std::string input;
    TextEncoding want;
  };
  std::string stray = repeat("id,name\n1,plain text\n", 30);
  stray[17] = stray[200] = stray[301] = '\0';
  std::vector<Case> cases = {
      {"no NULs", utf8(kCjkCsv), TextEncoding::Utf8},
      {"8-bit with a few NULs", stray, TextEncoding::Utf8},
      {"all NUL", std::string(64, '\0'), TextEncoding::Utf8},
      // Short files whose fields hold NUL bytes, every second byte a NUL
      // by chance: their line feeds stand beside text, not as code units.
      {"NUL-separated fields", "a\0b\0c\0\n1\0002\0003\0\n"s, TextEncoding::Utf8},
      {"NUL after each field", "col1|col2\0\nval1|val2\0\n"s, TextEncoding::Utf8},
      {"one NUL in a short line", "a,\0b\n"s, TextEncoding::Utf8},
      {"NULs before line feeds", "hello\n\0world\0\n"s, TextEncoding::Utf8},
      {"a line of NUL-separated fields", "a\0b\0c"s, TextEncoding::Utf8},
      {"a tiny UTF-16 LE table", "a\0,\0b\0\n\0"s, TextEncoding::Utf16LE},
  };
  for (TextEncoding e : kWide) {
    cases.push_back({"ASCII", encode(kAsciiCsv, e), e});
    cases.push_back({"CJK", encode(kCjkCsv, e), e});
    cases.push_back({"emoji", encode(U"a,😀🎉\n1,🙂\n", e), e});
  }
  for (const Case& c : cases) {
    EXPECT_EQ(wide_encoding_from_nuls(c.input), c.want) << c.name << " " << static_cast<int>(c.want);
  }
  // Only the sample is read.
  const std::string late = repeat("abcd", 100) + utf16(kAsciiCsv, false);
  EXPECT_EQ(wide_encoding_from_nuls(late, 400), TextEncoding::Utf8);
  EXPECT_EQ(wide_encoding_from_nuls(late.substr(400)), TextEncoding::Utf16LE);
}

TEST(Encoding, Decisions) {
  const std::string utf8_rows = repeat(utf8(U"1,José,Zürich\n2,Łódź,北京\n"), 5);
  const std::string cp1252_rows =
      repeat(in_page(U"3,Renée,Besançon\n4,€ 5,œuvre\n", cp1252_table()), 5);
  // A legacy file in which one line happens to be valid UTF-8 ("Ã©" in cp1252).
  const std::string accidental = cp1252_rows + "5,\xC3\xA9t\xC3\xA9\n" + cp1252_rows;
  const std::string late_utf8 = repeat("id,name\n1,plain\n", 20000) + utf8(U"2,Ærø\n");

  struct Case {
    const char* name;
    std::string input;
    TextEncoding encoding;
    EncodingSource source;
    size_t skip;
    bool stray_bom, needs_page, mixed;
  };
  using E = TextEncoding;
  using S = EncodingSource;
  const std::string bom = "\xEF\xBB\xBF";
  std::vector<Case> cases = {
      {"UTF-8 mark", bom + utf8_rows, E::Utf8, S::Bom, 3, false, false, false},
      {"stray mark", bom + cp1252_rows, E::SingleByte, S::Detected, 3, true, true, false},
      {"stray mark, mixed rest", bom + utf8_rows + cp1252_rows, E::Utf8, S::Fallback, 3, true, true,
       true},
      {"ASCII", utf8(kAsciiCsv), E::Utf8, S::Utf8, 0, false, false, false},
      {"non-ASCII only on the last line", late_utf8, E::Utf8, S::Utf8, 0, false, false, false},
      {"mixed", utf8_rows + cp1252_rows + utf8_rows, E::Utf8, S::Fallback, 0, false, true, true},
      {"cp1252", cp1252_rows, E::SingleByte, S::Detected, 0, false, true, false},
      {"cp1252, one line valid by accident", accidental, E::SingleByte, S::Detected, 0, false, true,
       false},
      {"cp1252 with a stray NUL", cp1252_rows + '\0' + cp1252_rows, E::SingleByte, S::Detected, 0, false,
       true, false},
  };
  for (E e : kWide) {
    const size_t mark = e == E::Utf16LE || e == E::Utf16BE ? 2 : 4;
    const std::string marked = encode(U'\uFEFF' + kCjkCsv, e);
    cases.push_back({"wide mark", marked, e, S::Bom, mark, false, false, false});
    cases.push_back({"wide, no mark", encode(kAsciiCsv, e), e, S::NulPattern, 0, false, false, false});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EncodingDecision d = decide_encoding(c.input);
    EXPECT_EQ(d.encoding, c.encoding);
    EXPECT_EQ(d.source, c.source);
    EXPECT_EQ(d.skip, c.skip);
    EXPECT_EQ(d.stray_bom, c.stray_bom);
    EXPECT_EQ(d.needs_page, c.needs_page);
    EXPECT_EQ(d.mixed, c.mixed);
    EXPECT_EQ(d.census.invalid_lines > 0, c.needs_page);
  }
}

TEST(Encoding, Cp1252AsPythonDefinesIt) {
  const ByteTable& t = cp1252_table();
  const char32_t row_80[32] = {
      0x20AC, kUnmapped, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, kUnmapped, 0x017D, kUnmapped,
      kUnmapped, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, kUnmapped, 0x017E, 0x0178,
  };
  for (size_t b = 0; b < 256; ++b) {
    const char32_t want = b >= 0x80 && b < 0xA0 ? row_80[b - 0x80] : static_cast<char32_t>(b);
    EXPECT_EQ(t[b], want) << "byte " << b;
  }
}

// --- Decoding ---------------------------------------------------------------

// Every character of the BMP but the surrogates, some astral ones, and runs
// of ASCII of every length up to two blocks in between, so that units fall
// on both sides of every block boundary.
std::u32string all_characters() {
  std::u32string text;
  std::mt19937 rng(1252);
  for (char32_t c = 0; c < 0x10000; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    text.push_back(c);
    if (c % 97 == 0) text.append(rng() % 33, U'a' + static_cast<char32_t>(c % 26));
  }
  for (char32_t c : {0x10000u, 0x1F600u, 0x2A6D6u, 0xE0001u, 0x10FFFFu}) {
    text.push_back(c);
    text.append(17, U',');
  }
  return text;
}

TEST(Encoding, WideDecodersRoundTripEveryCharacter) {
  const std::u32string text = all_characters();
  const std::string want = utf8(text);
  for (TextEncoding e : kWide) {
    for (DecodeErrors errors : {DecodeErrors::Replace, DecodeErrors::Strict}) {
      DecodedText out;
      ASSERT_EQ(decode_text(encode(text, e), DecodeOptions{e, nullptr, errors}, out), DecodeStatus::Ok);
      EXPECT_TRUE(out.bytes.view() == want) << static_cast<int>(e);
      EXPECT_TRUE(out.marks.empty());
    }
  }
  // Valid UTF-8 is copied as it is, with or without a fallback page.
  for (const ByteTable* table : {static_cast<const ByteTable*>(nullptr), &cp1252_table()}) {
    const DecodedText out = decoded(want, DecodeOptions{TextEncoding::Utf8, table, DecodeErrors::Strict});
    EXPECT_TRUE(out.bytes.view() == want);
    EXPECT_TRUE(out.marks.empty());
  }
}

TEST(Encoding, SingleBytePagesRoundTrip) {
  // cp1252: all 256 bytes, each many times in random order; the five bytes
  // the page leaves out are U+FFFD, counted and marked.
  std::mt19937 rng(81);
  std::string input;
  for (int i = 0; i < 4000; ++i) {
    input.push_back(static_cast<char>(rng() & 0xFF));
    if (i % 7 == 0) input.append(rng() % 40, 'q');
  }
  std::string want;
  std::vector<size_t> want_marks;
  for (unsigned char b : input) {
    const char32_t cp = cp1252_table()[b];
    if (cp == kUnmapped) want_marks.push_back(want.size());
    append_utf8(want, cp == kUnmapped ? 0xFFFD : cp);
  }
  DecodedText out = decoded(input, DecodeOptions{TextEncoding::SingleByte, &cp1252_table()});
  EXPECT_TRUE(out.bytes.view() == want);
  EXPECT_EQ(offsets(out.marks, MarkKind::Replaced), want_marks);
  EXPECT_EQ(out.stats.replaced_bytes, want_marks.size());

  // A page that moves ASCII too (no block of ASCII may be copied as it is),
  // with characters of one, two and three bytes in UTF-8.
  ByteTable page{};
  for (size_t b = 0; b < 256; ++b) {
    page[b] = static_cast<char32_t>(b < 0x80 ? 0x7F - b : 0x0400 + b * 37);
  }
  std::u32string text;
  for (int i = 0; i < 5000; ++i) text.push_back(page[rng() % 256]);
  out = decoded(in_page(text, page), DecodeOptions{TextEncoding::SingleByte, &page});
  EXPECT_TRUE(out.bytes.view() == utf8(text));
}

// A mixed file: UTF-8 lines and cp1252 lines, decoded as UTF-8 with the
// cp1252 page for the invalid sequences. The expected text and marks are
// built piece by piece.
TEST(Encoding, MixedFileThroughTheFallbackPage) {
  struct Piece {
    std::string bytes;
    std::u32string text;
    std::vector<MarkKind> marks;  // at the start of the piece's text, then after each replacement
  };
  const std::vector<Piece> pieces = {
      {utf8(U"name,city\n1,José,Zürich\n"), U"name,city\n1,José,Zürich\n", {}},
      {"2,Ren", U"2,Ren", {}},
      {"\xE9", U"é", {MarkKind::Fallback}},
      {"e,Besan", U"e,Besan", {}},
      {"\xE7", U"ç", {MarkKind::Fallback}},
      {"on\n3,", U"on\n3,", {}},
      {"\x80", U"€", {MarkKind::Fallback}},  // a lone continuation byte
      {"5,", U"5,", {}},
      {"\xE2\x80", U"â€", {MarkKind::Fallback}},  // a truncated sequence: one subpart, one mark
      {"\n4,", U"\n4,", {}},
      {"\x81", U"\uFFFD", {MarkKind::Replaced}},  // unmapped in cp1252
      {",", U",", {}},
      {"\xE2\x81", U"â\uFFFD", {MarkKind::Fallback, MarkKind::Replaced}},
      {utf8(U"x\n5,Ærø,東京\n"), U"x\n5,Ærø,東京\n", {}},
  };
  std::string input, want;
  std::vector<DecodeMark> want_marks;
  for (const Piece& p : pieces) {
    size_t at = want.size();
    for (MarkKind k : p.marks) {
      want_marks.push_back(DecodeMark{at, k});
      at += 2;  // "â" and "€"/"é"/"ç" are two bytes in UTF-8, the second mark follows "â"
    }
    input += p.bytes;
    want += utf8(p.text);
  }
  // The file is long enough to be validated in several chunks, and the
  // pieces fall across chunk boundaries at varying offsets.
  std::string long_input, long_want;
  std::vector<DecodeMark> long_marks;
  for (size_t i = 0; i < 700; ++i) {
    const std::string pad = utf8(U"é") + std::string(i % 13, ' ');
    for (const DecodeMark& m : want_marks) {
      long_marks.push_back({long_want.size() + pad.size() + m.offset, m.kind});
    }
    long_input += pad + input;
    long_want += pad + want;
  }
  for (DecodeErrors errors : {DecodeErrors::Replace, DecodeErrors::Quarantine}) {
    DecodedText out;
    EXPECT_EQ(decode_text(long_input, DecodeOptions{TextEncoding::Utf8, &cp1252_table(), errors}, out),
              DecodeStatus::Ok);
    expect_well_formed(long_input, TextEncoding::Utf8, out);
    EXPECT_TRUE(out.bytes.view() == long_want);
    EXPECT_EQ(offsets(out.marks, MarkKind::Fallback), offsets(long_marks, MarkKind::Fallback));
    EXPECT_EQ(offsets(out.marks, MarkKind::Replaced), offsets(long_marks, MarkKind::Replaced));
    EXPECT_EQ(out.stats.fallback_bytes, 700u * 6);  // é ç 80 E2 80 E2
    EXPECT_EQ(out.stats.replaced_bytes, 700u * 2);  // 81, 81
  }
  // Strict stops at the first unmapped byte: on line 5, in the first copy.
  DecodedText out;
  const DecodeOptions strict{TextEncoding::Utf8, &cp1252_table(), DecodeErrors::Strict};
  EXPECT_EQ(decode_text(long_input, strict, out), DecodeStatus::Undecodable);
  EXPECT_EQ(out.stats.error_offset, 2 + input.find('\x81'));
  EXPECT_EQ(out.stats.error_length, 1u);
  EXPECT_EQ(out.stats.error_line, 5u);
}

// Undecodable input in each decoder: the text under Replace (each
// replacement marked), and where Strict stops.
TEST(Encoding, UndecodableUnits) {
  using E = TextEncoding;
  const ByteTable* const cp1252 = &cp1252_table();
  struct Case {
    const char* name;
    E encoding;
    const ByteTable* table;
    std::string input;
    std::u32string want;    // under Replace
    size_t replaced_bytes;  // under Replace; then where Strict stops:
    size_t error_offset, error_length, error_line;
  };
  const std::string le = utf16(U"😀", false), be = utf16(U"😀", true);  // surrogate pairs
  const Case cases[] = {
      {"16 LE lone high", E::Utf16LE, nullptr, "a\0\n\0\x3D\xD8"s "b\0"s, U"a\n\uFFFDb", 2, 4, 2, 2},
      {"16 LE lone low", E::Utf16LE, nullptr, "\x00\xDC"s + le, U"\uFFFD😀", 2, 0, 2, 1},
      {"16 LE high last", E::Utf16LE, nullptr, "a\0"s + le.substr(0, 2), U"a\uFFFD", 2, 2, 2, 1},
      {"16 LE two highs", E::Utf16LE, nullptr, le.substr(0, 2) + le, U"\uFFFD😀", 2, 0, 2, 1},
      {"16 LE two lows", E::Utf16LE, nullptr, le.substr(2) + le.substr(2), U"\uFFFD\uFFFD", 4, 0, 2, 1},
      {"16 LE odd last byte", E::Utf16LE, nullptr, "a\0\n\0b"s, U"a\n\uFFFD", 1, 4, 1, 2},
      {"16 LE high, odd byte", E::Utf16LE, nullptr, le.substr(0, 2) + "x", U"\uFFFD\uFFFD", 3, 0, 2, 1},
      {"16 BE lone low", E::Utf16BE, nullptr, "\0a\xDC\x00\0b"s, U"a\uFFFDb", 2, 2, 2, 1},
      {"16 BE reversed pair", E::Utf16BE, nullptr, be.substr(2) + be.substr(0, 2), U"\uFFFD\uFFFD", 4,
       0, 2, 1},
      {"16 NUL is text", E::Utf16BE, nullptr, "\0\0\0a"s, U"\0a"s, 0, 0, 0, 0},
      {"32 LE past U+10FFFF", E::Utf32LE, nullptr, "a\0\0\0\x00\x00\x11\x00"s "b\0\0\0"s, U"a\uFFFDb", 4,
       4, 4, 1},
      {"32 LE surrogate", E::Utf32LE, nullptr, "\n\0\0\0\x00\xD8\x00\x00"s, U"\n\uFFFD", 4, 4, 4, 2},
      {"32 BE past U+10FFFF", E::Utf32BE, nullptr, "\xFF\xFF\xFF\xFF\0\0\0a"s, U"\uFFFDa", 4, 0, 4, 1},
      {"32 partial unit of 1", E::Utf32BE, nullptr, "\0\0\0a\0"s, U"a\uFFFD", 1, 4, 1, 1},
      {"32 partial unit of 3", E::Utf32LE, nullptr, "a\0\0\0b\0\0"s, U"a\uFFFD", 3, 4, 3, 1},
      {"32 NUL is text", E::Utf32LE, nullptr, "\0\0\0\0"s, U"\0"s, 0, 0, 0, 0},
      {"cp1252 0x81", E::SingleByte, cp1252, "a\nb\x81\x81\xE9", U"a\nb\uFFFD\uFFFDé", 2, 3, 1, 2},
      {"8 truncated", E::Utf8, nullptr, "a\n\n\xE2\x82", U"a\n\n\uFFFD", 2, 3, 2, 3},
      {"8 overlong", E::Utf8, nullptr, "\xC0\xAFx", U"\uFFFD\uFFFDx", 2, 0, 1, 1},
      {"8 surrogate", E::Utf8, nullptr, "\xED\xA0\x80", U"\uFFFD\uFFFD\uFFFD", 3, 0, 1, 1},
      {"8 past U+10FFFF", E::Utf8, nullptr, "\xF4\x90\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD", 4, 0, 1, 1},
      {"8 cp1252 0x81", E::Utf8, cp1252, "\xE9\n\x81", U"é\n\uFFFD", 1, 2, 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DecodedText out = decoded(c.input, DecodeOptions{c.encoding, c.table, DecodeErrors::Replace});
    const std::string want = utf8(c.want);
    EXPECT_TRUE(out.bytes.view() == want) << ::testing::PrintToString(std::string(out.bytes.view()));
    EXPECT_EQ(out.stats.replaced_bytes, c.replaced_bytes);
    std::vector<size_t> want_marks;
    for (size_t at = want.find("\uFFFD"); at != std::string::npos; at = want.find("\uFFFD", at + 3)) {
      want_marks.push_back(at);
    }
    EXPECT_EQ(offsets(out.marks, MarkKind::Replaced), want_marks);

    DecodedText strict;
    const DecodeStatus status =
        decode_text(c.input, DecodeOptions{c.encoding, c.table, DecodeErrors::Strict}, strict);
    EXPECT_EQ(status, c.replaced_bytes == 0 ? DecodeStatus::Ok : DecodeStatus::Undecodable);
    EXPECT_EQ(strict.stats.error_offset, c.error_offset);
    EXPECT_EQ(strict.stats.error_length, c.error_length);
    EXPECT_EQ(strict.stats.error_line, c.error_line);
    // Strict keeps the text up to the first replacement.
    const size_t kept = want_marks.empty() ? want.size() : want_marks[0];
    EXPECT_TRUE(strict.bytes.view() == want.substr(0, kept));
    EXPECT_TRUE(offsets(strict.marks, MarkKind::Replaced).empty());
  }
}

// Whatever the bytes: valid UTF-8 within the bound, ordered marks, Replace
// and Quarantine alike, Strict the same text up to its stop.
TEST(Encoding, AnyBytesDecodeToValidText) {
  std::mt19937 rng(2026);
  const char kAlphabet[] = {'\0', '\n', 'a', ',', '\x80', '\x81', '\xBF', '\xC3', '\xD8', '\xDC', '\xE2',
                            '\xED', '\xF0', '\xF4', '\xFF', '\x10'};
  const TextEncoding kAll[] = {TextEncoding::Utf8, TextEncoding::Utf16LE, TextEncoding::Utf16BE,
                               TextEncoding::Utf32LE, TextEncoding::Utf32BE, TextEncoding::SingleByte};
  for (int round = 0; round < 3000; ++round) {
    std::string input;
    const size_t n = rng() % 100;
    for (size_t i = 0; i < n; ++i) {
      input.push_back(rng() % 4 == 0 ? static_cast<char>(rng()) : kAlphabet[rng() % sizeof kAlphabet]);
    }
    for (TextEncoding e : kAll) {
      const ByteTable* table = rng() % 2 ? &cp1252_table() : nullptr;
      const DecodedText replaced = decoded(input, DecodeOptions{e, table, DecodeErrors::Replace});
      const DecodedText quarantined = decoded(input, DecodeOptions{e, table, DecodeErrors::Quarantine});
      ASSERT_TRUE(replaced.bytes.view() == quarantined.bytes.view());
      ASSERT_EQ(replaced.marks.size(), quarantined.marks.size());
      DecodedText strict;
      const DecodeStatus status =
          decode_text(input, DecodeOptions{e, table, DecodeErrors::Strict}, strict);
      expect_well_formed(input, e, strict);
      const std::vector<size_t> replacements = offsets(replaced.marks, MarkKind::Replaced);
      ASSERT_EQ(status == DecodeStatus::Ok, replacements.empty());
      if (status == DecodeStatus::Undecodable) {
        ASSERT_TRUE(strict.bytes.view() == replaced.bytes.view().substr(0, replacements.front()));
        ASSERT_LT(strict.stats.error_offset, input.size());
        ASSERT_LE(strict.stats.error_offset + strict.stats.error_length, input.size());
      }
    }
  }
}

// --- The census -------------------------------------------------------------

TEST(Encoding, CensusCountsLines) {
  const std::string input = "plain\n" + utf8(U"José\n") + "Ren\xE9" "e \xE2\x82 \x81\x81\n" +
                            utf8(U"北京\n") + "last \xFF";
  const Utf8Census c = census_utf8(input);
  EXPECT_EQ(c.valid_lines, 2u);
  EXPECT_EQ(c.invalid_lines, 2u);
  EXPECT_EQ(c.invalid_sequences, 5u);  // E9, E2 82, 81, 81, FF
  std::vector<int> high;
  for (size_t i = 0; i < 128; ++i) {
    if (c.high_bytes[i]) high.push_back(static_cast<int>(0x80 + i));
  }
  EXPECT_EQ(high, (std::vector<int>{0x81, 0x82, 0xE2, 0xE9, 0xFF}));
  EXPECT_EQ(c.sample, "Ren\xE9" "e \xE2\x82 \x81\x81\n" "last \xFF");
}

TEST(Encoding, CensusSampleSpreadsAcrossTheFileAndIsCapped) {
  // 2000 invalid lines numbered in order, between ASCII and UTF-8 lines.
  std::string input;
  std::string all_invalid;
  for (int i = 0; i < 2000; ++i) {
    input += "plain " + std::to_string(i) + "\n" + utf8(U"Zürich\n");
    const std::string line = "row " + std::to_string(i) + " caf\xE9\n";
    input += line;
    all_invalid += line;
  }
  for (size_t cap : {size_t{500}, size_t{4000}, size_t{1000000}}) {
    SCOPED_TRACE(cap);
    const Utf8Census c = census_utf8(input, cap);
    EXPECT_EQ(c.invalid_lines, 2000u);
    EXPECT_EQ(c.valid_lines, 2000u);
    EXPECT_LE(c.sample.size(), cap);
    if (cap >= all_invalid.size()) {
      EXPECT_EQ(c.sample, all_invalid);
      continue;
    }
    EXPECT_GE(c.sample.size(), cap * 9 / 10);
    // Lines from every tenth of the file, in order, and only invalid lines.
    std::vector<int> numbers;
    for (size_t at = 0, lf; (lf = c.sample.find('\n', at)) != std::string::npos; at = lf + 1) {
      const std::string line = c.sample.substr(at, lf + 1 - at);
      ASSERT_EQ(line.rfind("row ", 0), 0u) << line;
      numbers.push_back(std::stoi(line.substr(4)));
      EXPECT_EQ(line, "row " + std::to_string(numbers.back()) + " caf\xE9\n");
    }
    EXPECT_EQ(c.sample.find("plain"), std::string::npos);
    EXPECT_EQ(c.sample.find(utf8(U"ü")), std::string::npos);
    ASSERT_FALSE(numbers.empty());
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    std::vector<bool> tenths(10);
    for (int n : numbers) tenths[static_cast<size_t>(n) / 200] = true;
    EXPECT_EQ(tenths, std::vector<bool>(10, true));
  }
  // A line longer than the cap is cut at the cap.
  const std::string long_line = std::string(3000, 'x') + "\xE9\n";
  const Utf8Census c = census_utf8("a\n" + long_line + long_line, 1000);
  EXPECT_EQ(c.sample, long_line.substr(0, 1000));
}

}  // namespace
}  // namespace rowvane

namespace rowvane {
namespace {

// A large input is censused in windows spread over it: a glued-on UTF-8
// export late in the file still makes it mixed, the sample reaches the end,
// and a legacy file with no valid line stays legacy.
TEST(Encoding, LargeInputsAreCensusedAcrossTheFile) {
  const std::string legacy = in_page(U"3,Renée,Besançon,œuvre\n", cp1252_table());
  const std::string unicode = utf8(U"4,Łódź,Zürich,北京\n");
  const std::string cp1252_file = repeat(legacy, 400000);  // ~9.6 MB
  const EncodingDecision plain = decide_encoding(cp1252_file);
  EXPECT_TRUE(plain.needs_page);
  EXPECT_FALSE(plain.mixed);
  EXPECT_EQ(plain.census.valid_lines, 0u);
  EXPECT_GT(plain.census.invalid_lines, 1000u);
  EXPECT_LE(plain.census.sample.size(), size_t{1} << 16);

  const std::string glued = repeat(legacy, 250000) + repeat(unicode, 150000);
  const EncodingDecision mixed = decide_encoding(glued);
  EXPECT_TRUE(mixed.needs_page && mixed.mixed);
  EXPECT_EQ(mixed.encoding, TextEncoding::Utf8);
  // Only invalid lines are sampled, from windows all over the file.
  EXPECT_EQ(mixed.census.sample.find(utf8(U"Łódź")), std::string::npos);
  EXPECT_NE(mixed.census.sample.find(legacy), std::string::npos);
}

}  // namespace
}  // namespace rowvane

namespace rowvane {
namespace {

// A large input is decoded by two threads, one half each, split at a line
// feed: the text, the marks and the counts are those of one pass, and a
// strict stop in either half reports the place in the whole input.
TEST(Encoding, LargeInputsDecodeInTwoHalvesAsInOne) {
  const std::u32string row = U"1,Renée,Zoë,€ 12\n";
  struct Case {
    const char* name;
    TextEncoding encoding;
    std::string unit;  // the row in the encoding, with one undecodable unit
    size_t bad_bytes;  // input bytes of that unit
  };
  const std::string cp = in_page(row, cp1252_table());
  std::vector<Case> cases = {
      {"single byte", TextEncoding::SingleByte, cp + "x\x81y\n", 1},
      {"UTF-16 LE", TextEncoding::Utf16LE, encode(row, TextEncoding::Utf16LE) + std::string("\x00\xD8\n\x00", 4), 2},
      {"UTF-16 BE", TextEncoding::Utf16BE, encode(row, TextEncoding::Utf16BE) + std::string("\xD8\x00\x00\n", 4), 2},
      {"UTF-32 LE", TextEncoding::Utf32LE,
       encode(row, TextEncoding::Utf32LE) + std::string("\x00\x00\x11\x00\n\x00\x00\x00", 8), 4},
      {"UTF-8, cp1252 fallback", TextEncoding::Utf8, utf8(row) + cp, 0},
  };
  for (const Case& c : cases) {
    const size_t copies = (size_t{20} << 20) / c.unit.size() + 1;  // past the size that splits
    const std::string input = repeat(c.unit, copies);
    DecodeOptions decoding{c.encoding, c.encoding == TextEncoding::Utf8 ? &cp1252_table() : nullptr, DecodeErrors::Replace};
    if (c.encoding == TextEncoding::SingleByte) decoding.table = &cp1252_table();
    DecodedText one, whole;
    ASSERT_EQ(decode_text(c.unit, decoding, one), DecodeStatus::Ok) << c.name;
    ASSERT_EQ(decode_text(input, decoding, whole), DecodeStatus::Ok) << c.name;
    ASSERT_EQ(whole.bytes.size, one.bytes.size * copies) << c.name;
    EXPECT_EQ(whole.bytes.view(), repeat(one.bytes.view(), copies)) << c.name;
    ASSERT_EQ(whole.marks.size(), one.marks.size() * copies) << c.name;
    for (size_t k = 0; k < whole.marks.size(); ++k) {
      const DecodeMark& m = whole.marks[k];
      const DecodeMark& first = one.marks[k % one.marks.size()];
      ASSERT_EQ(m.offset, first.offset + (k / one.marks.size()) * one.bytes.size) << c.name << " mark " << k;
      ASSERT_EQ(m.kind, first.kind) << c.name;
    }
    EXPECT_EQ(whole.stats.replaced_bytes, one.stats.replaced_bytes * copies) << c.name;
    EXPECT_EQ(whole.stats.fallback_bytes, one.stats.fallback_bytes * copies) << c.name;
    if (c.bad_bytes == 0) continue;
    // Strict: an undecodable unit past the middle, the text before it
    // clean, is reported at its place in the whole input.
    const std::string good = c.encoding == TextEncoding::SingleByte ? cp : encode(row, c.encoding);
    const size_t before = input.size() / 2 / good.size() + 2;  // rows ahead of the bad one
    const std::string late = repeat(good, before) + c.unit + repeat(good, before);
    decoding.errors = DecodeErrors::Strict;
    DecodedText strict;
    ASSERT_EQ(decode_text(late, decoding, strict), DecodeStatus::Undecodable) << c.name;
    const size_t in_unit = good.size() + (c.encoding == TextEncoding::SingleByte ? 1 : 0);
    EXPECT_EQ(strict.stats.error_offset, before * good.size() + in_unit) << c.name;
    EXPECT_EQ(strict.stats.error_length, c.bad_bytes) << c.name;
    EXPECT_EQ(strict.stats.error_line, before + 2) << c.name;
  }
}

}  // namespace
}  // namespace rowvane
