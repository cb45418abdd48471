// The vector layer against byte-at-a-time answers. Built twice by the test
// command: with the SSE2 layer, and with the portable one (ROWVANE_PORTABLE).
#include <gtest/gtest.h>

#include <array>
#include <random>

#include "core/simd.hpp"

namespace rowvane {
namespace {

using Bytes = std::array<unsigned char, simd::kBlock>;

unsigned reference_mask(const Bytes& bytes, unsigned char c) {
  unsigned mask = 0;
  for (size_t i = 0; i < bytes.size(); ++i) mask |= (bytes[i] == c ? 1u : 0u) << i;
  return mask;
}

unsigned reference_high(const Bytes& bytes) {
  unsigned mask = 0;
  for (size_t i = 0; i < bytes.size(); ++i) mask |= (bytes[i] >> 7) << i;
  return mask;
}

// Blocks drawn from a few bytes, so matches are frequent, plus the bytes
// where word tricks go wrong: 0x00, 0x7F, 0x80, 0xFF next to each other.
Bytes random_block(std::mt19937& rng) {
  static constexpr unsigned char kAlphabet[] = {0x00, 0x01, 0x7F, 0x80, 0x81, 0xFE, 0xFF, ',', '"', 'a'};
  Bytes b{};
  for (auto& c : b) c = kAlphabet[rng() % sizeof kAlphabet];
  return b;
}

TEST(Simd, CompareMaskAndAnyOfMatchBytewise) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20000; ++round) {
    const Bytes bytes = random_block(rng);
    const simd::Block v = simd::Block::load(bytes.data());
    ASSERT_EQ(v.mask(), reference_high(bytes));
    const unsigned char a = bytes[rng() % bytes.size()];
    const unsigned char b = static_cast<unsigned char>(rng());
    const unsigned char c = bytes[rng() % bytes.size()];
    const unsigned char d = static_cast<unsigned char>(rng());
    ASSERT_EQ(v.eq(simd::Block::splat(a)).mask(), reference_mask(bytes, a));
    const unsigned want = reference_mask(bytes, a) | reference_mask(bytes, b) |
                          reference_mask(bytes, c) | reference_mask(bytes, d);
    ASSERT_EQ(simd::any_of(v, simd::Block::splat(a), simd::Block::splat(b), simd::Block::splat(c),
                           simd::Block::splat(d))
                  .mask(),
              want);
    ASSERT_EQ((v.eq(simd::Block::splat(a)) & v.eq(simd::Block::splat(c))).mask(),
              reference_mask(bytes, a) & reference_mask(bytes, c));
  }
}

TEST(Simd, MatchCounterAcrossItsDrains) {
  // Every lane matching in every block is the worst case for the per-lane
  // sums; block counts around the drain points of both layers.
  for (size_t blocks : {0, 1, 126, 127, 128, 254, 255, 256, 1000}) {
    simd::MatchCounter all;
    simd::MatchCounter some;
    size_t want_some = 0;
    std::mt19937 rng(static_cast<unsigned>(blocks));
    for (size_t i = 0; i < blocks; ++i) {
      const Bytes bytes = random_block(rng);
      const simd::Block v = simd::Block::load(bytes.data());
      all.add(v.eq(v));
      some.add(v.eq(simd::Block::splat(',')));
      want_some += static_cast<size_t>(__builtin_popcount(reference_mask(bytes, ',')));
    }
    EXPECT_EQ(all.total(), blocks * simd::kBlock) << blocks;
    EXPECT_EQ(some.total(), want_some) << blocks;
  }
}

TEST(Simd, BitHelpers) {
  for (unsigned x = 1; x < (1u << 16); x += 37) {
    EXPECT_EQ(simd::count_bits(x), static_cast<size_t>(__builtin_popcount(x)));
    EXPECT_EQ(simd::first(x), static_cast<size_t>(__builtin_ctz(x)));
    for (size_t k = 0; k < 16; k += 5) EXPECT_EQ(simd::below(x, k), x & ((1u << k) - 1));
  }
}

}  // namespace
}  // namespace rowvane
