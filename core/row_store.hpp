// Compact storage for the kept rows of a run: one byte arena for every field
// text and one 32-bit length per field, instead of a heap string per field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/parser.hpp"

namespace rowvane {

class RowStore {
 public:
  // A field length of kLongField is followed by two more entries holding the
  // low and high 32 bits of the real length, so fields of 4 GiB and more fit
  // without widening every length.
  static constexpr uint32_t kLongField = 0xFFFFFFFFu;

  // A cursor over the fields of one stored row, in order.
  class FieldCursor {
   public:
    bool done() const noexcept { return len_ == len_end_; }
    std::string_view next() noexcept {
      uint64_t n = store_->lengths_[len_++];
      if (n == kLongField) {
        n = uint64_t{store_->lengths_[len_]} | (uint64_t{store_->lengths_[len_ + 1]} << 32);
        len_ += 2;
      }
      std::string_view field(store_->bytes_.data() + byte_, n);
      byte_ += n;
      return field;
    }

   private:
    friend class RowStore;
    FieldCursor(const RowStore* store, size_t byte, size_t len, size_t len_end) noexcept
        : store_(store), byte_(byte), len_(len), len_end_(len_end) {}
    const RowStore* store_;  // the store the row lives in
    size_t byte_;            // offset of the next field's text in the arena
    size_t len_;             // index of the next field's length entry
    size_t len_end_;         // one past the row's last length entry
  };

  size_t size() const noexcept { return rows_.size(); }
  bool empty() const noexcept { return rows_.empty(); }

  // Number of fields of row i.
  size_t field_count(size_t i) const noexcept {
    size_t entries = len_end(i) - rows_[i].len_begin;
    if (long_fields_ == 0) return entries;
    FieldCursor c = fields(i);
    size_t n = 0;
    while (!c.done()) {
      c.next();
      ++n;
    }
    return n;
  }

  FieldCursor fields(size_t i) const noexcept {
    return FieldCursor(this, rows_[i].byte_begin, rows_[i].len_begin, len_end(i));
  }

  // Byte length of all field texts of row i together.
  size_t row_bytes(size_t i) const noexcept {
    size_t end = i + 1 < rows_.size() ? rows_[i + 1].byte_begin : bytes_.size();
    return end - rows_[i].byte_begin;
  }

  std::vector<std::string> row_strings(size_t i) const {
    std::vector<std::string> out;
    for (FieldCursor c = fields(i); !c.done();) out.emplace_back(c.next());
    return out;
  }

  // Appends a copy of `row`.
  void push(const RowBuf& row) {
    rows_.push_back(RowEntry{bytes_.size(), lengths_.size()});
    bytes_.append(row.bytes);
    size_t begin = 0;
    for (size_t end : row.ends) {
      push_length(end - begin);
      begin = end;
    }
  }

  // Appends the row whose `fields` field texts are `text` split at each
  // `delimiter` byte (a plain line: no quotes, nothing to decode).
  void push_split(std::string_view text, size_t fields, unsigned char delimiter) {
    rows_.push_back(RowEntry{bytes_.size(), lengths_.size()});
    const char* p = text.data();
    const char* const end = p + text.size();
    for (size_t i = 1; i < fields; ++i) {
      const char* stop = static_cast<const char*>(std::memchr(p, delimiter, static_cast<size_t>(end - p)));
      bytes_.append(p, static_cast<size_t>(stop - p));
      push_length(static_cast<uint64_t>(stop - p));
      p = stop + 1;
    }
    bytes_.append(p, static_cast<size_t>(end - p));
    push_length(static_cast<uint64_t>(end - p));
  }

  void reserve(size_t rows, size_t bytes, size_t fields) {
    rows_.reserve(rows);
    bytes_.reserve(bytes);
    lengths_.reserve(fields);
  }

  // Releases spare capacity once the store is complete.
  void shrink_to_fit() {
    rows_.shrink_to_fit();
    bytes_.shrink_to_fit();
    lengths_.shrink_to_fit();
  }

  // Heap bytes held, for memory accounting in tests and benchmarks.
  size_t heap_bytes() const noexcept {
    return rows_.capacity() * sizeof(RowEntry) + bytes_.capacity() +
           lengths_.capacity() * sizeof(uint32_t);
  }

 private:
  struct RowEntry {
    size_t byte_begin;  // offset of the row's first field text in bytes_
    size_t len_begin;   // index of the row's first entry in lengths_
  };

  size_t len_end(size_t i) const noexcept {
    return i + 1 < rows_.size() ? rows_[i + 1].len_begin : lengths_.size();
  }

  void push_length(uint64_t n) {
    if (n < kLongField) {
      lengths_.push_back(static_cast<uint32_t>(n));
    } else {
      lengths_.push_back(kLongField);
      lengths_.push_back(static_cast<uint32_t>(n));
      lengths_.push_back(static_cast<uint32_t>(n >> 32));
      ++long_fields_;
    }
  }

  std::vector<RowEntry> rows_;     // one entry per row
  std::string bytes_;              // every field text, back to back
  std::vector<uint32_t> lengths_;  // field lengths, with long-field escapes
  size_t long_fields_ = 0;         // fields stored with the escape
};

}  // namespace rowvane
