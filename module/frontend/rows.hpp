// The rows of a repaired CSV file or pipe (RFC 4180 as the runs write it),
// read a block at a time: shared by the Arrow stream and the row feed.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

namespace rowvane::frontend {

// Reads what is left of `fd` and drops it (a writer at the other end of a
// pipe then finishes instead of waiting for room).
inline void drain(int fd) noexcept {
  char sink[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, sink, sizeof sink);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
  }
}

// The rows of a repaired CSV file, read a block at a time: fields quoted
// with `quote` (a doubled quote inside is one), rows ended by LF, CRLF or
// CR; a UTF-8 byte-order mark at the start is skipped, a blank line is a
// row of one empty cell.
class Rows {
 public:
  // Takes over the open file `fd`, closed however construction ends.
  Rows(int fd, char delimiter, char quote) : fd_(fd), delimiter_(delimiter), quote_(quote) {
    try {
      buf_.resize(1 << 20);
      if (peek() == 0xEF && end_ - pos_ >= 3 && std::memcmp(buf_.data() + pos_, "\xEF\xBB\xBF", 3) == 0) {
        pos_ += 3;
      }
    } catch (...) {
      ::close(fd_);
      throw;
    }
  }
  Rows(const Rows&) = delete;
  Rows& operator=(const Rows&) = delete;
  ~Rows() {
    if (fd_ >= 0) ::close(fd_);
  }

  // The next row into `fields` (its first `count` entries); false at the end.
  bool next(std::vector<std::string>& fields, size_t& count) {
    count = 0;
    if (peek() < 0) return false;
    for (;;) {
      if (count == fields.size()) fields.emplace_back();
      std::string& f = fields[count++];
      f.clear();
      int c = peek();
      if (c == static_cast<unsigned char>(quote_)) {
        get();
        for (;;) {
          // The text up to the next quote, a run at a time.
          if (peek() < 0) break;
          const char* from = buf_.data() + pos_;
          const void* q = std::memchr(from, quote_, end_ - pos_);
          const size_t run = q != nullptr ? static_cast<size_t>(static_cast<const char*>(q) - from) : end_ - pos_;
          f.append(from, run);
          pos_ += run;
          if (q == nullptr) continue;
          get();  // the quote
          if (peek() == static_cast<unsigned char>(quote_)) {
            get();
            f.push_back(quote_);
            continue;
          }
          break;
        }
      }
      for (;;) {  // the unquoted text, or what follows a closing quote
        c = peek();
        if (c < 0 || c == static_cast<unsigned char>(delimiter_) || c == '\n' || c == '\r') break;
        take_run(f);
      }
      c = get();
      if (c == static_cast<unsigned char>(delimiter_)) continue;
      if (c == '\r' && peek() == '\n') get();
      return true;
    }
  }

  int fd() const noexcept { return fd_; }

 private:
  void fill() {
    if (pos_ < end_ || eof_) return;
    for (;;) {
      const ssize_t n = ::read(fd_, buf_.data(), buf_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw std::system_error(errno, std::generic_category(), "read");
      pos_ = 0;
      end_ = static_cast<size_t>(n);
      eof_ = n == 0;
      return;
    }
  }
  int peek() {
    fill();
    return pos_ < end_ ? static_cast<unsigned char>(buf_[pos_]) : -1;
  }
  int get() {
    const int c = peek();
    if (c >= 0) ++pos_;
    return c;
  }
  // Appends the bytes up to the next delimiter, quote or line end in the buffer.
  void take_run(std::string& f) {
    size_t i = pos_;
    const char* p = buf_.data();
    while (i < end_) {
      const char c = p[i];
      if (c == delimiter_ || c == '\n' || c == '\r') break;
      ++i;
    }
    if (i == pos_) i = pos_ + 1;
    f.append(buf_.data() + pos_, i - pos_);
    pos_ = i;
  }

  int fd_;
  char delimiter_;
  char quote_;
  std::vector<char> buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
};

}  // namespace rowvane::frontend
