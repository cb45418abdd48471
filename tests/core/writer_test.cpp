// BufferedWriter::write_stable against write(): the same write calls with
// the same bytes, whatever the record sizes, their layout in memory and the
// target's short writes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/writer.hpp"

namespace rowvane {
namespace {

// Records every write call; accepts at most `chunk` bytes per call when set.
struct Recorder final : ByteTarget {
  std::vector<std::string> calls;
  size_t chunk = 0;
  ssize_t write_some(const char* data, size_t size) noexcept override {
    const size_t n = chunk != 0 && size > chunk ? chunk : size;
    calls.emplace_back(data, n);
    return static_cast<ssize_t>(n);
  }
};

std::vector<std::string> run(const std::string& memory, const std::vector<std::pair<size_t, size_t>>& records,
                             bool stable, size_t chunk) {
  Recorder target;
  target.chunk = chunk;
  {
    BufferedWriter writer(target);
    for (const auto& [at, size] : records) {
      const std::string_view text(memory.data() + at, size);
      EXPECT_FALSE(stable ? writer.write_stable(text) : writer.write(text));
    }
    EXPECT_FALSE(writer.flush());
  }
  return target.calls;
}

TEST(BufferedWriter, StableWritesGiveTheSameCalls) {
  std::mt19937 rng(5);
  std::string memory(1 << 20, '\0');
  for (char& c : memory) c = static_cast<char>('a' + rng() % 26);
  const std::vector<size_t> sizes = {1, 2, 100, 4095, 4096, 8191, 8192, 8193, 20000};
  for (int round = 0; round < 300; ++round) {
    std::vector<std::pair<size_t, size_t>> records;
    size_t at = rng() % 64;
    const size_t count = 1 + rng() % 60;
    for (size_t i = 0; i < count && at < memory.size() - 20000; ++i) {
      const size_t size = rng() % 3 == 0 ? sizes[rng() % sizes.size()] : 1 + rng() % 300;
      records.emplace_back(at, size);
      at += size + (rng() % 4 == 0 ? rng() % 50 : 0);  // mostly back to back, sometimes a gap
    }
    for (size_t chunk : {size_t{0}, size_t{1000}}) {
      ASSERT_EQ(run(memory, records, true, chunk), run(memory, records, false, chunk))
          << "round " << round << " chunk " << chunk;
    }
  }
}

// A copying write after stable ones, and stable ones after a copying write.
TEST(BufferedWriter, MixedWritesGiveTheSameBytes) {
  const std::string memory = "abc\ndef\nghi\n";
  Recorder a, b;
  {
    BufferedWriter w(a);
    EXPECT_FALSE(w.write_stable(std::string_view(memory).substr(0, 4)));
    std::string scratch = "xyz\n";
    EXPECT_FALSE(w.write(scratch));
    scratch = "QQQQ";  // write() copied it: the change must not show
    EXPECT_FALSE(w.write_stable(std::string_view(memory).substr(4, 8)));
  }
  {
    BufferedWriter w(b);
    EXPECT_FALSE(w.write("abc\nxyz\n"));
    EXPECT_FALSE(w.write("def\nghi\n"));
  }
  ASSERT_EQ(a.calls.size(), 1u);
  EXPECT_EQ(a.calls, b.calls);
}

}  // namespace
}  // namespace rowvane
