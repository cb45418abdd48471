// Output side of the file run: the CSV record encoder, the encoded kept rows
// held between reconciliation and writing, the quarantine line format, and
// the 8192-byte buffered writer every file of a run is written through.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/file.hpp"
#include "core/lengths.hpp"
#include "core/parser.hpp"

namespace rowvane {

// Buffers record texts in front of a ByteTarget. The write pattern is part of
// the contract (the file receives blocks of at most 8192 bytes, and only a
// record of 8192 bytes or more is written in one piece of its own), so the
// rules below are exact rather than tuned.
class BufferedWriter {
 public:
  static constexpr size_t kCapacity = 8192;

  // An interrupted write is retried unless `interrupt` asks to stop.
  explicit BufferedWriter(ByteTarget& target, InterruptCheck interrupt = {}) noexcept
      : target_(target), interrupt_(interrupt) {}
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;
  // The closing attempt: whatever is still held is written once more and the
  // outcome ignored. After a successful flush() there is nothing left to do.
  // A writer stopped by its interrupt check makes no closing attempt: the
  // write that was interrupted would only block again.
  ~BufferedWriter() {
    if (!stopped_) (void)flush();
  }

  // Hands one whole record text to the file. Shorter than the free space: it
  // is copied in. Longer than the free space: the held bytes are written
  // first. Then a text of 8192 bytes or more goes straight to the target,
  // anything shorter into the buffer.
  [[nodiscard]] IoStatus write(std::string_view text) noexcept;

  // write() for a text whose memory stays unchanged until the writer is
  // flushed or destroyed: records that lie back to back in such memory are
  // held where they are and written from there, not copied into the buffer.
  // The file receives exactly the blocks write() would give it.
  [[nodiscard]] IoStatus write_stable(std::string_view text) noexcept;

  // Writes every held byte; EINTR is retried (or, when the interrupt check
  // asks to stop, fails with kInterruptedMessage), a write accepting nothing
  // fails with "failed to write the buffered data". Bytes accepted before a
  // failure leave the buffer, the rest stays held for the closing attempt.
  [[nodiscard]] IoStatus flush() noexcept;

  size_t buffered() const noexcept { return len_; }

 private:
  // write_all on the target: "failed to write whole buffer" when a write
  // accepts nothing.
  IoStatus write_direct(std::string_view text) noexcept;

  // Copies held bytes that still lie in the caller's memory into the buffer.
  void settle() noexcept;

  // Whether an EINTR from the target ends the write; remembers a stop.
  bool stop_on_interrupt() noexcept;

  ByteTarget& target_;
  InterruptCheck interrupt_;
  bool stopped_ = false;  // the interrupt check asked to stop
  size_t len_ = 0;  // bytes held at the front of buf_, or at span_
  const char* span_ = nullptr;  // when set, the held bytes lie here, not in buf_
  std::array<char, kCapacity> buf_;
};

// Encodes rows as records of the output CSV: fields joined by the separator,
// a field quoted only when it contains the quote, the separator, LF or CR,
// inner quotes doubled, an empty field written as nothing, LF after each
// record. Separator and quote are the delimiter and quote bytes taken as code
// points, so from 0x80 on they are two UTF-8 bytes each.
//
// Sizing and writing are split so that a record can be written straight into
// memory of exactly the right size.
class CsvRecordEncoder {
 public:
  CsvRecordEncoder() noexcept : CsvRecordEncoder(',', '"') {}
  CsvRecordEncoder(unsigned char delimiter, unsigned char quote) noexcept;

  // How a row is written: its exact record size, and whether any field needs
  // quotes (when none does, the record is the fields and separators only).
  struct Plan {
    size_t size;
    bool plain;
  };
  // Also notes which fields need quotes, for the write() that follows.
  Plan plan(const RowBuf& row) const;

  // Writes the record of `row` to `dst`, which holds at least plan.size
  // bytes; returns the end of what was written. `plan` must be the result of
  // the latest plan() call, for the same row.
  char* write(const RowBuf& row, const Plan& plan, char* dst) const noexcept;

  // Appends the record text of `row` to `out`.
  void append_record(const RowBuf& row, std::string& out) const;

  bool needs_quotes(std::string_view field) const noexcept;

 private:
  // Offset of the first byte of [p, p + n) that may start a trigger (LF, CR,
  // or the first byte of the separator or quote), or n. Sixteen bytes per
  // step; most rows of a real file contain none and are copied without a
  // look at each field.
  size_t first_trigger(const char* p, size_t n) const noexcept;
  size_t quoted_size(std::string_view field) const noexcept;
  // Non-overlapping occurrences of `text` in `field`.
  static size_t count_text(std::string_view field, std::string_view text) noexcept;
  char* write_quoted(std::string_view field, char* dst) const noexcept;

  mutable std::vector<size_t> quoted_;  // fields of the planned row that need quotes
  std::array<bool, 256> trigger_{};
  bool ascii_only_ = true;   // separator and quote are one byte: a trigger byte is a hit
  char sep_[2] = {};
  char quote_[2] = {};
  size_t sep_len_ = 1;
  size_t quote_len_ = 1;
};

// The kept rows of a file run, already encoded as output records, waiting
// until the output file may be created. A plain line that ends in a lone LF
// is its own record byte for byte, so such records are not copied at all:
// they stay where they are in the input text, which must outlive this object.
// Every other record is encoded into blocks of uninitialised memory that are
// never regrown (a record never straddles two). The records are read back in
// order through segments, each a stretch of the input or of a block, and a
// 4-byte length per record.
class EncodedRecords {
 public:
  static constexpr size_t kBlockBytes = size_t{4} << 20;

  // Sets the format and sizes the first block from the expected output size.
  void begin(unsigned char delimiter, unsigned char quote, size_t expected_rows,
             size_t expected_bytes);
  void push(const RowBuf& row);
  // Appends `text` and a line feed as one record: for a plain line, whose
  // fields need no quotes and whose separators are already in place.
  void push_plain(std::string_view text);
  // Appends a record that is already in its final form in memory that
  // outlives this object (`text` ends with its line feed).
  void push_borrowed(std::string_view text);
  // Appends the record of `row`, encoded at `dst` when it fits in `room`
  // bytes there (memory that outlives this object, such as input text
  // already read), else in a block.
  void push_at(const RowBuf& row, char* dst, size_t room);
  // Room for one record of `size` bytes in a block, for a caller that writes
  // the record itself.
  char* push_reserved(size_t size) { return reserve_record(size); }

  size_t size() const noexcept { return count_; }

  // Calls `piece(text)` for each stretch of records lying back to back in
  // memory, in order: the records without their own boundaries.
  template <class F>
  void for_each_stretch(F&& piece) const {
    for (const Segment& seg : segments_) piece(std::string_view(seg.data, seg.size));
  }

  // Forgets every record (once written), keeping the first block for the
  // records to come and the format set by begin().
  void clear() noexcept;

  // Calls `write(record)` for each record in order; stops at, and returns,
  // the first error.
  template <class F>
  IoStatus for_each(F&& write) const {
    size_t li = 0;
    for (const Segment& seg : segments_) {
      size_t pos = 0;
      while (pos < seg.size) {
        const uint64_t n = read_length(lengths_.data(), li);
        if (IoStatus status = write(std::string_view(seg.data + pos, n))) return status;
        pos += n;
      }
    }
    return std::nullopt;
  }

 private:
  struct Block {
    std::unique_ptr<char[]> data;  // uninitialised beyond `size`
    size_t size = 0;
    size_t capacity = 0;
  };
  struct Segment {
    const char* data;  // records back to back, in the input or in a block
    size_t size;
  };

  // Room for one record of `size` bytes at the end of the last block.
  char* reserve_record(size_t size);
  // Counts one record of `size` bytes that starts at `at`, extending the last
  // segment when the record follows it directly.
  void add_record(const char* at, size_t size);

  CsvRecordEncoder encoder_;
  std::vector<Block> blocks_;
  std::vector<Segment> segments_;
  std::vector<uint32_t> lengths_;
  size_t count_ = 0;
  size_t first_block_ = kBlockBytes;
};

// Writes `pieces` in order, as few system calls as writev(2) allows: EINTR
// is retried unless `interrupt` asks to stop, a write accepting nothing
// fails with "failed to write whole buffer". For the streamed run, whose
// output has no write pattern to keep.
IoStatus write_gathered(ByteTarget& target, std::vector<struct iovec>& pieces, const InterruptCheck& interrupt);

// The first line of every quarantine file (24 bytes).
inline constexpr std::string_view kQuarantineHeader = "line,reason,raw_content\n";

// Appends one quarantine line: the line number, the reason in double quotes,
// the fields joined by the run's delimiter (as UTF-8) in double quotes, LF.
// Double quotes inside are doubled; line breaks stay as they are.
void append_quarantine_line(std::string& out, size_t line, std::string_view reason,
                            const std::vector<std::string>& fields, unsigned char delimiter);

// The first line of every change log.
inline constexpr std::string_view kChangeLogHeader = "line,action,raw_content,written\n";

// Appends one change-log line: the line number, the action, then the row's
// bytes as read and the record written for it, each in double quotes with
// inner ones doubled, LF.
void append_change_line(std::string& out, size_t line, std::string_view action, std::string_view raw,
                        std::string_view written);

}  // namespace rowvane
