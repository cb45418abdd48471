// The table run's reconciler, shared by the whole-buffer runs and the
// streaming run: every row of a table kept, repaired or set aside by the
// rules of TableRules. Internal to core/.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/block_scan.hpp"
#include "core/dialect.hpp"
#include "core/heuristics.hpp"
#include "core/rowvane.hpp"
#include "core/simd.hpp"
#include "core/writer.hpp"

namespace rowvane::detail {

// Why a row of `n` fields is set aside when `m` are expected.
inline std::string width_reason(size_t n, size_t m) {
  std::string reason(n < m ? "Row has too few columns (expected " : "Row has extra columns (expected ");
  reason += std::to_string(m);
  reason += ')';
  return reason;
}

// Pads `row` to `m` fields with empty ones.
inline void pad_row(RowBuf& row, size_t m) {
  row.ends.resize(m, row.bytes.size());
}

// Joins fields m-1 .. n-1 of `row` into its m-th and last field with `sep`
// between neighbours. Done in place from the back: each surplus field moves
// right by the separators that now precede it, so nothing is overwritten
// before it has moved.
inline void merge_row_tail(RowBuf& row, size_t m, std::string_view sep) {
  const size_t n = row.field_count();
  const size_t old_size = row.bytes.size();
  row.bytes.resize(old_size + (n - m) * sep.size());
  char* data = row.bytes.data();
  for (size_t i = n - 1; i >= m; --i) {
    const size_t begin = row.ends[i - 1];
    const size_t shift = (i - (m - 1)) * sep.size();
    std::memmove(data + begin + shift, data + begin, row.ends[i] - begin);
    std::memcpy(data + begin + shift - sep.size(), sep.data(), sep.size());
  }
  row.ends.resize(m);
  row.ends[m - 1] = row.bytes.size();
}

// What the row loop settled before its first row.
struct SliceSetup {
  unsigned char delimiter;
  size_t columns;         // 0: no count enforced
  size_t expected_rows;   // LF count + 1
  size_t buffer_bytes;
  unsigned char quote;    // the output's quote
};

// A sink that writes records over the input text it has read (the file
// run): it also takes simply quoted records without the state machine, and
// is told where each record lay.
template <class Sink>
concept WritesInPlace = requires(Sink& s, const RowBuf& r, const SimpleRow& sr) {
  s.keep_at(r, size_t{}, size_t{});
  s.keep_simple(sr, size_t{});
};


// Kept rows of a file run, encoded as output records over the input
// text they were read from: a record never needs more room than its own
// input line (quotes that need not stay are dropped; the rest stays as it
// was), and the parser never looks back, so the output takes no fresh memory
// for most rows. A record that does not fit (rare: a repair that adds
// quotes, or a last line without its line break) goes to a block.
struct InPlaceEncodeSink {
  EncodedRecords& records;
  unsigned char quote;
  char* text;    // the input text, owned by the run, overwritten behind the parser
  size_t size;   // its length

  void begin(const SliceSetup& s) {
    quote = s.quote;
    records.begin(s.delimiter, quote, s.expected_rows, s.buffer_bytes);
  }
  bool takes_plain(unsigned char delimiter) const noexcept {
    return delimiter < 0x80 && quote < 0x80;
  }
  // A plain line is its own record: one that ends in a lone LF stays as it
  // is; one that ends in CR or CR LF gets its LF where the CR was.
  void keep_plain(std::string_view line, size_t, unsigned char) {
    const size_t begin = static_cast<size_t>(line.data() - text);
    const size_t end = begin + line.size();
    if (end < size && (text[end] == '\n' || text[end] == '\r')) {
      text[end] = '\n';
      records.push_borrowed(std::string_view(text + begin, line.size() + 1));
    } else {
      records.push_plain(line);
    }
  }
  // A record already made elsewhere, in memory that outlives the writing.
  void keep_record(std::string_view record) { records.push_borrowed(record); }
  void keep_at(const RowBuf& row, size_t begin, size_t end) {
    records.push_at(row, text + begin, end - begin);
  }
  // The record is the line without its dropped quotes: stretches of the
  // line move left by the quotes dropped before them (the first stretch
  // stays where it is), so copying front to back never overwrites a byte
  // still to be read.
  void keep_simple(const SimpleRow& row, size_t begin) {
    const size_t need = row.end - begin - row.dropped.size() + 1;
    const bool here = need <= row.next - begin;
    char* const start = here ? text + begin : records.push_reserved(need);
    char* dst = start;
    size_t from = begin;
    for (const size_t q : row.dropped) {
      if (dst != text + from) std::memmove(dst, text + from, q - from);
      dst += q - from;
      from = q + 1;
    }
    if (dst != text + from) std::memmove(dst, text + from, row.end - from);
    dst += row.end - from;
    *dst = '\n';
    if (here) records.push_borrowed(std::string_view(start, need));
  }
};

// ---------------------------------------------------------------------------
// The table run

// The bytes of the row at [begin, end) without its line break.
inline std::string_view without_line_break(std::string_view buffer, size_t begin, size_t end) noexcept {
  while (end > begin && (buffer[end - 1] == '\n' || buffer[end - 1] == '\r')) --end;
  return buffer.substr(begin, end - begin);
}

// The row's bytes as read, without its line break, as valid UTF-8.
inline std::string raw_text(std::string_view buffer, size_t begin, size_t end) {
  std::string text(without_line_break(buffer, begin, end));
  repair_utf8_tail(text, 0);
  return text;
}

// End of the physical line that starts at `begin` (its CR or LF, or `limit`).
inline size_t line_end(std::string_view buffer, size_t begin, size_t limit) noexcept {
  for (size_t i = begin; i < limit; ++i) {
    if (buffer[i] == '\n' || buffer[i] == '\r') return i;
  }
  return limit;
}

// Offset past the line break at `at` (CR, LF or CR LF), or `at` at the end.
inline size_t past_line_break(std::string_view buffer, size_t at) noexcept {
  if (at < buffer.size() && buffer[at] == '\r') ++at;
  if (at < buffer.size() && buffer[at] == '\n') ++at;
  return at;
}

inline bool surplus_is_empty(const RowBuf& row, size_t m) noexcept {
  return row.ends[m - 1] == row.bytes.size();
}

// Reconciles the rows of one table (see TableRules). A row that comes out
// with the wrong width is first offered the table repairs; what they do not
// fix is padded, merged or set aside exactly as in the basic run.
template <class Sink>
class TableReconciler {
 public:
  TableReconciler(std::string_view buffer, const RunOptions& options, bool quote_given,
                  const TableRules& rules, Sink& sink, std::vector<QuarantineRecord>& quarantine,
                  std::vector<ChangeRecord>& changes)
      : buffer_(buffer), options_(options), quote_given_(quote_given), rules_(rules), sink_(sink),
        quarantine_(quarantine), changes_(changes), total_size_(buffer.size()) {}

  // The whole input at once.
  TableSummary run() {
    if (start() != Advance::Done || !started_) return summary_;
    if (advance() == Advance::Interrupted) return summary_;
    return finish();
  }

  // --- The streaming run: the buffer is a window onto the input ----------
  // The run is started once the window holds the input's head (its first
  // kHeadBytes, or all of it); every row is read whole from the window or
  // not at all, so a row the window cuts short is read again once the window
  // reaches further. `final` says the window reaches the end of the input,
  // `total_size` is the input's size (the opening-quote repair's budget).
  void stream(size_t total_size, bool final, RowHints* hints, size_t head_bytes) noexcept {
    head_bytes_ = head_bytes;
    total_size_ = total_size;
    final_ = final;
    hints_ = hints;
  }
  void set_final(bool final) noexcept { final_ = final; }

  enum class Advance { Done, NeedMore, Interrupted, Stopped };

  // A part of a split input ends before the row that starts at or after
  // input offset `stop`: advance() then returns Stopped, the parser at it.
  void stop_at(size_t stop) noexcept { stop_at_ = stop; }

  // A part that starts inside the input: after start() read the head, the
  // rows of `window` (input offset `window_base`) are read from window
  // offset `pos`, counted afresh with their lines from 1, as rows of the
  // table's body with nothing held back.
  void resume_at(std::string_view window, size_t window_base, size_t pos) {
    TableSummary fresh;
    fresh.quote_char = summary_.quote_char;
    fresh.blank_after_delimiter = summary_.blank_after_delimiter;
    fresh.backslash_escape = summary_.backslash_escape;
    summary_ = fresh;
    buffer_ = window;
    base_ = window_base;
    parser_ = ResilientParser(window, parser_.options());
    parser_.seek(pos, 1);
    pending_.clear();
    notes_pending_ = false;
    in_other_table_ = false;
    tables_ = layout_.has_header ? 1 : 0;
    first_tables_ = tables_;
    drained_quarantine_ = 0;
    reread_budget_ = 2 * total_size_ + kDetectBytes;
    reread_used_ = 0;
    reread_refused_ = false;
    next_check_ = pos + kInterruptCheckBytes;
  }

  // Where a stopped part ends, and whether the part after it may start
  // afresh: nothing held back, no later table under way.
  size_t position() const noexcept { return base_ + parser_.pos(); }
  size_t line() const noexcept { return parser_.line(); }
  bool clean() const noexcept { return pending_.empty() && !in_other_table_ && !notes_pending_; }
  size_t tables_added() const noexcept { return tables_ - first_tables_; }
  size_t reread_used() const noexcept { return reread_used_; }
  bool reread_refused() const noexcept { return reread_refused_; }
  // The counts of a stopped part (finish() settles a part that ends the input).
  TableSummary counts() const {
    TableSummary s = summary_;
    s.run.detected_delimiter = static_cast<char32_t>(layout_.delimiter);
    s.run.quarantined_rows = drained_quarantine_ + quarantine_.size();
    s.run.inferred_columns = m_;
    s.tables_found = tables_;
    return s;
  }

  // Settles the layout from the window's head and reads the header; NeedMore
  // (having changed nothing) when the header's rows reach past the window.
  Advance start() {
    TableSummary& s = summary_;
    if (buffer_.empty()) return final_ ? Advance::Done : Advance::NeedMore;  // nothing to start
    if (rules_.basic_layout) {
      // Sniffing and inference read rows, not bytes: the window grows until
      // it holds those rows.
      const BasicLayout basic = basic_layout(buffer_, final_, options_.delimiter, options_.expected_columns);
      if (!basic.settled) return Advance::NeedMore;
      layout_ = TableLayout{};
      layout_.delimiter = basic.delimiter;
      layout_.quote_char = options_.quote_char;
      layout_.columns = basic.columns;
    } else {
      DetectOptions detect{options_.delimiter, std::nullopt, options_.expected_columns,
                           options_.repair_quotes};
      if (quote_given_) detect.quote_char = options_.quote_char;
      layout_ = detect_table(buffer_.substr(0, head_bytes_), detect);
      if (!final_ && !header_in_window()) return Advance::NeedMore;
    }
    m_ = layout_.columns;
    s.quote_char = layout_.quote_char;
    s.blank_after_delimiter = layout_.blank_after_delimiter;
    s.backslash_escape = layout_.backslash_escape;
    encoder_ = CsvRecordEncoder(layout_.delimiter, layout_.quote_char);
    append_utf8(sep_, layout_.delimiter);
    sink_.begin(SliceSetup{layout_.delimiter, m_, count_byte(buffer_, '\n') + 1, buffer_.size(),
                           layout_.quote_char});

    for (const SkippedLine& p : layout_.preamble) log(p.line, "preamble skipped", p.begin, p.end, nullptr);
    s.preamble_lines = layout_.preamble.size();
    parser_ = make_table_parser(buffer_, layout_, options_.repair_quotes);
    // Budget of bytes that the opening-quote repair may hand back to the
    // parser: each use re-reads what the first parse of its row swallowed.
    reread_budget_ = 2 * total_size_ + kDetectBytes;
    if (layout_.has_header) read_header();

    drop_blank_rows_ = m_ > 1 && !rules_.keep_blank_rows;
    // The basic run reconciles a row of empty cells where it stands (held,
    // a long run of them would keep the streamed window from moving on).
    hold_empty_rows_ = m_ > 1 && !rules_.basic_layout;
    notes_apply_ = m_ > 1 && rules_.set_aside_notes && layout_.has_header && layout_.numeric_body;
    // A backslash escape is read by the parser alone.
    try_plain_ = !layout_.blank_after_delimiter && !layout_.backslash_escape &&
                 plain_rows_apply(layout_.delimiter, layout_.quote_char) && sink_.takes_plain(layout_.delimiter);
    next_check_ = kInterruptCheckBytes;
    started_ = true;
    return Advance::Done;
  }

  // Reads rows to the end of the window: Done at the end of the input,
  // NeedMore where a row reaches past the window (the parser then stands at
  // its start), Interrupted when the interrupt check said to stop.
  Advance advance() {
    TableSummary& s = summary_;
    PlainRow plain;
    for (;;) {
      const size_t line = parser_.line();
      const size_t begin = parser_.pos();
      if (base_ + begin >= stop_at_) return Advance::Stopped;
      if (rules_.interrupt != nullptr && begin >= next_check_) {
        next_check_ = begin + kInterruptCheckBytes;
        if (rules_.interrupt->should_stop()) {
          s.interrupted = true;
          return Advance::Interrupted;
        }
      }
      if (try_plain_ && pending_.empty() && !in_other_table_ && !parser_.at_end() && scan_plain_here(plain)) {
        if (cut_short(plain.next)) return Advance::NeedMore;
        if ((m_ == 0 || plain.fields == m_) && !repeats_header(begin, plain.end) &&
            !mark_ahead(begin, plain.end) && !may_set_aside(begin, plain.end)) {
          if (!keep_hinted()) {
            sink_.keep_plain(buffer_.substr(begin, plain.end - begin), plain.fields, layout_.delimiter);
          }
          parser_.pass(plain);
          ++s.run.total_rows;
          ++s.run.rowvaned_rows;
          continue;
        }
      }
      if constexpr (kInPlace) {
        if (try_plain_ && pending_.empty() && !in_other_table_ && !parser_.at_end() &&
            scan_simple_here(simple_)) {
          if (cut_short(simple_.next)) return Advance::NeedMore;
          if ((m_ == 0 || simple_.fields == m_) && !may_repeat_header(begin, simple_.end) &&
              !mark_ahead(begin, simple_.end) && !may_set_aside(begin, simple_.end)) {
            if (!keep_hinted()) sink_.keep_simple(simple_, begin);
            parser_.pass(simple_);
            ++s.run.total_rows;
            ++s.run.rowvaned_rows;
            continue;
          }
        }
      }
      if (!parser_.next_row(row_)) {
        if (!final_) return Advance::NeedMore;
        break;
      }
      if (cut_short(parser_.pos())) {
        parser_.seek(begin, line);
        return Advance::NeedMore;
      }
      ++s.run.total_rows;
      take(line, begin);
      if (need_more_) {
        // The row's look-ahead reached past the window; take() changed nothing.
        need_more_ = false;
        --s.run.total_rows;
        parser_.seek(begin, line);
        return Advance::NeedMore;
      }
    }
    return Advance::Done;
  }

  // Settles the rows still held back at the end of the input.
  TableSummary finish() {
    TableSummary& s = summary_;
    if (!started_) return s;
    end_pending();
    s.tables_found = s.run.total_rows == 0 ? 0 : std::max<size_t>(tables_, 1);
    s.run.detected_delimiter = static_cast<char32_t>(layout_.delimiter);
    s.run.quarantined_rows = drained_quarantine_ + quarantine_.size();
    s.run.inferred_columns = m_;
    return s;
  }

  // The first byte of the window the run may still read: the next row's,
  // or that of the first row held back.
  size_t keep_from() const noexcept {
    return pending_.empty() ? parser_.pos() : std::min(parser_.pos(), pending_.front().begin);
  }

  // The window moved on: `buffer` now starts where byte `shift` of the old
  // window was, which it holds from there on.
  void rebase(std::string_view buffer, size_t shift) noexcept {
    buffer_ = buffer;
    parser_.rebase(buffer, shift);
    for (Pending& p : pending_) {
      p.begin -= shift;
      p.end -= shift;
    }
    next_check_ = next_check_ > shift ? next_check_ - shift : 0;
    base_ += shift;
  }

  // The caller wrote out and dropped `n` quarantine records.
  void drained(size_t n) noexcept { drained_quarantine_ += n; }

  bool started() const noexcept { return started_; }
  const TableLayout& layout() const noexcept { return layout_; }
  bool fast_rows() const noexcept { return try_plain_; }

 private:
  // Whether a row read up to `end` may reach past the window: its last byte
  // is the window's last (a CR there may have its LF in the next bytes).
  bool cut_short(size_t end) const noexcept { return !final_ && end >= buffer_.size(); }

  // Whether the header's rows, and the row after them, end inside the
  // window: read with a parser of their own, which is thrown away.
  bool header_in_window() const {
    ResilientParser probe = make_table_parser(buffer_, layout_, options_.repair_quotes);
    RowCount count;
    for (size_t k = 0; k <= layout_.header_rows + kMaxHeaderRows; ++k) {
      if (!probe.next_row_counted(count) || probe.pos() >= buffer_.size()) return false;
    }
    return true;
  }

  // The fast paths' scans, answered from the hints where the speculative
  // scan of the window's block found the row (the same answer: a hint is the
  // scan of the same bytes).
  bool scan_plain_here(PlainRow& out) {
    hinted_ = nullptr;
    if (hints_ != nullptr) {
      if (const RowHint* h = hints_->find(base_ + parser_.pos())) {
        if (!h->plain(parser_.pos(), out)) return false;
        hinted_ = h;
        return true;
      }
    }
    return parser_.scan_plain(out);
  }
  bool scan_simple_here(SimpleRow& out) {
    hinted_ = nullptr;
    if (hints_ != nullptr) {
      if (const RowHint* h = hints_->find(base_ + parser_.pos())) {
        if (h->kind != RowHint::Kind::Simple) return parser_.scan_simple(out);
        hinted_ = h;
        return hints_->simple(*h, parser_.pos(), out);
      }
    }
    return parser_.scan_simple(out);
  }

  // Keeps a row the fast path takes as its hint said, from the record the
  // scan made for it (the same bytes the sink would make in place).
  bool keep_hinted() {
    if constexpr (kInPlace) {
      if (hinted_ != nullptr) {
        sink_.keep_record(hints_->output(*hinted_));
        return true;
      }
    }
    return false;
  }

  // A row held back until the next row shows what it is: a blank row, or a
  // row that reads as a note (`note`). Its text stays in the buffer (the file
  // run writes no record past a row not yet kept) and is read again when the
  // row is released, so a long run of held rows takes no memory per field.
  struct Pending {
    size_t line;
    size_t begin;
    size_t end;
    bool note;
  };

  // Reads the held row `p` again into row_.
  void reread(const Pending& p) {
    ResilientParser again(buffer_, parser_.options());
    if (p.begin > again.pos()) again.seek(p.begin, p.line);
    again.next_row(row_);
  }

  // Whether the row at [begin, end), taken whole by a fast path, may be one
  // that is dropped or held back instead: a row of empty cells starts with
  // an empty cell, a row with one filled cell of two or more starts or ends
  // with an empty one (a delimiter, a blank, or quotes around blanks alone
  // there). A test of the bytes at the row's ends; the slow path decides.
  bool may_set_aside(size_t begin, size_t end) const noexcept {
    if (!drop_blank_rows_ && !notes_apply_) return false;
    if (end - begin < 2) return true;
    const auto blank = [&](size_t i) { return buffer_[i] == ' ' || buffer_[i] == '\t'; };
    const auto edge = [&](size_t i) {
      const unsigned char c = static_cast<unsigned char>(buffer_[i]);
      return c == layout_.delimiter || blank(i) ? 1 : c == layout_.quote_char ? 2 : 0;
    };
    const int first = edge(begin);
    if (first == 1) return true;
    if (first == 2) {
      size_t i = begin + 1;
      while (i < end && blank(i)) ++i;
      if (i < end && static_cast<unsigned char>(buffer_[i]) == layout_.quote_char) return true;
    }
    if (!notes_apply_) return false;
    const int last = edge(end - 1);
    if (last == 1) return true;
    if (last == 2) {
      size_t i = end - 1;
      while (i > begin + 1 && blank(i - 1)) --i;
      return static_cast<unsigned char>(buffer_[i - 1]) == layout_.quote_char;
    }
    return false;
  }

  bool is_empty_row() const noexcept { return is_blank_row(row_) || filled_fields(row_) == 0; }

  // A row that carries on a run of notes: no number past the first column,
  // and not every cell filled.
  bool continues_notes() const noexcept {
    if (filled_fields(row_) >= m_) return false;
    for (size_t f = 1; f < row_.field_count(); ++f) {
      if (cell_kind(row_.field(f)) == CellKind::Number) return false;
    }
    return true;
  }

  // Whether the plain line [begin, end) is the header's line again, so that
  // the slow path sees it (a copy of the header is dropped there).
  bool repeats_header(size_t begin, size_t end) const noexcept {
    return !header_line_.empty() && end - begin == header_line_.size() &&
           std::memcmp(buffer_.data() + begin, header_line_.data(), header_line_.size()) == 0;
  }

  // Whether the simply quoted line [begin, end) may hold the header's texts
  // again (its first field, past blanks and an opening quote, starts with the
  // header's first name), so that the slow path compares it field by field.
  bool may_repeat_header(size_t begin, size_t end) const noexcept {
    if (!layout_.has_header) return false;
    if (!simple_header_) return true;
    const std::string_view first = header_first_;
    size_t i = begin;
    while (i < end && (buffer_[i] == ' ' || buffer_[i] == '\t')) ++i;
    if (i < end && static_cast<unsigned char>(buffer_[i]) == layout_.quote_char) ++i;
    while (i < end && (buffer_[i] == ' ' || buffer_[i] == '\t')) ++i;
    return end - i >= first.size() && std::memcmp(buffer_.data() + i, first.data(), first.size()) == 0;
  }

  void read_header() {
    const size_t line = parser_.line();
    const size_t begin = parser_.pos();
    if (!parser_.next_row(header_)) return;
    header_line_ = without_line_break(buffer_, begin, parser_.pos());
    ++summary_.run.total_rows;
    tables_ = 1;
    // Header lines below the first are joined into it column by column;
    // blank lines between them are dropped.
    if (layout_.header_rows > 1) {
      std::vector<RowBuf> lines{header_};
      std::vector<Pending> joined;
      for (size_t k = 1; k < layout_.header_rows; ++k) {
        const size_t l = parser_.line();
        const size_t b = parser_.pos();
        if (!parser_.next_row(row_)) break;
        ++summary_.run.total_rows;
        if (is_empty_row()) {
          ++summary_.blank_rows_dropped;
          log(l, "blank row dropped", b, parser_.pos(), nullptr);
          continue;
        }
        lines.push_back(row_);
        joined.push_back(Pending{l, b, parser_.pos(), false});
      }
      header_ = join_header_lines(lines, std::max(m_, header_.field_count()));
      for (const Pending& p : joined) {
        ++summary_.header_rows_joined;
        log(p.line, "header rows joined", p.begin, p.end, &header_);
      }
    }
    // The quick test above reads the first name as bytes: it holds for a
    // name without quotes or blanks inside.
    const std::string_view first = trim_blanks(header_.field(0));
    simple_header_ = first.find(static_cast<char>(layout_.quote_char)) == std::string_view::npos;
    header_first_ = first;
    row_ = header_;
    settle(line, begin, parser_.pos());
  }

  // One row after the header.
  void take(size_t line, size_t begin) {
    const size_t end = parser_.pos();
    if (in_other_table_) {
      if (!pending_.empty() && is_header_like(row_)) ++tables_;
      set_aside_pending();
    }
    if (hold_empty_rows_ && is_empty_row()) {
      pending_.push_back(Pending{line, begin, end, false});
      return;
    }
    if (in_other_table_) {
      set_aside(line, begin, end);
      return;
    }
    const bool other_table = layout_.has_header && rules_.set_aside_other_tables && starts_other_table();
    if (need_more_) return;
    if (other_table) {
      in_other_table_ = true;
      ++tables_;
      set_aside_pending();
      set_aside(line, begin, end);
      return;
    }
    if (layout_.has_header && pending_.empty() && same_fields(row_, header_)) {
      ++summary_.repeated_headers;
      log(line, "repeated header dropped", begin, end, nullptr);
      return;
    }
    // A row of one filled cell of text may be a note below the table (or a
    // group row inside it): held back until a row of data follows.
    if (notes_apply_ && (is_note_like(row_, m_) || (notes_pending_ && continues_notes()))) {
      // Unless a stray opening quote swallowed the rest of a row of data.
      if (opening_quote_mended(line, begin, end)) {
        flush_pending();
        keep_repaired(line, "opening quote taken as text", begin, parser_.pos());
        ++summary_.opening_quote_rows;
        return;
      }
      pending_.push_back(Pending{line, begin, end, true});
      notes_pending_ = true;
      return;
    }
    flush_pending();
    settle(line, begin, end);
  }

  // A later table begins at the current row: after a blank line, a copy of
  // the header, or a header-like row of another width above a row of that
  // same width. (Without the blank line a row of text is too often data.)
  bool starts_other_table() {
    if (pending_.empty()) return false;
    if (same_fields(row_, header_)) return true;
    const size_t n = row_.field_count();
    if (n == m_ || !is_header_like(row_)) return false;
    ResilientParser ahead = parser_;
    RowBuf next;
    while (ahead.next_row(next)) {
      if (cut_short(ahead.pos())) break;
      if (!is_blank_row(next)) return next.field_count() == n;
    }
    need_more_ = !final_;
    return false;
  }

  void set_aside(size_t line, size_t begin, size_t end) {
    ++summary_.other_table_rows;
    quarantine_.push_back(QuarantineRecord{row_.to_strings(), kSecondTableReason, line});
    log(line, "second table set aside", begin, end, nullptr);
  }

  void set_aside_pending() {
    if (pending_.empty()) return;
    RowBuf saved = std::move(row_);
    for (const Pending& p : pending_) {
      reread(p);
      set_aside(p.line, p.begin, p.end);
    }
    row_ = std::move(saved);
    pending_.clear();
    notes_pending_ = false;
  }

  // The rows held back before a row of data: blank rows are dropped (or,
  // kept, reconciled as any other row), the others are data.
  void flush_pending() { release_pending(false); }

  // At the end of the input the rows held back after the last row of data
  // are notes below the table, set aside, and blank rows; a file of rows of
  // empty cells alone keeps them (they are its records of nulls).
  void end_pending() { release_pending(notes_pending_, summary_.run.rowvaned_rows == 0); }

  void release_pending(bool notes, bool keep_blank = false) {
    if (pending_.empty()) return;
    RowBuf saved = std::move(row_);
    for (const Pending& p : pending_) {
      reread(p);
      if (p.note && notes) {
        ++summary_.notes_rows;
        quarantine_.push_back(QuarantineRecord{row_.to_strings(), kNoteReason, p.line});
        log(p.line, "note set aside", p.begin, p.end, nullptr);
      } else if (!p.note && drop_blank_rows_ && !keep_blank) {
        ++summary_.blank_rows_dropped;
        log(p.line, "blank row dropped", p.begin, p.end, nullptr);
      } else {
        settle(p.line, p.begin, p.end);
      }
    }
    pending_.clear();
    notes_pending_ = false;
    row_ = std::move(saved);
  }

  // Whether a decode mark lies in [begin, end); marks before `begin` belong
  // to lines already passed (a preamble, a dropped header) and are passed.
  bool mark_ahead(size_t begin, size_t end) noexcept {
    if (rules_.marks == nullptr) return false;
    const std::vector<DecodeMark>& m = *rules_.marks;
    while (mark_ < m.size() && m[mark_].offset < begin) ++mark_;
    return mark_ < m.size() && m[mark_].offset < end;
  }

  // The kinds of the marks in [begin, end), each as a bit (1 << kind),
  // passing them.
  unsigned take_marks(size_t begin, size_t end) noexcept {
    unsigned kinds = 0;
    if (!mark_ahead(begin, end)) return 0;
    const std::vector<DecodeMark>& m = *rules_.marks;
    for (; mark_ < m.size() && m[mark_].offset < end; ++mark_) kinds |= 1u << static_cast<unsigned>(m[mark_].kind);
    return kinds;
  }

  // A row holding text the decode stage did not decode plainly is logged
  // once per kind, or set aside when undecodable text may not be kept.
  // Returns true when the row was set aside.
  bool settle_marks(size_t line, size_t begin, size_t end) {
    const unsigned kinds = take_marks(begin, end);
    if (kinds == 0) return false;
    const bool replaced = (kinds & (1u << static_cast<unsigned>(MarkKind::Replaced))) != 0;
    if (replaced && rules_.set_aside_undecodable) {
      ++summary_.undecodable_rows;
      quarantine_.push_back(QuarantineRecord{row_.to_strings(), kUndecodableReason, line});
      log(line, "set aside: undecodable bytes", begin, end, nullptr);
      return true;
    }
    if ((kinds & (1u << static_cast<unsigned>(MarkKind::Fallback))) != 0) {
      ++summary_.fallback_rows;
      log(line, rules_.fallback_action != nullptr ? rules_.fallback_action->c_str() : "decoded by fallback",
          begin, end, nullptr);
    }
    if (replaced) {
      ++summary_.replaced_rows;
      log(line, "undecodable bytes replaced", begin, end, nullptr);
    }
    return false;
  }

  // Keeps, repairs or sets aside row_.
  void settle(size_t line, size_t begin, size_t end) {
    TableSummary& s = summary_;
    if (settle_marks(line, begin, end)) return;
    const size_t n = row_.field_count();
    if (m_ == 0 || n == m_) {
      keep(begin, end);
      ++s.run.rowvaned_rows;
      return;
    }
    if (n > m_ && rules_.drop_empty_surplus && surplus_is_empty(row_, m_)) {
      row_.ends.resize(m_);
      keep_repaired(line, "empty surplus dropped", begin, end);
      ++s.empty_surplus_rows;
      return;
    }
    // Only a row the parser has just read may be read again: the parser then
    // stands at its end. (Blank rows are reconciled later, once the next row
    // has shown whether a new table begins.)
    // A stray opening quote swallows delimiters, so its row comes out short.
    if (opening_quote_mended(line, begin, end)) {
      keep_repaired(line, "opening quote taken as text", begin, parser_.pos());
      ++s.opening_quote_rows;
      return;
    }
    if (n < m_ && options_.fill_ragged_rows) {
      pad_row(row_, m_);
      keep_repaired(line, "padded", begin, end);
      ++s.padded_rows;
    } else if (n > m_ && options_.merge_overflow) {
      merge_row_tail(row_, m_, sep_);
      keep_repaired(line, "merged", begin, end);
      ++s.merged_rows;
    } else {
      quarantine_.push_back(QuarantineRecord{row_.to_strings(), width_reason(n, m_), line});
      log(line, "set aside", begin, end, nullptr);
    }
  }

  // Whether row_, short, was read again with its opening quote as text.
  bool opening_quote_mended(size_t line, size_t begin, size_t end) {
    return row_.field_count() < m_ && rules_.opening_quote_as_text && parser_.pos() == end &&
           !is_blank_row(row_) && quote_as_text(line, begin);
  }

  // The file run's sink overwrites the input behind the parser: the text of
  // a row is therefore read (for the change log) before the row is kept.
  static constexpr bool kInPlace = WritesInPlace<Sink>;

  void keep(size_t begin, size_t end) {
    if constexpr (kInPlace) {
      sink_.keep_at(row_, begin, end);
    } else {
      sink_.keep(row_);
    }
  }

  void keep_repaired(size_t line, const char* action, size_t begin, size_t end) {
    log(line, action, begin, end, &row_);
    keep(begin, end);
    ++summary_.run.rowvaned_rows;
    ++summary_.run.repaired_rows;
  }

  // The row at `begin` read again with its first field-opening quote taken
  // as text, within its first physical line. Accepted only when that gives
  // exactly the table's width; the parser then resumes on the next line.
  bool quote_as_text(size_t line, size_t begin) {
    const size_t span_end = parser_.pos();
    const size_t stop = line_end(buffer_, begin, span_end);
    const unsigned char q = layout_.quote_char;
    const unsigned char d = layout_.delimiter;
    if (q >= 0x80) return false;
    size_t at = std::string_view::npos;
    bool field_start = true;
    size_t delimiters = 0;
    std::array<bool, 256> present{};
    for (size_t i = begin; i < stop; ++i) {
      const unsigned char c = static_cast<unsigned char>(buffer_[i]);
      present[c] = true;
      delimiters += c == d ? 1 : 0;
      if (at == std::string_view::npos && field_start && c == q) at = i;
      field_start = c == d || (field_start && layout_.blank_after_delimiter && (c == ' ' || c == '\t'));
    }
    // Read with every quote as text the line has delimiters + 1 fields, and
    // quotes can only join fields: fewer delimiters cannot give the width.
    if (at == std::string_view::npos || delimiters + 1 < m_) return false;
    // A stand-in byte the line does not hold carries the quote through the
    // parse as text.
    unsigned char stand_in = 0;
    for (unsigned char c = 1; c < 0x20; ++c) {
      if (c != '\t' && c != '\n' && c != '\r' && c != d && !present[c]) {
        stand_in = c;
        break;
      }
    }
    if (stand_in == 0) return false;
    const size_t swallowed = span_end - past_line_break(buffer_, stop);
    if (swallowed > reread_budget_) {
      reread_refused_ = true;
      return false;
    }

    scratch_.assign(buffer_.data() + begin, stop - begin);
    scratch_[at - begin] = static_cast<char>(stand_in);
    scratch_ += '\n';  // an unclosed quote then shows as a field holding it
    ResilientParser p(scratch_, parser_.options());
    p.seek(0, 1);  // the stand-in line has no byte-order mark to pass
    if (!p.next_row(fixed_) || p.pos() != scratch_.size() || fixed_.field_count() != m_) return false;
    if (fixed_.bytes.find('\n') != std::string::npos) return false;
    const size_t k = fixed_.bytes.find(static_cast<char>(stand_in));
    if (k == std::string::npos) return false;
    fixed_.bytes[k] = static_cast<char>(q);

    reread_budget_ -= swallowed;
    reread_used_ += swallowed;
    std::swap(row_, fixed_);
    const size_t next = past_line_break(buffer_, stop);
    parser_.seek(next, line + (next > stop ? 1 : 0));
    return true;
  }

  void log(size_t line, const char* action, size_t begin, size_t end, const RowBuf* written) {
    if (!rules_.log_changes) return;
    ChangeRecord rec;
    rec.line = line;
    rec.action = action;
    rec.raw = raw_text(buffer_, begin, end);
    if (written != nullptr) {
      encoder_.append_record(*written, rec.written);
      if (!rec.written.empty()) rec.written.pop_back();  // its line feed
    }
    changes_.push_back(std::move(rec));
  }

  std::string_view buffer_;
  const RunOptions& options_;
  bool quote_given_;
  const TableRules& rules_;
  Sink& sink_;
  std::vector<QuarantineRecord>& quarantine_;
  std::vector<ChangeRecord>& changes_;
  TableSummary summary_;
  TableLayout layout_;
  size_t m_ = 0;
  std::string sep_;
  CsvRecordEncoder encoder_;
  ResilientParser parser_{};
  RowBuf row_;
  RowBuf header_;
  std::string header_line_;  // the header's line as read (the buffer may be overwritten)
  SimpleRow simple_;
  bool simple_header_ = false;  // may_repeat_header's byte test applies
  std::string header_first_;    // the header's first name, trimmed
  RowBuf fixed_;
  std::string scratch_;
  std::vector<Pending> pending_;
  bool notes_pending_ = false;    // pending_ holds a row that reads as a note
  bool drop_blank_rows_ = false;  // rows of empty cells are dropped
  bool hold_empty_rows_ = false;  // rows of empty cells wait for the next row
  bool notes_apply_ = false;      // notes below the table are set aside
  bool in_other_table_ = false;
  size_t tables_ = 0;
  size_t reread_budget_ = 0;
  size_t mark_ = 0;  // the next decode mark not yet passed
  // The streaming run's state (the whole-buffer run keeps the defaults).
  size_t total_size_ = 0;          // the input's size
  size_t head_bytes_ = kHeadBytes; // the head the layout is settled from
  bool final_ = true;              // the window reaches the end of the input
  bool need_more_ = false;         // a look-ahead reached past the window
  bool started_ = false;
  bool try_plain_ = false;         // the fast paths apply to this table
  size_t next_check_ = 0;          // where the interrupt check is asked next
  size_t base_ = 0;                // the input offset of the window's first byte
  size_t drained_quarantine_ = 0;  // quarantine records written out and dropped
  size_t stop_at_ = SIZE_MAX;      // a part's end (see stop_at)
  size_t first_tables_ = 0;        // tables_ where a part began
  size_t reread_used_ = 0;         // bytes the opening-quote repair read again
  bool reread_refused_ = false;    // the budget refused that repair a row
  RowHints* hints_ = nullptr;
  const RowHint* hinted_ = nullptr;  // the hint the last fast-path scan was answered from
};

}  // namespace rowvane::detail
