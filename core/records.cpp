#include "core/records.hpp"

#include "core/simd.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace rowvane {

RecordStream::RecordStream(int fd, char delimiter, char quote, size_t block) noexcept
    : fd_(fd), delimiter_(delimiter), quote_(quote), block_(block < 4 ? 4 : block) {}

RecordStream::~RecordStream() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<IoError> RecordStream::fill(size_t want) {
  if (pos_ > 0) {  // what is left moves to the front: the buffer never grows for read rows
    std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  if (end_ == buf_.size()) buf_.resize(buf_.size() < block_ ? block_ : buf_.size() * 2);
  while (!eof_ && end_ < want && end_ < buf_.size()) {
    const ssize_t n = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
    if (n < 0) {
      if (errno == EINTR) continue;
      return IoError::from_errno(errno);
    }
    if (n == 0) eof_ = true;
    end_ += static_cast<size_t>(n);
  }
  return std::nullopt;
}

Expected<bool, IoError> RecordStream::next() {
  count_ = 0;
  if (!started_) {
    started_ = true;
    if (std::optional<IoError> e = fill(3)) return *e;
    if (end_ >= 3 && std::memcmp(buf_.data(), "\xEF\xBB\xBF", 3) == 0) pos_ = 3;
  }
  for (;;) {
    if (pos_ == end_) {
      if (eof_) return false;
      if (std::optional<IoError> e = fill(1)) return *e;
      continue;
    }
    if (parse_row()) return true;
    // The row goes on past what was read: read until the buffer is full, so
    // that it is parsed again only after the buffer doubled or moved (a long
    // row costs its length a few times over, never its length squared).
    if (std::optional<IoError> e = fill(SIZE_MAX)) return *e;
  }
}

// The first delimiter or line end in b[i..e), or e.
size_t RecordStream::find_stop(const char* b, size_t i, size_t e) const noexcept {
  const auto* base = reinterpret_cast<const unsigned char*>(b);
  unsigned seen = 0;  // the scan's high bits: not wanted here
  return static_cast<size_t>(
      simd::find_any(base + i, base + e, static_cast<unsigned char>(delimiter_), '\r', '\n', seen) - base);
}

bool RecordStream::parse_row() {
  const char* b = buf_.data();
  const size_t e = end_;
  const bool last = eof_;  // nothing follows these bytes
  size_t i = pos_;
  size_t n = 0;
  own_.clear();
  unquoted_.clear();
  for (;;) {
    if (i < e && b[i] == quote_) {
      const size_t text = ++i;
      size_t close = e;
      bool doubled = false;
      for (;;) {
        const void* q = std::memchr(b + i, quote_, e - i);
        if (q == nullptr) {  // unclosed: to the end of the input
          if (!last) return false;
          i = e;
          break;
        }
        const size_t j = static_cast<size_t>(static_cast<const char*>(q) - b);
        if (j + 1 == e && !last) return false;  // a doubled quote, or a closing one?
        if (j + 1 < e && b[j + 1] == quote_) {
          doubled = true;
          i = j + 2;
          continue;
        }
        close = j;
        i = j + 1;
        break;
      }
      const size_t k = find_stop(b, i, e);  // text after the closing quote
      if (k == e && !last) return false;
      if (!doubled && k == i) {
        put(n, {b + text, close - text});
      } else {
        const size_t from = unquoted_.size();
        for (size_t p = text; p < close; ++p) {
          unquoted_.push_back(b[p]);
          if (b[p] == quote_) ++p;  // the second of a doubled quote
        }
        unquoted_.append(b + i, k - i);
        own_.push_back({n, from, unquoted_.size() - from});
        put(n, {});
      }
      i = k;
    } else {
      const size_t text = i;
      i = find_stop(b, i, e);
      if (i == e && !last) return false;
      put(n, {b + text, i - text});
    }
    if (i == e) {  // the last row, without a line end
      pos_ = e;
      break;
    }
    const char c = b[i];
    if (c == delimiter_) {
      ++i;
      continue;
    }
    if (c == '\r') {
      if (i + 1 == e && !last) return false;  // CRLF or a lone CR?
      if (i + 1 < e && b[i + 1] == '\n') ++i;
    }
    pos_ = i + 1;
    break;
  }
  for (const Own& o : own_) views_[o.cell] = {unquoted_.data() + o.from, o.size};
  count_ = n;
  return true;
}

}  // namespace rowvane
