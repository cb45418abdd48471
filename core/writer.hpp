// Output side of the file run: the CSV record encoder, the encoded kept rows
// held between reconciliation and writing, the quarantine line format, and
// the 8192-byte buffered writer every file of a run is written through.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/file.hpp"
#include "core/parser.hpp"

namespace rowvane {

// Buffers record texts in front of a ByteTarget. The write pattern is part of
// the contract (the file receives blocks of at most 8192 bytes, and only a
// record of 8192 bytes or more is written in one piece of its own), so the
// rules below are exact rather than tuned.
class BufferedWriter {
 public:
  static constexpr size_t kCapacity = 8192;

  explicit BufferedWriter(ByteTarget& target) noexcept : target_(target) {}
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;
  // The closing attempt: whatever is still held is written once more and the
  // outcome ignored. After a successful flush() there is nothing left to do.
  ~BufferedWriter() { (void)flush(); }

  // Hands one whole record text to the file. Shorter than the free space: it
  // is copied in. Longer than the free space: the held bytes are written
  // first. Then a text of 8192 bytes or more goes straight to the target,
  // anything shorter into the buffer.
  [[nodiscard]] IoStatus write(std::string_view text) noexcept;

  // Writes every held byte; EINTR is retried, a write accepting nothing fails
  // with "failed to write the buffered data". Bytes accepted before a failure
  // leave the buffer, the rest stays held for the closing attempt.
  [[nodiscard]] IoStatus flush() noexcept;

  size_t buffered() const noexcept { return len_; }

 private:
  // write_all on the target: "failed to write whole buffer" when a write
  // accepts nothing.
  IoStatus write_direct(std::string_view text) noexcept;

  ByteTarget& target_;
  size_t len_ = 0;  // bytes held at the front of buf_
  std::array<char, kCapacity> buf_;
};

// Encodes rows as records of the output CSV: fields joined by the separator,
// a field quoted only when it contains the quote, the separator, LF or CR,
// inner quotes doubled, an empty field written as nothing, LF after each
// record. Separator and quote are the delimiter and quote bytes taken as code
// points, so from 0x80 on they are two UTF-8 bytes each.
class CsvRecordEncoder {
 public:
  CsvRecordEncoder() noexcept : CsvRecordEncoder(',', '"') {}
  CsvRecordEncoder(unsigned char delimiter, unsigned char quote) noexcept;

  // Appends the record text of `row` to `out`.
  void append_record(const RowBuf& row, std::string& out) const;

  // An upper bound of what append_record appends for `row`: every byte
  // doubled, two quotes and one separator per field, the LF.
  static size_t max_record_size(const RowBuf& row) noexcept {
    return 2 * row.bytes.size() + 6 * row.field_count() + 1;
  }

  bool needs_quotes(std::string_view field) const noexcept;

 private:
  void append_quoted(std::string_view field, std::string& out) const;

  // Bytes that may start a trigger: LF, CR and the first byte of the
  // separator and of the quote. Most fields contain none and are copied as
  // they are after one table scan.
  std::array<bool, 256> trigger_{};
  bool ascii_only_ = true;  // separator and quote are one byte: a trigger byte is a hit
  std::string sep_;
  std::string quote_;
};

// The kept rows of a file run, already encoded as output records, waiting
// until the output file may be created. Records live back to back in chunks
// that are never regrown (a record never straddles two), so holding the
// output costs its size plus a 4-byte length per record, without the
// transient double copy a growing single string would make.
class EncodedRecords {
 public:
  static constexpr size_t kChunkBytes = size_t{4} << 20;

  // Sets the format and sizes the first chunk from the expected output size.
  void begin(unsigned char delimiter, unsigned char quote, size_t expected_rows,
             size_t expected_bytes);
  void push(const RowBuf& row);

  size_t size() const noexcept { return count_; }

  // Calls `write(record)` for each record in order; stops at, and returns,
  // the first error.
  template <class F>
  IoStatus for_each(F&& write) const {
    size_t li = 0;
    for (const std::string& chunk : chunks_) {
      size_t pos = 0;
      while (pos < chunk.size()) {
        uint64_t n = lengths_[li++];
        if (n == kLongRecord) {
          n = uint64_t{lengths_[li]} | (uint64_t{lengths_[li + 1]} << 32);
          li += 2;
        }
        if (IoStatus status = write(std::string_view(chunk.data() + pos, n))) return status;
        pos += n;
      }
    }
    return std::nullopt;
  }

 private:
  // A length of kLongRecord is followed by the real one in two entries.
  static constexpr uint32_t kLongRecord = 0xFFFFFFFFu;

  CsvRecordEncoder encoder_;
  std::vector<std::string> chunks_;
  std::vector<uint32_t> lengths_;
  size_t count_ = 0;
  size_t first_chunk_ = kChunkBytes;
};

// The first line of every quarantine file (24 bytes).
inline constexpr std::string_view kQuarantineHeader = "line,reason,raw_content\n";

// Appends one quarantine line: the line number, the reason in double quotes,
// the fields joined by the run's delimiter (as UTF-8) in double quotes, LF.
// Double quotes inside are doubled; line breaks stay as they are.
void append_quarantine_line(std::string& out, size_t line, std::string_view reason,
                            const std::vector<std::string>& fields, unsigned char delimiter);

}  // namespace rowvane
