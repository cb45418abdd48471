// The vector operations of the core's scans, in one place: sixteen bytes
// compared against a byte at once, the answer as a 16-bit mask (bit i for
// byte i), and a counter of matches over many blocks. Every scan is written
// once against this layer; the layer has an SSE2 version (any x86-64) and a
// portable one built on 64-bit words, which ROWVANE_PORTABLE (the CMake
// option of that name) selects on any machine so that the tests run it on
// x86-64 too. Another instruction set is one more section of this file.
//
// The AVX2 paths chosen at run time live apart, in core/simd_dispatch.cpp:
// they are the only code built for a target the baseline build does not
// assume.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__) && !defined(ROWVANE_PORTABLE)
#define ROWVANE_SSE2 1
#include <emmintrin.h>
#else
#define ROWVANE_SSE2 0
#endif

#if defined(__x86_64__) && defined(__GNUC__) && !defined(ROWVANE_PORTABLE)
#define ROWVANE_AVX2_DISPATCH 1
#else
#define ROWVANE_AVX2_DISPATCH 0
#endif

namespace rowvane::simd {

// Bytes per block.
inline constexpr size_t kBlock = 16;

// Index of the lowest set bit of a nonzero mask.
inline size_t first(unsigned mask) noexcept { return static_cast<size_t>(std::countr_zero(mask)); }

// The bits of `mask` below bit k (k < 16).
inline unsigned below(unsigned mask, size_t k) noexcept { return mask & ((1u << k) - 1); }

// Set bits of a 16-bit mask, without a library call where the target has no
// population-count instruction.
inline size_t count_bits(unsigned x) noexcept {
  x = x - ((x >> 1) & 0x5555u);
  x = (x & 0x3333u) + ((x >> 2) & 0x3333u);
  x = (x + (x >> 4)) & 0x0F0Fu;
  return (x + (x >> 8)) & 0x1Fu;
}

#if ROWVANE_SSE2

// Sixteen bytes, or sixteen lanes each 0x00 or 0xFF (a comparison's answer).
class Block {
 public:
  static Block load(const void* p) noexcept {
    return Block(_mm_loadu_si128(static_cast<const __m128i*>(p)));
  }
  static Block splat(unsigned char c) noexcept { return Block(_mm_set1_epi8(static_cast<char>(c))); }
  static Block zero() noexcept { return Block(_mm_setzero_si128()); }

  // 0xFF in each lane where the bytes are equal.
  Block eq(Block other) const noexcept { return Block(_mm_cmpeq_epi8(v_, other.v_)); }
  Block operator|(Block other) const noexcept { return Block(_mm_or_si128(v_, other.v_)); }
  Block operator&(Block other) const noexcept { return Block(_mm_and_si128(v_, other.v_)); }

  // The high bit of each byte: for a comparison, where it matched; for
  // text, where a byte lies above 0x7F.
  unsigned mask() const noexcept { return static_cast<unsigned>(_mm_movemask_epi8(v_)); }

 private:
  friend class MatchCounter;
  explicit Block(__m128i v) noexcept : v_(v) {}
  __m128i v_;
};

// Counts matches over many blocks: each lane adds bytewise and the bytes are
// summed before any of them can overflow.
class MatchCounter {
 public:
  void add(Block matches) noexcept {
    acc_ = _mm_sub_epi8(acc_, matches.v_);  // a match lane is 0xFF, i.e. -1
    if (++blocks_ == 255) drain();
  }
  // Matches so far (adds those of the lanes not yet summed).
  size_t total() noexcept {
    drain();
    return total_;
  }

 private:
  void drain() noexcept {
    const __m128i sums = _mm_sad_epu8(acc_, _mm_setzero_si128());
    total_ += static_cast<size_t>(_mm_cvtsi128_si32(sums)) +
              static_cast<size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    acc_ = _mm_setzero_si128();
    blocks_ = 0;
  }
  __m128i acc_ = _mm_setzero_si128();
  unsigned blocks_ = 0;
  size_t total_ = 0;
};

#else  // portable: two 64-bit words per block

class Block {
 public:
  static Block load(const void* p) noexcept {
    Block b;
    std::memcpy(b.w_, p, sizeof b.w_);
    if constexpr (std::endian::native == std::endian::big) {
      b.w_[0] = __builtin_bswap64(b.w_[0]);  // byte i of the block is byte i of the words
      b.w_[1] = __builtin_bswap64(b.w_[1]);
    }
    return b;
  }
  static Block splat(unsigned char c) noexcept { return Block(kOnes * c, kOnes * c); }
  static Block zero() noexcept { return Block(0, 0); }

  Block eq(Block other) const noexcept {
    return Block(equal_lanes(w_[0] ^ other.w_[0]), equal_lanes(w_[1] ^ other.w_[1]));
  }
  Block operator|(Block other) const noexcept { return Block(w_[0] | other.w_[0], w_[1] | other.w_[1]); }
  Block operator&(Block other) const noexcept { return Block(w_[0] & other.w_[0], w_[1] & other.w_[1]); }

  unsigned mask() const noexcept { return gather(w_[0]) | gather(w_[1]) << 8; }

 private:
  friend class MatchCounter;
  static constexpr uint64_t kOnes = 0x0101010101010101ULL;
  static constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  static constexpr uint64_t kHighs = 0x8080808080808080ULL;

  Block() noexcept = default;
  Block(uint64_t lo, uint64_t hi) noexcept : w_{lo, hi} {}

  // 0xFF in each zero byte of x, exactly (no borrow crosses a byte).
  static uint64_t equal_lanes(uint64_t x) noexcept {
    const uint64_t zero_high = ~(((x & kLow7) + kLow7) | x) & kHighs;
    return (zero_high >> 7) * 0xFF;
  }
  // The high bit of byte i as bit i.
  static unsigned gather(uint64_t w) noexcept {
    return static_cast<unsigned>((((w & kHighs) >> 7) * 0x0102040810204080ULL) >> 56);
  }

  uint64_t w_[2] = {0, 0};
};

class MatchCounter {
 public:
  void add(Block matches) noexcept {
    acc_ += ((matches.w_[0] >> 7) & Block::kOnes) + ((matches.w_[1] >> 7) & Block::kOnes);
    if (++blocks_ == 127) drain();  // two per block: a byte reaches at most 254
  }
  size_t total() noexcept {
    drain();
    return total_;
  }

 private:
  void drain() noexcept {
    constexpr uint64_t kEven = 0x00FF00FF00FF00FFULL;
    const uint64_t pairs = (acc_ & kEven) + ((acc_ >> 8) & kEven);
    total_ += static_cast<size_t>((pairs * 0x0001000100010001ULL) >> 48);
    acc_ = 0;
    blocks_ = 0;
  }
  uint64_t acc_ = 0;
  unsigned blocks_ = 0;
  size_t total_ = 0;
};

#endif

// Where any of the bytes of `b` equals a, b or c (and so on): the shapes the
// scans use.
inline Block any_of(Block v, Block a, Block b) noexcept { return v.eq(a) | v.eq(b); }
inline Block any_of(Block v, Block a, Block b, Block c) noexcept { return v.eq(a) | v.eq(b) | v.eq(c); }
inline Block any_of(Block v, Block a, Block b, Block c, Block d) noexcept {
  return (v.eq(a) | v.eq(b)) | (v.eq(c) | v.eq(d));
}

// First byte in [p, end) equal to a, b or c, or `end`. The bytes passed over
// are ORed into `seen`, so that a caller can tell an all-ASCII span (no high
// bit in `seen`) without reading it again. A few bytes past the stop may be
// ORed in too: that only costs a needless UTF-8 check, never a wrong answer.
inline const unsigned char* find_any(const unsigned char* p, const unsigned char* end,
                                     unsigned char a, unsigned char b, unsigned char c,
                                     unsigned& seen) noexcept {
  const Block va = Block::splat(a);
  const Block vb = Block::splat(b);
  const Block vc = Block::splat(c);
  unsigned high = 0;
  while (end - p >= static_cast<std::ptrdiff_t>(kBlock)) {
    const Block v = Block::load(p);
    const unsigned hit = any_of(v, va, vb, vc).mask();
    high |= v.mask();
    if (hit != 0) {
      if (high != 0) seen |= 0x80;
      return p + first(hit);
    }
    p += kBlock;
  }
  if (high != 0) seen |= 0x80;
  while (p < end && *p != a && *p != b && *p != c) seen |= *p++;
  return p;
}

}  // namespace rowvane::simd

namespace rowvane {

// Occurrences of `byte` in `text`: 32 bytes per step where the processor
// has AVX2 (chosen at run time), else sixteen.
size_t count_byte(std::string_view text, char byte) noexcept;
// The two paths behind count_byte, for tests.
size_t count_byte_baseline(std::string_view text, char byte) noexcept;
size_t count_byte_vector(std::string_view text, char byte) noexcept;

// Makes every dispatched vector path take its baseline version (tests only:
// not thread-safe, meant to be set before any parsing).
void force_scalar_paths(bool on) noexcept;

}  // namespace rowvane
