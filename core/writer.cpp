#include "core/writer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace rowvane {

// ---------------------------------------------------------------------------
// BufferedWriter

IoStatus BufferedWriter::write(std::string_view text) noexcept {
  if (text.size() < kCapacity - len_) {
    std::memcpy(buf_.data() + len_, text.data(), text.size());
    len_ += text.size();
    return std::nullopt;
  }
  if (text.size() > kCapacity - len_) {
    if (IoStatus status = flush()) return status;
  }
  if (text.size() >= kCapacity) return write_direct(text);
  // Exactly the free space, or fits after the flush.
  std::memcpy(buf_.data() + len_, text.data(), text.size());
  len_ += text.size();
  return std::nullopt;
}

IoStatus BufferedWriter::flush() noexcept {
  size_t done = 0;
  IoStatus status;
  while (done < len_) {
    ssize_t n = target_.write_some(buf_.data() + done, len_ - done);
    if (n > 0) {
      done += std::min(static_cast<size_t>(n), len_ - done);
    } else if (n == 0) {
      status = IoError::fixed(IoErrorKind::WriteZero, "failed to write the buffered data");
      break;
    } else if (n != -EINTR) {
      status = IoError::from_errno(static_cast<int>(-n));
      break;
    }
  }
  if (done > 0) {
    std::memmove(buf_.data(), buf_.data() + done, len_ - done);
    len_ -= done;
  }
  return status;
}

IoStatus BufferedWriter::write_direct(std::string_view text) noexcept {
  while (!text.empty()) {
    ssize_t n = target_.write_some(text.data(), text.size());
    if (n > 0) {
      text.remove_prefix(std::min(static_cast<size_t>(n), text.size()));
    } else if (n == 0) {
      return IoError::fixed(IoErrorKind::WriteZero, "failed to write whole buffer");
    } else if (n != -EINTR) {
      return IoError::from_errno(static_cast<int>(-n));
    }
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// CsvRecordEncoder

CsvRecordEncoder::CsvRecordEncoder(unsigned char delimiter, unsigned char quote) noexcept {
  // Both texts are at most two bytes: within the small-string buffer, so
  // building them cannot allocate.
  append_byte_as_utf8(sep_, delimiter);
  append_byte_as_utf8(quote_, quote);
  trigger_['\n'] = true;
  trigger_['\r'] = true;
  trigger_[static_cast<unsigned char>(sep_[0])] = true;
  trigger_[static_cast<unsigned char>(quote_[0])] = true;
  ascii_only_ = sep_.size() == 1 && quote_.size() == 1;
}

bool CsvRecordEncoder::needs_quotes(std::string_view field) const noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(field.data());
  const auto* end = p + field.size();
  while (p != end && !trigger_[*p]) ++p;
  if (p == end) return false;
  if (ascii_only_) return true;
  // A two-byte separator or quote: its lead byte (C2 or C3) also starts other
  // characters, so test the texts themselves.
  return field.find(quote_) != std::string_view::npos ||
         field.find(sep_) != std::string_view::npos ||
         field.find_first_of("\n\r") != std::string_view::npos;
}

void CsvRecordEncoder::append_quoted(std::string_view field, std::string& out) const {
  out += quote_;
  for (;;) {
    size_t at = field.find(quote_);
    if (at == std::string_view::npos) break;
    out.append(field.data(), at + quote_.size());
    out += quote_;
    field.remove_prefix(at + quote_.size());
  }
  out.append(field);
  out += quote_;
}

void CsvRecordEncoder::append_record(const RowBuf& row, std::string& out) const {
  const size_t n = row.field_count();
  for (size_t i = 0; i < n; ++i) {
    if (i != 0) out += sep_;
    std::string_view field = row.field(i);
    if (needs_quotes(field)) {
      append_quoted(field, out);
    } else {
      out.append(field);
    }
  }
  out += '\n';
}

// ---------------------------------------------------------------------------
// EncodedRecords

void EncodedRecords::begin(unsigned char delimiter, unsigned char quote, size_t expected_rows,
                           size_t expected_bytes) {
  encoder_ = CsvRecordEncoder(delimiter, quote);
  chunks_.clear();
  lengths_.clear();
  lengths_.reserve(expected_rows);
  count_ = 0;
  // A small input gets a small first chunk; a large one starts with the
  // usual chunk size. Spare capacity is never touched, so it costs address
  // space, not resident memory.
  first_chunk_ = std::clamp<size_t>(expected_bytes + expected_bytes / 8 + 64, 4096, kChunkBytes);
}

void EncodedRecords::push(const RowBuf& row) {
  const size_t bound = CsvRecordEncoder::max_record_size(row);
  if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < bound) {
    std::string chunk;
    chunk.reserve(std::max(bound, chunks_.empty() ? first_chunk_ : kChunkBytes));
    chunks_.push_back(std::move(chunk));
  }
  std::string& chunk = chunks_.back();
  const size_t before = chunk.size();
  encoder_.append_record(row, chunk);
  const uint64_t n = chunk.size() - before;
  if (n < kLongRecord) {
    lengths_.push_back(static_cast<uint32_t>(n));
  } else {
    lengths_.push_back(kLongRecord);
    lengths_.push_back(static_cast<uint32_t>(n));
    lengths_.push_back(static_cast<uint32_t>(n >> 32));
  }
  ++count_;
}

// ---------------------------------------------------------------------------
// Quarantine lines

namespace {

void append_double_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (;;) {
    size_t at = text.find('"');
    if (at == std::string_view::npos) break;
    out.append(text.data(), at + 1);
    out += '"';
    text.remove_prefix(at + 1);
  }
  out.append(text);
  out += '"';
}

}  // namespace

void append_quarantine_line(std::string& out, size_t line, std::string_view reason,
                            const std::vector<std::string>& fields, unsigned char delimiter) {
  std::string raw;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) append_byte_as_utf8(raw, delimiter);
    raw += fields[i];
  }
  out += std::to_string(line);
  out += ',';
  append_double_quoted(out, reason);
  out += ',';
  append_double_quoted(out, raw);
  out += '\n';
}

}  // namespace rowvane
