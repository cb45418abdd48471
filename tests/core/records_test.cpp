// RecordStream: the rows of a run's output read back, whatever the block
// size and however the bytes arrive (a file, or a pipe written a few bytes
// at a time), so a row across blocks reads as one within a block.
#include "core/records.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace rowvane {
namespace {

using Table = std::vector<std::vector<std::string>>;

int memory_file(const std::string& text) {
  const int fd = ::memfd_create("records", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  EXPECT_EQ(::lseek(fd, 0, SEEK_SET), 0);
  return fd;
}

Table read_all(int fd, char delimiter, size_t block) {
  RecordStream reader(fd, delimiter, '"', block);
  Table rows;
  for (;;) {
    auto r = reader.next();
    EXPECT_TRUE(r.has_value());
    if (!r || !r.value()) break;
    rows.emplace_back(reader.cells().begin(), reader.cells().end());
  }
  return rows;
}

// Written into a pipe `piece` bytes at a time while the reader reads it.
Table read_piped(const std::string& text, char delimiter, size_t block, size_t piece) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  std::thread writer([&] {
    for (size_t at = 0; at < text.size(); at += piece) {
      const size_t n = std::min(piece, text.size() - at);
      EXPECT_EQ(::write(fds[1], text.data() + at, n), static_cast<ssize_t>(n));
    }
    ::close(fds[1]);
  });
  Table rows = read_all(fds[0], delimiter, block);
  writer.join();
  return rows;
}

struct Case {
  const char* name;
  std::string text;
  char delimiter;
  Table rows;
};

std::vector<Case> cases() {
  return {
      {"empty", "", ',', {}},
      {"one row without a line end", "a,b", ',', {{"a", "b"}}},
      {"line ends LF CRLF CR", "a\nb\r\nc\rd", ',', {{"a"}, {"b"}, {"c"}, {"d"}}},
      {"a CR at the very end", "a\r", ',', {{"a"}}},
      {"blank lines are rows of one empty cell", "\n\r\n\n", ',', {{""}, {""}, {""}}},
      {"empty cells", ",,\n,\n", ',', {{"", "", ""}, {"", ""}}},
      {"a delimiter at the end", "a,", ',', {{"a", ""}}},
      {"quoted delimiters and line ends", "\"a,b\",\"c\nd\",\"e\r\nf\"\n", ',', {{"a,b", "c\nd", "e\r\nf"}}},
      {"doubled quotes", "\"a\"\"b\",\"\"\"\",\"\"\n", ',', {{"a\"b", "\"", ""}}},
      {"text after a closing quote", "\"ab\"cd,e\n", ',', {{"abcd", "e"}}},
      {"a quote inside unquoted text", "a\"b,c\n", ',', {{"a\"b", "c"}}},
      {"an unclosed quote runs to the end", "\"ab\ncd", ',', {{"ab\ncd"}}},
      {"an unclosed quote after doubled ones", "x,\"a\"\"b", ',', {{"x", "a\"b"}}},
      {"a byte-order mark is skipped", "\xEF\xBB\xBF" "a,b\n", ',', {{"a", "b"}}},
      {"a byte-order mark alone", "\xEF\xBB\xBF", ',', {}},
      {"a mark later is text", "a\n\xEF\xBB\xBF" "b\n", ',', {{"a"}, {"\xEF\xBB\xBF" "b"}}},
      {"semicolons", "a;b,c\n\"x;y\";z\n", ';', {{"a", "b,c"}, {"x;y", "z"}}},
      {"tabs", "a\tb\n", '\t', {{"a", "b"}}},
      {"bytes of any value", std::string("\x00\xff,\x80", 4) + "\n", ',', {{std::string("\x00\xff", 2), "\x80"}}},
  };
}

TEST(RecordStreamTest, ReadsTheSameRowsWhateverTheBlocksAndTheSource) {
  for (const Case& c : cases()) {
    for (size_t block : {size_t{1}, size_t{4}, size_t{5}, size_t{7}, size_t{64}, RecordStream::kBlock}) {
      SCOPED_TRACE(std::string(c.name) + ", block " + std::to_string(block));
      EXPECT_EQ(read_all(memory_file(c.text), c.delimiter, block), c.rows);
      for (size_t piece : {size_t{1}, size_t{3}, size_t{1000}}) {
        EXPECT_EQ(read_piped(c.text, c.delimiter, block, piece), c.rows) << "piped " << piece;
      }
    }
  }
}

TEST(RecordStreamTest, RowsLongerThanTheBlockAndManyRows) {
  std::string big(300000, 'x');
  for (size_t i = 0; i < big.size(); i += 97) big[i] = '"';  // quotes, doubled in the record
  std::string quoted = "\"";
  for (char c : big) {
    quoted.push_back(c);
    if (c == '"') quoted.push_back('"');
  }
  quoted += "\"";
  std::string text = "h1,h2\n" + quoted + ",tail\n";
  Table want = {{"h1", "h2"}, {big, "tail"}};
  for (int i = 0; i < 5000; ++i) {
    text += std::to_string(i) + ",\"v\"\"" + std::to_string(i) + "\"\r\n";
    want.push_back({std::to_string(i), "v\"" + std::to_string(i)});
  }
  for (size_t block : {size_t{4}, size_t{4096}, RecordStream::kBlock}) {
    SCOPED_TRACE(block);
    EXPECT_EQ(read_all(memory_file(text), ',', block), want);
    EXPECT_EQ(read_piped(text, ',', block, 65536), want);
  }
}

TEST(RecordStreamTest, AFailedReadIsAnError) {
  RecordStream reader(-1, ',', '"');
  auto r = reader.next();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().raw_os_error(), EBADF);
}

}  // namespace
}  // namespace rowvane
