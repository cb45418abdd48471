#include "core/writer.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>

#include "core/simd.hpp"

namespace rowvane {

// ---------------------------------------------------------------------------
// BufferedWriter

IoStatus BufferedWriter::write(std::string_view text) noexcept {
  settle();
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

void BufferedWriter::settle() noexcept {
  if (span_ == nullptr) return;
  std::memcpy(buf_.data(), span_, len_);
  span_ = nullptr;
}

IoStatus BufferedWriter::write_stable(std::string_view text) noexcept {
  // The same decisions as write(), so the file receives the same blocks.
  if (text.size() > kCapacity - len_) {
    if (IoStatus status = flush()) return status;
  }
  if (text.size() >= kCapacity && len_ == 0) return write_direct(text);
  if (len_ == 0) {
    span_ = text.data();
  } else if (span_ == nullptr || span_ + len_ != text.data()) {
    settle();
    std::memcpy(buf_.data() + len_, text.data(), text.size());
  }
  len_ += text.size();
  return std::nullopt;
}

IoStatus BufferedWriter::flush() noexcept {
  if (len_ > 0 && stop_on_interrupt()) return interrupted_error();
  size_t done = 0;
  IoStatus status;
  const char* const held = span_ != nullptr ? span_ : buf_.data();
  while (done < len_) {
    ssize_t n = target_.write_some(held + done, len_ - done);
    if (n > 0) {
      done += std::min(static_cast<size_t>(n), len_ - done);
    } else if (n == 0) {
      status = IoError::fixed(IoErrorKind::WriteZero, "failed to write the buffered data");
      break;
    } else if (n != -EINTR) {
      status = IoError::from_errno(static_cast<int>(-n));
      break;
    } else if (stop_on_interrupt()) {
      status = interrupted_error();
      break;
    }
  }
  if (done > 0) {
    if (span_ != nullptr) {
      span_ = len_ == done ? nullptr : span_ + done;
    } else {
      std::memmove(buf_.data(), buf_.data() + done, len_ - done);
    }
    len_ -= done;
  }
  return status;
}

IoStatus BufferedWriter::write_direct(std::string_view text) noexcept {
  if (!text.empty() && stop_on_interrupt()) return interrupted_error();
  while (!text.empty()) {
    ssize_t n = target_.write_some(text.data(), text.size());
    if (n > 0) {
      text.remove_prefix(std::min(static_cast<size_t>(n), text.size()));
    } else if (n == 0) {
      return IoError::fixed(IoErrorKind::WriteZero, "failed to write whole buffer");
    } else if (n != -EINTR) {
      return IoError::from_errno(static_cast<int>(-n));
    } else if (stop_on_interrupt()) {
      return interrupted_error();
    }
  }
  return std::nullopt;
}

bool BufferedWriter::stop_on_interrupt() noexcept {
  if (interrupt_.should_stop()) stopped_ = true;
  return stopped_;
}

// ---------------------------------------------------------------------------
// CsvRecordEncoder

CsvRecordEncoder::CsvRecordEncoder(unsigned char delimiter, unsigned char quote) noexcept {
  std::string sep;
  std::string q;
  append_utf8(sep, delimiter);  // at most two bytes: no allocation
  append_utf8(q, quote);
  sep_len_ = sep.size();
  quote_len_ = q.size();
  std::memcpy(sep_, sep.data(), sep_len_);
  std::memcpy(quote_, q.data(), quote_len_);
  trigger_['\n'] = true;
  trigger_['\r'] = true;
  trigger_[static_cast<unsigned char>(sep_[0])] = true;
  trigger_[static_cast<unsigned char>(quote_[0])] = true;
  ascii_only_ = sep_len_ == 1 && quote_len_ == 1;
}

size_t CsvRecordEncoder::first_trigger(const char* p, size_t n) const noexcept {
  const simd::Block sep = simd::Block::splat(static_cast<unsigned char>(sep_[0]));
  const simd::Block quote = simd::Block::splat(static_cast<unsigned char>(quote_[0]));
  const simd::Block lf = simd::Block::splat('\n');
  const simd::Block cr = simd::Block::splat('\r');
  size_t at = 0;
  for (; n - at >= simd::kBlock; at += simd::kBlock) {
    const unsigned hit = simd::any_of(simd::Block::load(p + at), lf, cr, sep, quote).mask();
    if (hit != 0) return at + simd::first(hit);
  }
  while (at < n && !trigger_[static_cast<unsigned char>(p[at])]) ++at;
  return at;
}

bool CsvRecordEncoder::needs_quotes(std::string_view field) const noexcept {
  if (first_trigger(field.data(), field.size()) == field.size()) return false;
  if (ascii_only_) return true;
  // A two-byte separator or quote: its lead byte (C2 or C3) also starts other
  // characters, so test the texts themselves.
  const std::string_view sep(sep_, sep_len_);
  const std::string_view quote(quote_, quote_len_);
  return field.find(quote) != std::string_view::npos || field.find(sep) != std::string_view::npos ||
         field.find_first_of("\n\r") != std::string_view::npos;
}

size_t CsvRecordEncoder::quoted_size(std::string_view field) const noexcept {
  const size_t quotes = quote_len_ == 1 ? count_byte(field, quote_[0])
                                        : count_text(field, std::string_view(quote_, quote_len_));
  return field.size() + (quotes + 2) * quote_len_;
}

size_t CsvRecordEncoder::count_text(std::string_view field, std::string_view text) noexcept {
  size_t count = 0;
  for (size_t at = field.find(text); at != std::string_view::npos;
       at = field.find(text, at + text.size())) {
    ++count;
  }
  return count;
}

char* CsvRecordEncoder::write_quoted(std::string_view field, char* dst) const noexcept {
  std::memcpy(dst, quote_, quote_len_);
  dst += quote_len_;
  if (quote_len_ == 1) {
    // Quotes may be dense (a damaged field can be half quotes): copy the
    // stretches between them with memchr when they are long, byte by byte
    // otherwise, so neither shape costs a library call per quote.
    const char q = quote_[0];
    const char* p = field.data();
    const char* const end = p + field.size();
    while (p < end) {
      const char* hit = static_cast<const char*>(std::memchr(p, q, static_cast<size_t>(end - p)));
      const char* stop = hit == nullptr ? end : hit;
      std::memcpy(dst, p, static_cast<size_t>(stop - p));
      dst += stop - p;
      p = stop;
      // Dense quotes: stay in the byte loop while they keep coming.
      while (p < end && (*p == q || (p + 1 < end && p[1] == q))) {
        *dst++ = *p;
        if (*p == q) *dst++ = q;  // the doubling
        ++p;
      }
    }
  } else {
    const std::string_view quote(quote_, quote_len_);
    for (;;) {
      const size_t at = field.find(quote);
      const size_t take = at == std::string_view::npos ? field.size() : at + quote_len_;
      std::memcpy(dst, field.data(), take);
      dst += take;
      if (at == std::string_view::npos) break;
      std::memcpy(dst, quote_, quote_len_);  // the doubling
      dst += quote_len_;
      field.remove_prefix(take);
    }
  }
  std::memcpy(dst, quote_, quote_len_);
  return dst + quote_len_;
}

CsvRecordEncoder::Plan CsvRecordEncoder::plan(const RowBuf& row) const {
  const size_t n = row.field_count();
  const size_t frame = (n > 0 ? (n - 1) * sep_len_ : 0) + 1;  // separators and the LF
  const char* const bytes = row.bytes.data();
  const size_t len = row.bytes.size();
  size_t at = first_trigger(bytes, len);
  if (at == len) return Plan{len + frame, true};
  quoted_.clear();
  if (ascii_only_) {
    // One pass over the whole row: each trigger byte marks the field it lies
    // in, and the scan resumes after that field.
    size_t field = 0;
    while (at < len) {
      while (row.ends[field] <= at) ++field;
      quoted_.push_back(field);
      const size_t next = row.ends[field];
      at = next + first_trigger(bytes + next, len - next);
    }
  } else {
    for (size_t i = 0; i < n; ++i) {
      if (needs_quotes(row.field(i))) quoted_.push_back(i);
    }
  }
  size_t size = len + frame;
  for (size_t i : quoted_) {
    const std::string_view field = row.field(i);
    size += quoted_size(field) - field.size();
  }
  return Plan{size, quoted_.empty()};
}

char* CsvRecordEncoder::write(const RowBuf& row, const Plan& plan, char* dst) const noexcept {
  const size_t n = row.field_count();
  const char* bytes = row.bytes.data();
  size_t begin = 0;
  size_t next_quoted = 0;  // index into quoted_
  for (size_t i = 0; i < n; ++i) {
    if (i != 0) {
      std::memcpy(dst, sep_, sep_len_);
      dst += sep_len_;
    }
    const size_t end = row.ends[i];
    const std::string_view field(bytes + begin, end - begin);
    if (!plan.plain && next_quoted < quoted_.size() && quoted_[next_quoted] == i) {
      dst = write_quoted(field, dst);
      ++next_quoted;
    } else {
      std::memcpy(dst, field.data(), field.size());
      dst += field.size();
    }
    begin = end;
  }
  *dst++ = '\n';
  return dst;
}

void CsvRecordEncoder::append_record(const RowBuf& row, std::string& out) const {
  const Plan p = plan(row);
  const size_t at = out.size();
  out.resize(at + p.size);
  write(row, p, out.data() + at);
}

// ---------------------------------------------------------------------------
// EncodedRecords

void EncodedRecords::begin(unsigned char delimiter, unsigned char quote, size_t expected_rows,
                           size_t expected_bytes) {
  encoder_ = CsvRecordEncoder(delimiter, quote);
  blocks_.clear();
  segments_.clear();
  lengths_.clear();
  lengths_.reserve(expected_rows);
  count_ = 0;
  // A small input gets a small first block; a large one the usual size.
  first_block_ = std::clamp<size_t>(expected_bytes + expected_bytes / 8 + 64, 4096, kBlockBytes);
}

void EncodedRecords::clear() noexcept {
  if (blocks_.size() > 1) blocks_.resize(1);
  if (!blocks_.empty()) blocks_.front().size = 0;
  segments_.clear();
  lengths_.clear();
  count_ = 0;
}

void EncodedRecords::add_record(const char* at, size_t size) {
  if (!segments_.empty() && segments_.back().data + segments_.back().size == at) {
    segments_.back().size += size;
  } else {
    segments_.push_back(Segment{at, size});
  }
  push_length(lengths_, size);
  ++count_;
}

char* EncodedRecords::reserve_record(size_t size) {
  if (blocks_.empty() || blocks_.back().capacity - blocks_.back().size < size) {
    const size_t capacity = std::max(size, blocks_.empty() ? first_block_ : kBlockBytes);
    // Uninitialised on purpose: pages are first touched by the records
    // themselves, so unused capacity costs no resident memory.
    blocks_.push_back(Block{std::make_unique_for_overwrite<char[]>(capacity), 0, capacity});
  }
  Block& block = blocks_.back();
  char* at = block.data.get() + block.size;
  block.size += size;
  add_record(at, size);
  return at;
}

void EncodedRecords::push(const RowBuf& row) {
  const CsvRecordEncoder::Plan plan = encoder_.plan(row);
  encoder_.write(row, plan, reserve_record(plan.size));
}

void EncodedRecords::push_plain(std::string_view text) {
  char* at = reserve_record(text.size() + 1);
  std::memcpy(at, text.data(), text.size());
  at[text.size()] = '\n';
}

void EncodedRecords::push_borrowed(std::string_view text) { add_record(text.data(), text.size()); }

void EncodedRecords::push_at(const RowBuf& row, char* dst, size_t room) {
  const CsvRecordEncoder::Plan plan = encoder_.plan(row);
  if (plan.size > room) {
    encoder_.write(row, plan, reserve_record(plan.size));
    return;
  }
  encoder_.write(row, plan, dst);
  add_record(dst, plan.size);
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
    if (i != 0) append_utf8(raw, delimiter);
    raw += fields[i];
  }
  out += std::to_string(line);
  out += ',';
  append_double_quoted(out, reason);
  out += ',';
  append_double_quoted(out, raw);
  out += '\n';
}

void append_change_line(std::string& out, size_t line, std::string_view action, std::string_view raw,
                        std::string_view written) {
  out += std::to_string(line);
  out += ',';
  out += action;
  for (const std::string_view text : {raw, written}) {
    out += ",\"";
    for (char c : text) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  out += '\n';
}

IoStatus write_gathered(ByteTarget& target, std::vector<struct iovec>& pieces, const InterruptCheck& interrupt) {
  size_t first = 0;
  while (first < pieces.size()) {
    const int count = static_cast<int>(std::min<size_t>(pieces.size() - first, IOV_MAX));
    const ssize_t n = target.write_gather(pieces.data() + first, count);
    if (n == 0) {
      // Only pieces of nothing, or a target that takes nothing.
      while (first < pieces.size() && pieces[first].iov_len == 0) ++first;
      if (first < pieces.size()) return IoError::fixed(IoErrorKind::WriteZero, "failed to write whole buffer");
      break;
    }
    if (n < 0) {
      if (n != -EINTR) return IoError::from_errno(static_cast<int>(-n));
      if (interrupt.should_stop()) return interrupted_error();
      continue;
    }
    // Past what was written: whole pieces, then into the next one.
    size_t done = static_cast<size_t>(n);
    while (done > 0 && first < pieces.size()) {
      struct iovec& p = pieces[first];
      const size_t step = std::min(done, p.iov_len);
      p.iov_base = static_cast<char*>(p.iov_base) + step;
      p.iov_len -= step;
      done -= step;
      if (p.iov_len == 0) ++first;
    }
  }
  pieces.clear();
  return std::nullopt;
}

}  // namespace rowvane
