// Reading back the records a run wrote: fields quoted with one character (a
// doubled quote inside is one), rows ended by LF, CRLF or CR, a block at a
// time from a file descriptor (a file or a pipe). Each row comes as views of
// its cells, valid until the next row is asked for: the Arrow batches and the
// row feed copy them once, into their own buffers.
//
// The reader is lenient where the runs are never wrong: text after a closing
// quote belongs to the same cell, an unclosed quote runs to the end of the
// input, a blank line is a row of one empty cell, a UTF-8 byte-order mark at
// the start is skipped.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace rowvane {

class RecordStream {
 public:
  static constexpr size_t kBlock = size_t{1} << 20;

  // Takes over the open descriptor `fd` (closed by the destructor). `block`:
  // the bytes read at a time; a row longer than that grows the buffer.
  RecordStream(int fd, char delimiter, char quote, size_t block = kBlock) noexcept;
  ~RecordStream();
  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  // Reads the next row: true; false at the end of the input; the failed
  // read's error otherwise.
  Expected<bool, IoError> next();
  // The cells of the row read last, valid until the next call of next().
  std::span<const std::string_view> cells() const noexcept { return {views_.data(), count_}; }

  int fd() const noexcept { return fd_; }

 private:
  // A cell whose text is in `unquoted_` (one with a doubled quote or text
  // after its quote): where its view goes, where its text is.
  struct Own {
    size_t cell;
    size_t from;
    size_t size;
  };

  // Reads the row at pos_: true with its cells set and pos_ past it; false
  // when the row may go on past the bytes read so far (never at the end).
  bool parse_row();
  size_t find_stop(const char* b, size_t i, size_t e) const noexcept;
  void put(size_t& n, std::string_view cell) {
    if (n == views_.size()) views_.resize(n == 0 ? 16 : 2 * n);
    views_[n++] = cell;
  }
  // Reads until `want` bytes follow pos_, the buffer is full or the input
  // ends.
  std::optional<IoError> fill(size_t want);

  int fd_;
  char delimiter_;
  char quote_;
  size_t block_;
  std::vector<char> buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
  bool started_ = false;
  std::vector<std::string_view> views_;  // the cells, the first count_ of them
  size_t count_ = 0;
  std::vector<Own> own_;
  std::string unquoted_;
};

}  // namespace rowvane
