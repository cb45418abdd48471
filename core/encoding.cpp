// The decode stage: the encoding decision (byte-order mark, NUL pattern,
// UTF-8 validity, the census of non-ASCII lines) and the decoders that turn
// UTF-8 with a fallback page, UTF-16, UTF-32 and single-byte pages into
// UTF-8.
//
// Every decoder writes into one buffer sized by max_decoded_size, through a
// raw cursor: each input unit has a known worst case (the comments at
// max_decoded_size), so no write needs a bounds check. Runs of ASCII take
// sixteen input bytes at once through the vector layer.
//
// One rule for undecodable input in every decoder: each undecodable unit
// (a maximal invalid UTF-8 subpart without a fallback page, a byte the page
// leaves unmapped, an unpaired surrogate, a trailing odd byte, a UTF-32 value
// outside Unicode, a trailing partial unit) becomes one U+FFFD with one
// Replaced mark, and `replaced_bytes` counts the input bytes it stood for.
// Two such units side by side are two U+FFFD, as Python's decoders write
// them, so the replacement count says how much was damaged.
#include "core/encoding.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <thread>

#include "core/simd.hpp"
#include "core/utf8.hpp"

namespace rowvane {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

inline bool is_continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }
inline bool is_surrogate(char32_t cp) noexcept { return cp >= 0xD800 && cp <= 0xDFFF; }

// Writes the UTF-8 form of `cp` (a scalar value) at dst and returns the end.
// append_utf8 does the same for a std::string; the decoders write into a
// raw buffer sized once, where a string's size bookkeeping per character
// would cost more than the encoding.
inline char* write_utf8(char* dst, char32_t cp) noexcept {
  const auto c = static_cast<uint32_t>(cp);
  if (c < 0x80) {
    *dst++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *dst++ = static_cast<char>(0xC0 | (c >> 6));
    *dst++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *dst++ = static_cast<char>(0xE0 | (c >> 12));
    *dst++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *dst++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *dst++ = static_cast<char>(0xF0 | (c >> 18));
    *dst++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *dst++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *dst++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return dst;
}

// Length of the maximal subpart at p, where decode_utf8 found no well-formed
// sequence: the longest start of one, at least the lead byte (Unicode 3.9,
// substitution of maximal subparts; the rule repair_utf8_tail applies).
size_t invalid_subpart(const unsigned char* p, const unsigned char* end) noexcept {
  const unsigned char lead = p[0];
  if (lead < 0xC2 || lead > 0xF4) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (lead <= 0xDF) {
    need = 1;
  } else if (lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) lo = 0xA0;
    else if (lead == 0xED) hi = 0x9F;
  } else {
    need = 3;
    if (lead == 0xF0) lo = 0x90;
    else if (lead == 0xF4) hi = 0x8F;
  }
  size_t i = 1;
  while (i <= need && p + i < end && p[i] >= lo && p[i] <= hi) {
    ++i;
    lo = 0x80;
    hi = 0xBF;
  }
  return i;
}

// A code page ready to copy from: each byte's UTF-8 form padded to three
// bytes, and its length (0 where the page leaves the byte unmapped). Entries
// that are no BMP scalar value count as unmapped: no code page maps a byte
// outside the BMP, and three bytes per input byte is the bound the buffer
// is sized for.
struct PageEntry {
  char bytes[3] = {0, 0, 0};
  unsigned char length = 0;
};

struct Page {
  std::array<PageEntry, 256> entries;
  bool ascii_identity = true;  // bytes below 0x80 are themselves (ASCII blocks copy as they are)
};

Page prepare_page(const ByteTable& table) {
  Page page;
  std::string utf8;
  for (size_t b = 0; b < 256; ++b) {
    const char32_t cp = table[b];
    if (b < 0x80 && cp != b) page.ascii_identity = false;
    if (cp > 0xFFFF || is_surrogate(cp)) continue;
    utf8.clear();
    append_utf8(utf8, cp);
    PageEntry& e = page.entries[b];
    std::memcpy(e.bytes, utf8.data(), utf8.size());
    e.length = static_cast<unsigned char>(utf8.size());
  }
  return page;
}

// The decoded text being written and what the decoders report on the way.
class Sink {
 public:
  Sink(DecodedText& out, char* base, DecodeErrors errors) noexcept
      : out_(out), base_(base), dst_(base), strict_(errors == DecodeErrors::Strict) {}

  size_t offset() const noexcept { return static_cast<size_t>(dst_ - base_); }
  bool stopped() const noexcept { return stopped_; }

  void put_byte(unsigned char c) noexcept { *dst_++ = static_cast<char>(c); }
  void put_bytes(const unsigned char* p, size_t n) noexcept {
    std::memcpy(dst_, p, n);
    dst_ += n;
  }
  void put(char32_t cp) noexcept { dst_ = write_utf8(dst_, cp); }
  // All three bytes are copied and only `length` kept: fewer branches, and
  // safe since a page entry stands for one input byte, which has three bytes
  // of room.
  void put(const PageEntry& e) noexcept {
    std::memcpy(dst_, e.bytes, 3);
    dst_ += e.length;
  }
  // The low bytes of kCount units kStride bytes apart (eight UTF-16 or four
  // UTF-32 units): an all-ASCII block of a wide encoding.
  template <size_t kCount, size_t kStride>
  void put_strided(const unsigned char* p) noexcept {
    for (size_t i = 0; i < kCount; ++i) dst_[i] = static_cast<char>(p[i * kStride]);
    dst_ += kCount;
  }

  void mark(MarkKind kind) { out_.marks.push_back(DecodeMark{offset(), kind}); }
  void count_fallback() noexcept { ++out_.stats.fallback_bytes; }

  // An undecodable unit of `length` input bytes at input offset `at`: one
  // U+FFFD and one mark, or, under Strict, the end of decoding (false).
  bool undecodable(size_t at, size_t length) {
    if (strict_) {
      out_.stats.error_offset = at;
      out_.stats.error_length = length;
      stopped_ = true;
      return false;
    }
    mark(MarkKind::Replaced);
    std::memcpy(dst_, kReplacement, 3);
    dst_ += 3;
    out_.stats.replaced_bytes += length;
    return true;
  }

 private:
  DecodedText& out_;
  char* const base_;
  char* dst_;
  const bool strict_;
  bool stopped_ = false;
};

// --- UTF-8 with a fallback page --------------------------------------------

// Bytes validated at once before a copy: large enough for the vector check
// to run at full speed, small enough that a damaged stretch sends little
// valid text through the character-at-a-time path.
constexpr size_t kChunk = 4096;

// Where the chunk from p ends: kChunk bytes on, moved back over continuation
// bytes (at most three: no well-formed character has more) so that no
// character straddles the end.
const unsigned char* chunk_end(const unsigned char* p, const unsigned char* end) noexcept {
  if (static_cast<size_t>(end - p) <= kChunk) return end;
  const unsigned char* q = p + kChunk;
  for (int i = 0; i < 3 && is_continuation(*q); ++i) --q;
  return q;
}

// One maximal invalid subpart of `n` bytes at p: each byte through the page,
// a Fallback mark at the start of each run of mapped bytes (one per subpart
// unless an unmapped byte splits it), U+FFFD for each unmapped byte.
// Without a page the subpart is one undecodable unit.
bool take_invalid(const unsigned char* begin, const unsigned char* p, size_t n, const Page* page,
                  Sink& sink) {
  if (page == nullptr) return sink.undecodable(static_cast<size_t>(p - begin), n);
  bool in_run = false;
  for (size_t i = 0; i < n; ++i) {
    const PageEntry& e = page->entries[p[i]];
    if (e.length == 0) {
      in_run = false;
      if (!sink.undecodable(static_cast<size_t>(p + i - begin), 1)) return false;
      continue;
    }
    if (!in_run) sink.mark(MarkKind::Fallback);
    in_run = true;
    sink.put(e);
    sink.count_fallback();
  }
  return true;
}

// Decodes [p, stop) character by character (a character may end past
// `stop`, never past `end`): a chunk that holds an invalid sequence. Returns
// where it stopped, or nullptr when Strict ended the decoding.
const unsigned char* decode_damaged_utf8(const unsigned char* begin, const unsigned char* p,
                                         const unsigned char* stop, const unsigned char* end,
                                         const Page* page, Sink& sink) {
  while (p < stop) {
    if (*p < 0x80) {
      // The ASCII up to the next high byte, within sixteen, in one copy.
      if (static_cast<size_t>(end - p) >= simd::kBlock) {
        const unsigned high = simd::Block::load(p).mask();
        const size_t run = high == 0 ? simd::kBlock : simd::first(high);
        sink.put_bytes(p, run);
        p += run;
      } else {
        sink.put_byte(*p++);
      }
      continue;
    }
    char32_t cp;
    if (const size_t len = decode_utf8(p, end, cp)) {
      sink.put_bytes(p, len);
      p += len;
      continue;
    }
    const size_t n = invalid_subpart(p, end);
    if (!take_invalid(begin, p, n, page, sink)) return nullptr;
    p += n;
  }
  return p;
}

// Valid chunks are copied as they are; only a chunk the vector check
// rejects is decoded character by character.
void decode_utf8_text(const unsigned char* begin, const unsigned char* end, const Page* page,
                      Sink& sink) {
  const unsigned char* p = begin;
  while (p < end) {
    const unsigned char* const stop = chunk_end(p, end);
    const auto n = static_cast<size_t>(stop - p);
    if (is_valid_utf8(reinterpret_cast<const char*>(p), n)) {
      sink.put_bytes(p, n);
      p = stop;
      continue;
    }
    p = decode_damaged_utf8(begin, p, stop, end, page, sink);
    if (p == nullptr) return;
  }
}

// --- UTF-16 and UTF-32 -------------------------------------------------------

template <bool kBig>
inline char32_t unit16(const unsigned char* p) noexcept {
  return kBig ? char32_t{p[0]} << 8 | p[1] : char32_t{p[1]} << 8 | p[0];
}

template <bool kBig>
inline char32_t unit32(const unsigned char* p) noexcept {
  return kBig ? char32_t{p[0]} << 24 | char32_t{p[1]} << 16 | char32_t{p[2]} << 8 | p[3]
              : char32_t{p[3]} << 24 | char32_t{p[2]} << 16 | char32_t{p[1]} << 8 | p[0];
}

// True when the sixteen bytes at p hold only bytes below 0x80 and are NUL in
// every lane of `zero_lanes`: code units that are all ASCII.
inline bool ascii_units(const unsigned char* p, unsigned zero_lanes) noexcept {
  const simd::Block v = simd::Block::load(p);
  return v.mask() == 0 && (v.eq(simd::Block::zero()).mask() & zero_lanes) == zero_lanes;
}

// UTF-16: a surrogate pair is one character; a surrogate without its other
// half is undecodable (its two bytes), and so is an odd last byte.
template <bool kBig>
void decode_utf16(const unsigned char* begin, const unsigned char* end, Sink& sink) {
  constexpr unsigned kHighLanes = kBig ? 0x5555 : 0xAAAA;  // the high byte of each unit
  constexpr size_t kLow = kBig ? 1 : 0;
  const unsigned char* p = begin;
  while (end - p >= 2) {
    const unsigned char* stop = end;
    if (static_cast<size_t>(end - p) >= simd::kBlock) {
      if (ascii_units(p, kHighLanes)) {
        sink.put_strided<simd::kBlock / 2, 2>(p + kLow);
        p += simd::kBlock;
        continue;
      }
      stop = p + simd::kBlock;  // this block unit by unit, then try the next one whole
    }
    while (p < stop && end - p >= 2) {
      const char32_t u = unit16<kBig>(p);
      if (!is_surrogate(u)) {
        sink.put(u);
        p += 2;
        continue;
      }
      if (u <= 0xDBFF && end - p >= 4) {
        const char32_t low = unit16<kBig>(p + 2);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          sink.put(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
          p += 4;
          continue;
        }
      }
      if (!sink.undecodable(static_cast<size_t>(p - begin), 2)) return;
      p += 2;
    }
  }
  if (p < end) sink.undecodable(static_cast<size_t>(p - begin), 1);
}

// UTF-32: a value past U+10FFFF or a surrogate is undecodable (its four
// bytes), and so is a partial unit at the end.
template <bool kBig>
void decode_utf32(const unsigned char* begin, const unsigned char* end, Sink& sink) {
  constexpr unsigned kHighLanes = kBig ? 0x7777 : 0xEEEE;  // the three high bytes of each unit
  constexpr size_t kLow = kBig ? 3 : 0;
  const unsigned char* p = begin;
  while (end - p >= 4) {
    const unsigned char* stop = end;
    if (static_cast<size_t>(end - p) >= simd::kBlock) {
      if (ascii_units(p, kHighLanes)) {
        sink.put_strided<simd::kBlock / 4, 4>(p + kLow);
        p += simd::kBlock;
        continue;
      }
      stop = p + simd::kBlock;
    }
    for (; p < stop && end - p >= 4; p += 4) {
      const char32_t u = unit32<kBig>(p);
      if (u <= 0x10FFFF && !is_surrogate(u)) {
        sink.put(u);
      } else if (!sink.undecodable(static_cast<size_t>(p - begin), 4)) {
        return;
      }
    }
  }
  if (p < end) sink.undecodable(static_cast<size_t>(p - begin), static_cast<size_t>(end - p));
}

// --- Single-byte pages -------------------------------------------------------

void decode_single_byte(const unsigned char* begin, const unsigned char* end, const Page& page,
                        Sink& sink) {
  const unsigned char* p = begin;
  while (p < end) {
    const unsigned char* stop = end;
    if (static_cast<size_t>(end - p) >= simd::kBlock) {
      if (page.ascii_identity && simd::Block::load(p).mask() == 0) {
        sink.put_bytes(p, simd::kBlock);
        p += simd::kBlock;
        continue;
      }
      stop = p + simd::kBlock;
    }
    for (; p < stop; ++p) {
      const PageEntry& e = page.entries[*p];
      if (e.length != 0) {
        sink.put(e);
      } else if (!sink.undecodable(static_cast<size_t>(p - begin), 1)) {
        return;
      }
    }
  }
}

// n * k, or the largest size when that overflows (the allocation then fails
// as any other too large one).
constexpr size_t times(size_t n, size_t k) noexcept {
  return n > std::numeric_limits<size_t>::max() / k ? std::numeric_limits<size_t>::max() : n * k;
}

// --- The decision ------------------------------------------------------------

// A file whose non-ASCII lines are partly valid UTF-8 is two exports glued
// together (a UTF-8 one and a legacy one) when at least this many of those
// lines are valid UTF-8...
constexpr size_t kMixedMinValidLines = 2;
// ...and there are at most this many invalid lines per valid one. A legacy
// file has a few lines that happen to be valid UTF-8 by accident (two
// letters such as "Ã©" in cp1252 form a valid pair), far fewer than this.
constexpr size_t kMixedInvalidPerValid = 10;

// UTF-32: the share of the units whose two high bytes (UTF-32 values are at
// most U+10FFFF, so the top byte is always NUL; the next is NUL for the
// BMP) must be NUL, in percent, and the most NULs the lowest byte may have.
constexpr size_t kUtf32TopNulPercent = 95;
constexpr size_t kUtf32ThirdNulPercent = 50;
constexpr size_t kUtf32LowNulPercent = 50;
// UTF-16: the high side of the units must hold this many times the NULs of
// the low side, and be NUL in this share of its positions at least (ASCII
// text puts a NUL on every unit, CJK text on its digits, delimiters and
// line feeds, which no CSV file lacks; an 8-bit file with a few stray NULs
// has them on both sides alike).
constexpr size_t kUtf16SideRatio = 4;
constexpr size_t kUtf16MinNulPercent = 5;
// A wide encoding must also show its line feeds as whole units (0A 00 at an
// even offset for UTF-16 LE, ...): at least half of the sample's 0x0A bytes
// (a CJK character may hold one as its low byte). An 8-bit file with NULs
// inside its fields has its line feeds beside other text. A sample without
// any line feed needs this share of NULs on the heavy side instead; and
// either way the heavy side holds a few NULs at least, so that a short line
// with a NUL or two in it stays 8-bit text.
constexpr size_t kNoLineFeedNulPercent = 25;
constexpr size_t kWideMinNuls = 4;

// How many line feeds stand in [p, p + n) as one whole code unit of `e`:
// 0x0A in the unit's low byte, NUL in every other.
size_t unit_line_feeds(const unsigned char* p, size_t n, TextEncoding e) noexcept {
  const size_t width = e == TextEncoding::Utf16LE || e == TextEncoding::Utf16BE ? 2 : 4;
  const size_t low = e == TextEncoding::Utf16LE || e == TextEncoding::Utf32LE ? 0 : width - 1;
  size_t found = 0;
  for (size_t at = 0; at + width <= n; at += width) {
    if (p[at + low] != '\n') continue;
    size_t nul = 0;
    for (size_t k = 0; k < width; ++k) nul += p[at + k] == 0;
    found += nul == width - 1;
  }
  return found;
}

// Whether the NUL pattern's guess `e` is borne out by the line feeds.
bool wide_line_feeds_agree(const unsigned char* p, size_t n, TextEncoding e, size_t heavy_nuls,
                           size_t heavy_slots) noexcept {
  if (heavy_nuls < kWideMinNuls) return false;
  const size_t line_feeds = static_cast<size_t>(std::count(p, p + n, static_cast<unsigned char>('\n')));
  if (line_feeds == 0) return heavy_nuls * 100 >= heavy_slots * kNoLineFeedNulPercent;
  return 2 * unit_line_feeds(p, n, e) >= line_feeds;
}

// Where the next line feed from p is (or `end`), and whether a byte above
// 0x7F comes before it.
const unsigned char* line_end(const unsigned char* p, const unsigned char* end,
                              bool& high) noexcept {
  const simd::Block lf = simd::Block::splat('\n');
  unsigned seen = 0;
  while (static_cast<size_t>(end - p) >= simd::kBlock) {
    const simd::Block v = simd::Block::load(p);
    const unsigned hit = v.eq(lf).mask();
    if (hit != 0) {
      high = (seen | simd::below(v.mask(), simd::first(hit))) != 0;
      return p + simd::first(hit);
    }
    seen |= v.mask();
    p += simd::kBlock;
  }
  unsigned char bits = 0;
  while (p < end && *p != '\n') bits |= *p++;
  high = seen != 0 || bits >= 0x80;
  return p;
}

// Calls on_line(begin, end, high) for each line, `end` past its line feed
// (when it has one), `high` whether it holds a byte above 0x7F, until
// on_line returns false.
template <class F>
void for_each_line(std::string_view input, F&& on_line) {
  const auto* p = reinterpret_cast<const unsigned char*>(input.data());
  const unsigned char* const end = p + input.size();
  while (p < end) {
    bool high = false;
    const unsigned char* const lf = line_end(p, end, high);
    const unsigned char* const next = lf < end ? lf + 1 : end;
    if (!on_line(p, next, high)) return;
    p = next;
  }
}

// The maximal invalid subparts of one line, and the high bytes it holds
// (every byte of a sequence or subpart lies above 0x7F).
void tally_invalid_line(const unsigned char* p, const unsigned char* end, Utf8Census& census) {
  while (p < end) {
    if (*p < 0x80) {
      if (static_cast<size_t>(end - p) >= simd::kBlock) {
        const unsigned high = simd::Block::load(p).mask();
        p += high == 0 ? simd::kBlock : simd::first(high);
      } else {
        ++p;
      }
      continue;
    }
    char32_t cp;
    size_t len = decode_utf8(p, end, cp);
    if (len == 0) {
      ++census.invalid_sequences;
      len = invalid_subpart(p, end);
    }
    for (size_t i = 0; i < len; ++i) census.high_bytes[p[i] - 0x80] = true;
    p += len;
  }
}

}  // namespace

const char* encoding_source_name(EncodingSource source) noexcept {
  switch (source) {
    case EncodingSource::Bom: return "bom";
    case EncodingSource::Utf8: return "utf-8";
    case EncodingSource::NulPattern: return "nul pattern";
    case EncodingSource::Detected: return "detected";
    case EncodingSource::Given: return "given";
    case EncodingSource::Fallback: return "fallback";
  }
  return "?";
}

const ByteTable& cp1252_table() noexcept {
  // Windows-1252 is Latin-1 but for 0x80..0x9F, where it places punctuation
  // and a few letters and leaves five bytes undefined.
  static constexpr std::array<char32_t, 32> kHigh = {
      0x20AC, kUnmapped, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
      0x02C6, 0x2030,    0x0160, 0x2039, 0x0152, kUnmapped, 0x017D, kUnmapped,
      kUnmapped, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
      0x02DC, 0x2122,    0x0161, 0x203A, 0x0153, kUnmapped, 0x017E, 0x0178,
  };
  static constexpr ByteTable kTable = [] {
    ByteTable t{};
    for (size_t b = 0; b < 256; ++b) t[b] = static_cast<char32_t>(b);
    for (size_t i = 0; i < kHigh.size(); ++i) t[0x80 + i] = kHigh[i];
    return t;
  }();
  return kTable;
}

// Worst cases per input unit: UTF-8 with a fallback page, three bytes for a
// byte (a page's BMP character, or U+FFFD for a one-byte subpart); UTF-16,
// three for a unit (a BMP character or U+FFFD), four for a pair, three for
// an odd last byte; UTF-32, four for a unit, three (U+FFFD) for a partial
// last one; a single-byte page, three for a byte. External text is decoded
// by the caller into a buffer of its own: 0.
size_t max_decoded_size(size_t input_size, TextEncoding encoding) noexcept {
  switch (encoding) {
    case TextEncoding::Utf8:
    case TextEncoding::SingleByte:
      return times(input_size, 3);
    case TextEncoding::Utf16LE:
    case TextEncoding::Utf16BE:
      return times(input_size / 2 + input_size % 2 + 1, 3);  // ceil(n / 2) * 3 + 3
    case TextEncoding::Utf32LE:
    case TextEncoding::Utf32BE:
      return times(input_size / 4 + 1, 4);
    case TextEncoding::External:
      return 0;
  }
  return 0;
}

namespace {

// Decodes [begin, end) per `decoding` into `sink`.
void decode_range(const unsigned char* begin, const unsigned char* end, const DecodeOptions& decoding,
                  const Page* page, Sink& sink) {
  switch (decoding.encoding) {
    case TextEncoding::Utf8: decode_utf8_text(begin, end, page, sink); break;
    case TextEncoding::Utf16LE: decode_utf16<false>(begin, end, sink); break;
    case TextEncoding::Utf16BE: decode_utf16<true>(begin, end, sink); break;
    case TextEncoding::Utf32LE: decode_utf32<false>(begin, end, sink); break;
    case TextEncoding::Utf32BE: decode_utf32<true>(begin, end, sink); break;
    case TextEncoding::SingleByte: decode_single_byte(begin, end, *page, sink); break;
    case TextEncoding::External: break;
  }
}

// Inputs from this size on are decoded by two threads, one half each: the
// decoders run at a few hundred MB/s, and a run waits for all of the text.
constexpr size_t kSplitDecodeBytes = size_t{16} << 20;
// How far past the middle a line feed to split at is looked for.
constexpr size_t kSplitSearchBytes = size_t{1} << 20;

// Where the second half of a split decode begins: just past a line feed near
// the middle, which is a boundary of characters in every encoding decoded
// here (a code unit of its own in UTF-16/32, never inside a sequence of
// UTF-8 or a surrogate pair); 0 when there is none close by.
size_t split_point(const unsigned char* p, size_t n, TextEncoding e) noexcept {
  size_t width = 1, low = 0;
  if (e == TextEncoding::Utf16LE || e == TextEncoding::Utf16BE) width = 2;
  if (e == TextEncoding::Utf32LE || e == TextEncoding::Utf32BE) width = 4;
  if (e == TextEncoding::Utf16BE || e == TextEncoding::Utf32BE) low = width - 1;
  const size_t mid = n / 2 / width * width;
  for (size_t at = mid; at + width <= n && at - mid < kSplitSearchBytes; at += width) {
    if (p[at + low] != '\n') continue;
    size_t nul = 0;
    for (size_t k = 0; k < width; ++k) nul += p[at + k] == 0;
    if (nul == width - 1) return at + width;
  }
  return 0;
}

// Joins a thread however the scope is left.
struct Joined {
  std::thread& thread;
  ~Joined() {
    if (thread.joinable()) thread.join();
  }
};

}  // namespace

DecodeStatus decode_text(std::string_view input, const DecodeOptions& decoding, DecodedText& out) {
  out.marks.clear();
  out.stats = DecodeStats{};
  out.bytes.size = 0;
  out.bytes.data.reset();  // before the new buffer: never both at once
  // External text is the caller's to decode: nothing to do here.
  if (decoding.encoding == TextEncoding::External) return DecodeStatus::Aborted;

  std::optional<Page> page;
  if (decoding.encoding == TextEncoding::SingleByte) {
    // A single-byte decoding without a page decodes as the fallback page.
    page.emplace(prepare_page(decoding.table ? *decoding.table : cp1252_table()));
  } else if (decoding.encoding == TextEncoding::Utf8 && decoding.table != nullptr) {
    page.emplace(prepare_page(*decoding.table));
  }
  const Page* const pg = page ? &*page : nullptr;
  const auto* begin = reinterpret_cast<const unsigned char*>(input.data());
  const unsigned char* const end = begin + input.size();
  const size_t split = input.size() >= kSplitDecodeBytes ? split_point(begin, input.size(), decoding.encoding) : 0;
  const size_t head_room = max_decoded_size(split != 0 ? split : input.size(), decoding.encoding);
  const size_t tail_room = split != 0 ? max_decoded_size(input.size() - split, decoding.encoding) : 0;

  // Not zero-filled: the decoder writes every byte it keeps, and the pages
  // past the decoded size are never touched.
  out.bytes.data.reset(new char[head_room + tail_room]);
  char* const base = out.bytes.data.get();
  Sink sink(out, base, decoding.errors);
  if (split == 0) {
    decode_range(begin, end, decoding, pg, sink);
  } else {
    // The second half goes into the room past the first half's, and moves
    // down next to it once both are done.
    DecodedText tail;
    size_t tail_size = 0;
    bool tail_stopped = false;
    std::exception_ptr tail_failure;
    std::thread worker([&] {
      try {
        Sink tail_sink(tail, base + head_room, decoding.errors);
        decode_range(begin + split, end, decoding, pg, tail_sink);
        tail_size = tail_sink.offset();
        tail_stopped = tail_sink.stopped();
      } catch (...) {
        tail_failure = std::current_exception();
      }
    });
    {
      Joined joined{worker};
      decode_range(begin, begin + split, decoding, pg, sink);
    }
    if (tail_failure) std::rethrow_exception(tail_failure);
    if (!sink.stopped()) {
      const size_t head_size = sink.offset();
      std::memmove(base + head_size, base + head_room, tail_size);
      out.marks.reserve(out.marks.size() + tail.marks.size());
      for (DecodeMark m : tail.marks) out.marks.push_back(DecodeMark{m.offset + head_size, m.kind});
      out.stats.replaced_bytes += tail.stats.replaced_bytes;
      out.stats.fallback_bytes += tail.stats.fallback_bytes;
      out.bytes.size = head_size + tail_size;
      if (!tail_stopped) return DecodeStatus::Ok;
      out.stats.error_offset = split + tail.stats.error_offset;
      out.stats.error_length = tail.stats.error_length;
      out.stats.error_line = 1 + count_byte(out.bytes.view(), '\n');
      return DecodeStatus::Undecodable;
    }
  }

  out.bytes.size = sink.offset();
  if (!sink.stopped()) return DecodeStatus::Ok;
  out.stats.error_line = 1 + count_byte(out.bytes.view(), '\n');
  return DecodeStatus::Undecodable;
}

BomMatch match_bom(std::string_view input) noexcept {
  const auto starts = [input](std::string_view mark) {
    return input.substr(0, mark.size()) == mark;
  };
  using namespace std::string_view_literals;
  if (starts("\xEF\xBB\xBF"sv)) return {TextEncoding::Utf8, 3};
  if (starts("\xFF\xFE\x00\x00"sv)) return {TextEncoding::Utf32LE, 4};
  if (starts("\xFF\xFE"sv)) return {TextEncoding::Utf16LE, 2};
  if (starts("\x00\x00\xFE\xFF"sv)) return {TextEncoding::Utf32BE, 4};
  if (starts("\xFE\xFF"sv)) return {TextEncoding::Utf16BE, 2};
  return {};
}

TextEncoding wide_encoding_from_nuls(std::string_view input, size_t sample) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(input.data());
  const size_t n = std::min(sample, input.size());

  // NULs at each offset mod 4: sixteen bytes at a time, the block mask's
  // bits split by lane (the block size is a multiple of 4).
  size_t nuls[4] = {0, 0, 0, 0};
  size_t i = 0;
  const simd::Block zero = simd::Block::zero();
  for (; i + simd::kBlock <= n; i += simd::kBlock) {
    const unsigned m = simd::Block::load(p + i).eq(zero).mask();
    if (m == 0) continue;
    for (unsigned r = 0; r < 4; ++r) nuls[r] += simd::count_bits(m & (0x1111u << r));
  }
  for (; i < n; ++i) nuls[i % 4] += p[i] == 0;
  if (nuls[0] + nuls[1] + nuls[2] + nuls[3] == 0) return TextEncoding::Utf8;

  // Positions at each offset mod 4.
  size_t slots[4];
  for (size_t r = 0; r < 4; ++r) slots[r] = n / 4 + (r < n % 4);
  const auto at_least = [](size_t count, size_t of, size_t percent) {
    return count * 100 >= of * percent;
  };
  const auto at_most = [](size_t count, size_t of, size_t percent) {
    return count * 100 <= of * percent;
  };

  if (n >= 4) {
    if (at_least(nuls[3], slots[3], kUtf32TopNulPercent) &&
        at_least(nuls[2], slots[2], kUtf32ThirdNulPercent) &&
        at_most(nuls[0], slots[0], kUtf32LowNulPercent) &&
        wide_line_feeds_agree(p, n, TextEncoding::Utf32LE, nuls[3], slots[3])) {
      return TextEncoding::Utf32LE;
    }
    if (at_least(nuls[0], slots[0], kUtf32TopNulPercent) &&
        at_least(nuls[1], slots[1], kUtf32ThirdNulPercent) &&
        at_most(nuls[3], slots[3], kUtf32LowNulPercent) &&
        wide_line_feeds_agree(p, n, TextEncoding::Utf32BE, nuls[0], slots[0])) {
      return TextEncoding::Utf32BE;
    }
  }
  if (n < 2) return TextEncoding::Utf8;
  const size_t even = nuls[0] + nuls[2], odd = nuls[1] + nuls[3];
  const size_t even_slots = slots[0] + slots[2], odd_slots = slots[1] + slots[3];
  if (odd >= kUtf16SideRatio * even && at_least(odd, odd_slots, kUtf16MinNulPercent) &&
      wide_line_feeds_agree(p, n, TextEncoding::Utf16LE, odd, odd_slots)) {
    return TextEncoding::Utf16LE;
  }
  if (even >= kUtf16SideRatio * odd && at_least(even, even_slots, kUtf16MinNulPercent) &&
      wide_line_feeds_agree(p, n, TextEncoding::Utf16BE, even, even_slots)) {
    return TextEncoding::Utf16BE;
  }
  return TextEncoding::Utf8;
}

Utf8Census census_utf8(std::string_view input, size_t sample_cap) {
  Utf8Census census;
  // A sequence never spans a line feed (no continuation byte), so a line is
  // valid exactly when its sequences are. Whether each line with a high
  // byte is invalid is kept, a bit a line, for the sample's pass.
  std::vector<bool> invalid;
  size_t invalid_bytes = 0;
  for_each_line(input, [&](const unsigned char* p, const unsigned char* end, bool high) {
    if (!high) return true;
    const auto n = static_cast<size_t>(end - p);
    const bool valid = is_valid_utf8(reinterpret_cast<const char*>(p), n);
    invalid.push_back(!valid);
    if (valid) {
      ++census.valid_lines;
    } else {
      ++census.invalid_lines;
      invalid_bytes += static_cast<size_t>(end - p);
      tally_invalid_line(p, end, census);
    }
    return true;
  });
  if (invalid_bytes == 0 || sample_cap == 0) return census;

  // The sample: when the invalid lines exceed the cap, a line is taken
  // whenever the invalid bytes passed since the last one taken reach `ratio`
  // times its length, so the lines taken spread over the whole file and add
  // up to about the cap. The last one is cut at the cap.
  census.sample.reserve(std::min(sample_cap, invalid_bytes));
  const double ratio = static_cast<double>(invalid_bytes) / static_cast<double>(sample_cap);
  double next = 0;    // invalid bytes before the next line that may be taken
  size_t passed = 0;  // invalid bytes before this line
  size_t k = 0;       // lines with a high byte so far
  for_each_line(input, [&](const unsigned char* p, const unsigned char* end, bool high) {
    if (!high || !invalid[k++]) return true;
    const auto len = static_cast<size_t>(end - p);
    if (static_cast<double>(passed) >= next) {
      const size_t room = sample_cap - census.sample.size();
      census.sample.append(reinterpret_cast<const char*>(p), std::min(len, room));
      next = static_cast<double>(passed) + static_cast<double>(len) * ratio;
    }
    passed += len;
    return census.sample.size() < sample_cap;
  });
  return census;
}

// Inputs up to this size are censused whole; larger ones in windows spread
// evenly over them, so that a census reads at most kCensusWindows windows of
// kCensusWindow bytes (4 MiB) whatever the size. Spread over the file, the
// windows see a glued-on UTF-8 export and the variety of the legacy text as
// well as a whole pass does, at a fraction of its cost.
constexpr size_t kCensusWhole = size_t{4} << 20;
constexpr size_t kCensusWindows = 256;
constexpr size_t kCensusWindow = size_t{16} << 10;

// The census of the whole lines of [begin, end) (a window cut to line
// feeds), added into `total`.
void add_window(std::string_view input, size_t begin, size_t end, size_t sample_cap, Utf8Census& total) {
  const char* data = input.data();
  if (begin > 0) {
    const void* nl = std::memchr(data + begin, '\n', end - begin);
    if (nl == nullptr) return;
    begin = static_cast<size_t>(static_cast<const char*>(nl) - data) + 1;
  }
  if (end < input.size()) {
    const std::string_view span = input.substr(begin, end - begin);
    const size_t nl = span.rfind('\n');
    if (nl == std::string_view::npos) return;
    end = begin + nl + 1;
  }
  if (begin >= end) return;
  const Utf8Census c = census_utf8(input.substr(begin, end - begin), sample_cap);
  total.valid_lines += c.valid_lines;
  total.invalid_lines += c.invalid_lines;
  total.invalid_sequences += c.invalid_sequences;
  for (size_t i = 0; i < total.high_bytes.size(); ++i) total.high_bytes[i] = total.high_bytes[i] || c.high_bytes[i];
  total.sample += c.sample;
}

Utf8Census census_spread(std::string_view input, size_t sample_cap) {
  if (input.size() <= kCensusWhole) return census_utf8(input, sample_cap);
  Utf8Census total;
  const size_t stride = input.size() / kCensusWindows;
  for (size_t w = 0; w < kCensusWindows; ++w) {
    const size_t begin = w * stride;
    add_window(input, begin, std::min(input.size(), begin + kCensusWindow), sample_cap / kCensusWindows, total);
  }
  return total;
}

EncodingDecision decide_encoding(std::string_view input, size_t sample_cap) {
  EncodingDecision d;
  std::string_view rest = input;
  const BomMatch bom = match_bom(input);
  if (bom.length != 0) {
    d.skip = bom.length;
    rest.remove_prefix(bom.length);
    if (bom.encoding != TextEncoding::Utf8 || is_valid_utf8(rest.data(), rest.size())) {
      d.encoding = bom.encoding;
      d.source = EncodingSource::Bom;
      return d;
    }
    d.stray_bom = true;  // and the rest, known not to be UTF-8, is decided below
  }

  const TextEncoding wide = wide_encoding_from_nuls(rest);
  if (wide != TextEncoding::Utf8) {
    d.encoding = wide;
    d.source = EncodingSource::NulPattern;
    return d;
  }
  if (!d.stray_bom && is_valid_utf8(rest.data(), rest.size())) {
    d.encoding = TextEncoding::Utf8;
    d.source = EncodingSource::Utf8;
    return d;
  }

  d.census = census_spread(rest, sample_cap);
  d.needs_page = true;
  d.mixed = d.census.valid_lines >= kMixedMinValidLines &&
            d.census.valid_lines * kMixedInvalidPerValid >= d.census.invalid_lines;
  if (d.mixed) {
    d.encoding = TextEncoding::Utf8;
    d.source = EncodingSource::Fallback;
  } else {
    d.encoding = TextEncoding::SingleByte;  // the caller's detector names the page
    d.source = EncodingSource::Detected;
  }
  return d;
}

}  // namespace rowvane
