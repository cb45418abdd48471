// 32-bit length entries with an escape for lengths of 4 GiB and more, shared
// by the row store (one entry per field) and the encoded output records (one
// per record): almost every length fits in 32 bits, so entries stay half
// the size of size_t, and a longer one takes three entries instead of one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rowvane {

// An entry of this value is followed by two more: the low and the high 32
// bits of the real length.
inline constexpr uint32_t kLongLength = 0xFFFFFFFFu;

// Appends `n`; returns true when it took the escape.
inline bool push_length(std::vector<uint32_t>& entries, uint64_t n) {
  if (n < kLongLength) {
    entries.push_back(static_cast<uint32_t>(n));
    return false;
  }
  entries.push_back(kLongLength);
  entries.push_back(static_cast<uint32_t>(n));
  entries.push_back(static_cast<uint32_t>(n >> 32));
  return true;
}

// Reads the length at entries[i] and moves i past it.
inline uint64_t read_length(const uint32_t* entries, size_t& i) noexcept {
  uint64_t n = entries[i++];
  if (n == kLongLength) {
    n = uint64_t{entries[i]} | (uint64_t{entries[i + 1]} << 32);
    i += 2;
  }
  return n;
}

}  // namespace rowvane
