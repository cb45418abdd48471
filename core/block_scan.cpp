#include "core/block_scan.hpp"

#include <algorithm>
#include <cstring>

#include "core/utf8.hpp"

namespace rowvane {

namespace {

bool is_continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// The length a sequence starting with `c` claims (1 for bytes that start
// none: the check finds them).
size_t claimed_length(unsigned char c) noexcept {
  if (c >= 0xF0 && c <= 0xF7) return 4;
  if (c >= 0xE0) return c <= 0xEF ? 3 : 1;
  if (c >= 0xC0) return 2;
  return 1;
}

// Offset past the first line break at or after `from` (CR LF counts as one),
// or npos when the block holds none there.
size_t past_first_break(std::string_view block, size_t from) noexcept {
  for (size_t i = from; i < block.size(); ++i) {
    if (block[i] == '\n') return i + 1;
    if (block[i] == '\r') return i + 1 < block.size() && block[i + 1] == '\n' ? i + 2 : i + 1;
  }
  return std::string_view::npos;
}

// Checks the block as UTF-8 short of the sequences its edges may cut. The
// rows the scan hinted were checked by the scan itself (a plain or simple row
// is valid UTF-8), so only the stretches between them are checked here; each
// ends at a line break, which no sequence crosses.
void check_utf8(std::string_view block, BlockScan& out) {
  const size_t n = block.size();
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(block[i]); };
  size_t a = 0;
  while (a < n && a < 4 && is_continuation(byte(a))) ++a;
  if (a == 4) {  // no sequence has four continuation bytes
    out.utf8_valid = false;
    return;
  }
  size_t b = n;
  for (size_t k = n; k > a && k + 3 >= n;) {
    --k;
    if (!is_continuation(byte(k))) {
      if (k + claimed_length(byte(k)) > n) b = k;
      break;
    }
  }
  out.utf8_begin = a;
  out.utf8_end = std::max(a, b);
  size_t from = a;
  for (const RowHint& h : out.rows) {
    const size_t begin = h.begin - out.offset;
    if (begin > from && !is_valid_utf8(block.data() + from, begin - from)) {
      out.utf8_valid = false;
      return;
    }
    from = std::max(from, begin + h.next);
  }
  out.utf8_valid = from >= out.utf8_end || is_valid_utf8(block.data() + from, out.utf8_end - from);
}

void scan_rows(std::string_view block, size_t offset, const ScanSetup& setup, BlockScan& out);

}  // namespace

void scan_block(std::string_view block, size_t offset, const ScanSetup& setup, BlockScan& out) {
  out.clear();
  out.offset = offset;
  out.size = block.size();
  if (setup.rows && plain_rows_apply(setup.delimiter, setup.quote)) scan_rows(block, offset, setup, out);
  check_utf8(block, out);
}

namespace {

void scan_rows(std::string_view block, size_t offset, const ScanSetup& setup, BlockScan& out) {
  // Rows longer than a hint can say are left to the run.
  if (block.size() > UINT32_MAX) block = block.substr(0, UINT32_MAX);
  size_t pos = offset == 0 ? bom_offset(block) : past_first_break(block, 0);
  out.output.reserve(block.size());
  PlainRow plain;
  SimpleRow simple;
  while (pos < block.size()) {
    RowHint hint;
    hint.begin = offset + pos;
    if (scan_plain_row(block, pos, setup.delimiter, setup.quote, plain)) {
      if (plain.next >= block.size()) break;
      hint.end = static_cast<std::uint32_t>(plain.end - pos);
      hint.next = static_cast<std::uint32_t>(plain.next - pos);
      hint.fields = static_cast<std::uint32_t>(plain.fields);
      hint.line_break = plain.line_break;
      hint.output = static_cast<std::uint32_t>(out.output.size());
      out.output.append(block.data() + pos, plain.end - pos);
      out.output += '\n';
      out.rows.push_back(hint);
      pos = plain.next;
      continue;
    }
    if (scan_simple_row(block, pos, setup.delimiter, setup.quote, simple) && simple.next < block.size()) {
      hint.kind = RowHint::Kind::Simple;
      hint.end = static_cast<std::uint32_t>(simple.end - pos);
      hint.next = static_cast<std::uint32_t>(simple.next - pos);
      hint.fields = static_cast<std::uint32_t>(simple.fields);
      hint.inner_lines = static_cast<std::uint32_t>(simple.inner_lines);
      hint.line_break = simple.line_break;
      hint.dropped_count = static_cast<std::uint32_t>(simple.dropped.size());
      hint.output = static_cast<std::uint32_t>(out.output.size());
      size_t from = pos;
      for (const size_t q : simple.dropped) {
        out.output.append(block.data() + from, q - from);
        from = q + 1;
      }
      out.output.append(block.data() + from, simple.end - from);
      out.output += '\n';
      out.rows.push_back(hint);
      pos = simple.next;
      continue;
    }
    // A row only the parser can read: where it ends is its business; the
    // next line is guessed to start a record.
    pos = past_first_break(block, pos);
  }
}

}  // namespace

bool Utf8Stitch::add(std::string_view block, const BlockScan& scan) {
  if (!valid_) return false;
  if (!scan.utf8_valid) return valid_ = false;
  held_.append(block.data(), scan.utf8_begin);
  if (scan.utf8_end > scan.utf8_begin) {
    // The held bytes run up to a byte that starts a sequence: whole
    // sequences, if valid.
    if (!is_valid_utf8(held_.data(), held_.size())) return valid_ = false;
    held_.assign(block.data() + scan.utf8_end, block.size() - scan.utf8_end);
  } else {
    held_.append(block.data() + scan.utf8_begin, block.size() - scan.utf8_begin);
    // Tiny blocks: check all but a sequence the end may still cut.
    if (held_.size() > 16) {
      size_t k = held_.size();
      while (k > 0 && held_.size() - k < 4 && is_continuation(static_cast<unsigned char>(held_[k - 1]))) --k;
      if (k > 0) --k;  // the sequence's first byte stays held
      if (!is_valid_utf8(held_.data(), k)) return valid_ = false;
      held_.erase(0, k);
    }
  }
  return true;
}

bool Utf8Stitch::finish() {
  if (valid_ && !is_valid_utf8(held_.data(), held_.size())) valid_ = false;
  held_.clear();
  return valid_;
}

void RowHints::add(const BlockScan* scan) { blocks_.push_back(scan); }

void RowHints::drop_before(size_t offset) {
  last_ = nullptr;
  size_t k = 0;
  while (k < blocks_.size() && blocks_[k]->offset + blocks_[k]->size <= offset) ++k;
  if (k == 0) return;
  blocks_.erase(blocks_.begin(), blocks_.begin() + static_cast<std::ptrdiff_t>(k));
  if (block_ >= k) {
    block_ -= k;
  } else {
    block_ = 0;
    row_ = 0;
    checked_ = false;
  }
}

const RowHint* RowHints::find(size_t at) noexcept {
  // The plain scan and the simple scan of one row ask in turn.
  if (at == last_at_ && last_ != nullptr) return last_;
  last_at_ = at;
  last_ = look_up(at);
  return last_;
}

const RowHint* RowHints::look_up(size_t at) noexcept {
  // Rows are asked for in input order (a row cut short by the window is
  // asked for again): the cursor moves forward, and back only by a search.
  while (block_ < blocks_.size() && at >= blocks_[block_]->offset + blocks_[block_]->size) {
    ++block_;
    row_ = 0;
    checked_ = false;
  }
  if (block_ >= blocks_.size()) return nullptr;
  const BlockScan& b = *blocks_[block_];
  if (at < b.offset) return nullptr;
  const std::vector<RowHint>& rows = b.rows;
  if (!checked_) {
    checked_ = true;
    if (!rows.empty() && at != rows.front().begin) ++missed_;
  }
  const auto search = [&](size_t from, size_t to) {
    row_ = static_cast<size_t>(std::lower_bound(rows.begin() + static_cast<std::ptrdiff_t>(from),
                                                rows.begin() + static_cast<std::ptrdiff_t>(to), at,
                                                [](const RowHint& h, size_t v) { return h.begin < v; }) -
                               rows.begin());
  };
  if (row_ > 0 && (row_ >= rows.size() || rows[row_].begin > at) && rows[row_ - 1].begin >= at) {
    search(0, row_);
  } else if (row_ < rows.size() && rows[row_].begin < at) {
    // Most often the very next hint: a step, not a search.
    if (row_ + 1 < rows.size() && rows[row_ + 1].begin >= at) {
      ++row_;
    } else {
      search(row_, rows.size());
    }
  }
  if (row_ < rows.size() && rows[row_].begin == at) return &rows[row_];
  return nullptr;
}

bool RowHints::simple(const RowHint& hint, size_t pos, SimpleRow& out) const noexcept {
  out.end = pos + hint.end;
  out.next = pos + hint.next;
  out.line_break = hint.line_break;
  out.fields = hint.fields;
  out.inner_lines = hint.inner_lines;
  out.dropped.clear();
  return true;
}

}  // namespace rowvane
