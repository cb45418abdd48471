// Compact storage for the kept rows of a run: one byte arena for every field
// text and one 32-bit length per field, instead of a heap string per field.
// A plain line is stored as it was read, delimiters included (one copy of the
// line, no split): its fields are separated by one byte in the arena.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/simd.hpp"

#include "core/lengths.hpp"
#include "core/parser.hpp"

namespace rowvane {

class RowStore {
 public:
  // Field lengths take the escape of core/lengths.hpp, so fields of 4 GiB
  // and more fit without widening every length.

  // A cursor over the fields of one stored row, in order.
  class FieldCursor {
   public:
    bool done() const noexcept { return len_ == len_end_; }
    std::string_view next() noexcept {
      const uint64_t n = read_length(store_->lengths_.data(), len_);
      std::string_view field(store_->bytes_.data() + byte_, n);
      byte_ += n + gap_;
      return field;
    }

   private:
    friend class RowStore;
    FieldCursor(const RowStore* store, size_t byte, size_t len, size_t len_end, size_t gap) noexcept
        : store_(store), byte_(byte), len_(len), len_end_(len_end), gap_(gap) {}
    const RowStore* store_;  // the store the row lives in
    size_t byte_;            // offset of the next field's text in the arena
    size_t len_;             // index of the next field's length entry
    size_t len_end_;         // one past the row's last length entry
    size_t gap_;             // bytes between two fields: 1 for a plain line, else 0
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
    return FieldCursor(this, byte_begin(i), rows_[i].len_begin, len_end(i), separated(i) ? 1 : 0);
  }

  // Byte length of all field texts of row i together.
  size_t row_bytes(size_t i) const noexcept {
    const size_t span = row_span(i);
    return separated(i) ? span - (field_count(i) - 1) : span;
  }

  // Bytes the row takes in the arena from its first field on: its field
  // texts, and for a plain line the delimiters between them.
  size_t row_span(size_t i) const noexcept {
    const size_t end = i + 1 < rows_.size() ? byte_begin(i + 1) : bytes_.size();
    return end - byte_begin(i);
  }

  std::vector<std::string> row_strings(size_t i) const {
    std::vector<std::string> out;
    for (FieldCursor c = fields(i); !c.done();) out.emplace_back(c.next());
    return out;
  }

  // Appends a copy of `row`.
  void push(const RowBuf& row) {
    rows_.push_back(RowEntry{bytes_.size(), lengths_.size()});  // never separated
    bytes_.append(row.bytes);
    size_t begin = 0;
    for (size_t end : row.ends) {
      push_length(end - begin);
      begin = end;
    }
  }

  // Appends the row whose `fields` field texts are `text` split at each
  // `delimiter` byte (a plain line: no quotes, nothing to decode). The line
  // is kept whole; only the field lengths are taken from it.
  void push_split(std::string_view text, size_t fields, unsigned char delimiter) {
    rows_.push_back(RowEntry{bytes_.size() | (fields > 1 ? kSeparated : 0), lengths_.size()});
    bytes_.append(text);
    const char* const base = text.data();
    const size_t n = text.size();
    size_t start = 0;  // offset of the current field in `text`
    size_t i = 0;
    const simd::Block d = simd::Block::splat(delimiter);
    for (; i + simd::kBlock <= n; i += simd::kBlock) {
      for (unsigned hit = simd::Block::load(base + i).eq(d).mask(); hit != 0; hit &= hit - 1) {
        const size_t at = i + simd::first(hit);
        push_length(at - start);
        start = at + 1;
      }
    }
    for (; i < n; ++i) {
      if (static_cast<unsigned char>(base[i]) == delimiter) {
        push_length(i - start);
        start = i + 1;
      }
    }
    push_length(n - start);
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
    size_t byte_begin;  // offset of the row's first field text in bytes_, and kSeparated
    size_t len_begin;   // index of the row's first entry in lengths_
  };
  // Set in byte_begin for a row stored as its plain line: one delimiter byte
  // lies between two fields.
  static constexpr size_t kSeparated = size_t{1} << (sizeof(size_t) * 8 - 1);

  size_t byte_begin(size_t i) const noexcept { return rows_[i].byte_begin & ~kSeparated; }
  bool separated(size_t i) const noexcept { return (rows_[i].byte_begin & kSeparated) != 0; }

  size_t len_end(size_t i) const noexcept {
    return i + 1 < rows_.size() ? rows_[i + 1].len_begin : lengths_.size();
  }

  void push_length(uint64_t n) {
    if (rowvane::push_length(lengths_, n)) ++long_fields_;
  }

  std::vector<RowEntry> rows_;     // one entry per row
  std::string bytes_;              // every field text, back to back
  std::vector<uint32_t> lengths_;  // field lengths, with long-field escapes
  size_t long_fields_ = 0;         // fields stored with the escape
};

}  // namespace rowvane
