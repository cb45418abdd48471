// The AVX2 paths and their run-time dispatch: UTF-8 validation and byte
// counting, 32 bytes per step where the processor has AVX2, chosen once at
// run time; the baseline versions (parser.cpp: SSE2 or portable words, and
// the exact byte-at-a-time UTF-8 check) everywhere else and for short texts.
// Kept in one file: the only code built for a target the baseline build does
// not assume.
//
// The vector check classifies each byte pair by three 16-entry tables (high
// nibble of the previous byte, its low nibble, high nibble of the byte) whose
// AND is nonzero exactly for the invalid two-byte patterns; third and fourth
// bytes of a sequence are checked by where the leads two and three bytes back
// require a continuation. A zero-padded last block makes a sequence cut off
// by the end of the text an error, as the scalar check has it.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/simd.hpp"
#include "core/utf8.hpp"

#if ROWVANE_AVX2_DISPATCH
#include <immintrin.h>
#endif

namespace rowvane {

#if ROWVANE_AVX2_DISPATCH
namespace {

constexpr uint8_t kTooShort = 1 << 0;
constexpr uint8_t kTooLong = 1 << 1;
constexpr uint8_t kOverlong3 = 1 << 2;
constexpr uint8_t kTooLarge = 1 << 3;
constexpr uint8_t kSurrogate = 1 << 4;
constexpr uint8_t kOverlong2 = 1 << 5;
constexpr uint8_t kTooLarge1000 = 1 << 6;
constexpr uint8_t kOverlong4 = 1 << 6;
constexpr uint8_t kTwoConts = 1 << 7;
constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

// A 16-entry byte table in both lanes, for _mm256_shuffle_epi8.
#define ROWVANE_TABLE(...)                                                              \
  ([]() {                                                                               \
    alignas(16) static constexpr uint8_t entries[16] = {__VA_ARGS__};                   \
    return entries;                                                                     \
  }())

// The previous block's last n bytes followed by this block's first 32 - n.
// Macros rather than functions: a function taking or returning a 256-bit
// value outside an AVX2 build changes the ABI, and lambdas do not inherit
// the target of the function around them.
#define ROWVANE_PREV(input, prev, n) \
  _mm256_alignr_epi8((input), _mm256_permute2x128_si256((prev), (input), 0x21), 16 - (n))

// Checks one 32-byte block `in` against the state (error, prev, prev_incomplete).
#define ROWVANE_CHECK_BLOCK(in)                                                                 \
  do {                                                                                          \
    const __m256i input_ = (in);                                                                \
    if (_mm256_movemask_epi8(input_) == 0) { /* ASCII: only a sequence left open fails */      \
      error = _mm256_or_si256(error, prev_incomplete);                                          \
      prev_incomplete = _mm256_setzero_si256();                                                 \
    } else {                                                                                    \
      const __m256i prev1_ = ROWVANE_PREV(input_, prev, 1);                                     \
      const __m256i b1h_ = _mm256_shuffle_epi8(                                                 \
          byte_1_high_table, _mm256_and_si256(_mm256_srli_epi16(prev1_, 4), low4));             \
      const __m256i b1l_ = _mm256_shuffle_epi8(byte_1_low_table, _mm256_and_si256(prev1_, low4)); \
      const __m256i b2h_ = _mm256_shuffle_epi8(                                                 \
          byte_2_high_table, _mm256_and_si256(_mm256_srli_epi16(input_, 4), low4));             \
      const __m256i special_ = _mm256_and_si256(_mm256_and_si256(b1h_, b1l_), b2h_);           \
      /* Two and three bytes after a three- or four-byte lead must be continuations. */        \
      const __m256i third_ = _mm256_subs_epu8(ROWVANE_PREV(input_, prev, 2), third_bias);       \
      const __m256i fourth_ = _mm256_subs_epu8(ROWVANE_PREV(input_, prev, 3), fourth_bias);     \
      const __m256i must23_ = _mm256_and_si256(_mm256_or_si256(third_, fourth_), high_bit);     \
      error = _mm256_or_si256(error, _mm256_xor_si256(must23_, special_));                      \
      prev_incomplete = _mm256_subs_epu8(input_, max_value);                                    \
    }                                                                                           \
    prev = input_;                                                                              \
  } while (false)

__attribute__((target("avx2"))) bool valid_utf8_avx2(const unsigned char* p, size_t n) {
  const __m256i low4 = _mm256_set1_epi8(0x0F);
  const __m256i high_bit = _mm256_set1_epi8(static_cast<char>(0x80));
  const __m256i third_bias = _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80));
  const __m256i fourth_bias = _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80));
  const __m256i byte_1_high_table = _mm256_broadcastsi128_si256(_mm_load_si128(
      reinterpret_cast<const __m128i*>(ROWVANE_TABLE(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
                    kTwoConts, kTwoConts, kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort,
                    kTooShort | kOverlong3 | kSurrogate,
                    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4))));
  const __m256i byte_1_low_table = _mm256_broadcastsi128_si256(_mm_load_si128(
      reinterpret_cast<const __m128i*>(ROWVANE_TABLE(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry,
                    kCarry, kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000,
                    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
                    kCarry | kTooLarge | kTooLarge1000,
                    kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
                    kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000))));
  const __m256i byte_2_high_table = _mm256_broadcastsi128_si256(_mm_load_si128(
      reinterpret_cast<const __m128i*>(ROWVANE_TABLE(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                    kTooShort,
                    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
                    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
                    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
                    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge, kTooShort,
                    kTooShort, kTooShort, kTooShort))));
  // A lead in a block's last three bytes that still wants more bytes.
  const __m256i max_value = _mm256_setr_epi8(
      -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
      -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1),
      static_cast<char>(0xC0 - 1));
  __m256i error = _mm256_setzero_si256();
  __m256i prev = _mm256_setzero_si256();
  __m256i prev_incomplete = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    ROWVANE_CHECK_BLOCK(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
    // Stop at the first bad stretch of a long text rather than reading on.
    if ((i & 1023) == 992 && !_mm256_testz_si256(error, error)) return false;
  }
  // The rest, zero-padded: zeros are ASCII, so a sequence the end cuts off
  // fails exactly as at the end of the text.
  alignas(32) unsigned char last[32] = {};
  std::memcpy(last, p + i, n - i);
  ROWVANE_CHECK_BLOCK(_mm256_load_si256(reinterpret_cast<const __m256i*>(last)));
  error = _mm256_or_si256(error, prev_incomplete);
  return _mm256_testz_si256(error, error) != 0;
}

#undef ROWVANE_CHECK_BLOCK
#undef ROWVANE_PREV
#undef ROWVANE_TABLE

__attribute__((target("avx2"))) size_t count_byte_avx2(const char* p, size_t n, char byte) {
  const __m256i b = _mm256_set1_epi8(byte);
  const __m256i zero = _mm256_setzero_si256();
  size_t count = 0;
  while (n >= 32) {
    // Up to 255 blocks add their hits bytewise before the bytes are summed.
    __m256i acc = zero;
    size_t blocks = n / 32 < 255 ? n / 32 : 255;
    n -= blocks * 32;
    for (; blocks > 0; --blocks, p += 32) {
      acc = _mm256_sub_epi8(acc, _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), b));
    }
    const __m256i sums = _mm256_sad_epu8(acc, zero);
    count += static_cast<size_t>(_mm256_extract_epi64(sums, 0)) +
             static_cast<size_t>(_mm256_extract_epi64(sums, 1)) +
             static_cast<size_t>(_mm256_extract_epi64(sums, 2)) +
             static_cast<size_t>(_mm256_extract_epi64(sums, 3));
  }
  return count + count_byte_baseline(std::string_view(p, n), byte);
}

bool detect_avx2() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

const bool g_avx2 = detect_avx2();

}  // namespace

bool utf8_vector_path_available() noexcept { return g_avx2; }

size_t count_byte_vector(std::string_view text, char byte) noexcept {
  return count_byte_avx2(text.data(), text.size(), byte);
}

bool is_valid_utf8_vector(const char* data, size_t size) noexcept {
  return valid_utf8_avx2(reinterpret_cast<const unsigned char*>(data), size);
}

#else

bool utf8_vector_path_available() noexcept { return false; }

size_t count_byte_vector(std::string_view text, char byte) noexcept {
  return count_byte_baseline(text, byte);
}

bool is_valid_utf8_vector(const char* data, size_t size) noexcept {
  return is_valid_utf8_scalar(data, size);
}

#endif

namespace {
bool g_force_scalar = false;
}

void force_scalar_paths(bool on) noexcept { g_force_scalar = on; }

size_t count_byte(std::string_view text, char byte) noexcept {
  if (text.size() >= 64 && utf8_vector_path_available() && !g_force_scalar) {
    return count_byte_vector(text, byte);
  }
  return count_byte_baseline(text, byte);
}

bool is_valid_utf8(const char* data, size_t size) noexcept {
  // Below two blocks the setup costs more than the exact check.
  if (size >= 64 && utf8_vector_path_available() && !g_force_scalar) {
    return is_valid_utf8_vector(data, size);
  }
  return is_valid_utf8_scalar(data, size);
}

}  // namespace rowvane
