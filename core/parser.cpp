// The resilient row parser. The state machine reads a byte at a time
// (FieldStart, Unquoted, Quoted, AfterQuote), but the two states in which
// most bytes are spent jump over runs of ordinary bytes sixteen at a time and
// append each run to the record in one go.
#include "core/parser.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "core/simd.hpp"

namespace rowvane {
namespace {

constexpr size_t kNone = static_cast<size_t>(-1);

constexpr unsigned char kCR = 0x0D;
constexpr unsigned char kLF = 0x0A;

inline bool is_line_break(unsigned char c) noexcept { return c == kCR || c == kLF; }
inline bool is_blank(unsigned char c) noexcept { return c == ' ' || c == '\t'; }

using simd::find_any;

inline const unsigned char* find_line_break(const unsigned char* p,
                                            const unsigned char* end) noexcept {
  unsigned ignored = 0;
  return find_any(p, end, kCR, kLF, kLF, ignored);
}

// Ends a record at the line break at `pos`: CR, LF and CR LF are one break
// each, so LF CR is two.
inline size_t step_over_break(const unsigned char* base, size_t n, size_t pos) noexcept {
  if (base[pos] == kCR) ++pos;
  if (pos < n && base[pos] == kLF) ++pos;
  return pos;
}

// After a stray quote, the cached line still holds a closing-capable quote
// further on, so every quote before it is stray too, unless it is doubled
// (one quote of text for two bytes) or followed by a blank, the delimiter or
// a line break (then the full test decides). Takes that stretch as text in
// spans instead of one quote at a time; returns where the state machine
// resumes, still in the quoted field. The stretch holds no line break: the
// cached quote lies on the same line.
template <class Out>
size_t take_stray_run(const unsigned char* base, size_t pos, size_t la_good, unsigned char quote,
                      unsigned char delim, Out& out, unsigned& field_bits) {
  if (la_good == kNone || pos >= la_good) return pos;
  const unsigned char* p = base + pos;
  const unsigned char* const stop = base + la_good;
  const unsigned char* span = p;
  const simd::Block qt = simd::Block::splat(quote);
  const simd::Block dl = simd::Block::splat(delim);
  const simd::Block sp = simd::Block::splat(' ');
  const simd::Block tb = simd::Block::splat('\t');
  unsigned high = 0;
  while (p < stop) {
    // The next quote that needs a look: one followed by another quote, the
    // delimiter or a blank. Every other quote stays in the span as text.
    const unsigned char* qp = nullptr;
    // Sixteen bytes at a time; the window reads one byte past each block,
    // which stays at or before `stop` (a quote byte, never a line break).
    while (stop - p >= static_cast<ptrdiff_t>(simd::kBlock)) {
      const simd::Block v = simd::Block::load(p);
      const simd::Block w = simd::Block::load(p + 1);
      const unsigned hit = (v.eq(qt) & simd::any_of(w, qt, dl, sp, tb)).mask();
      if (hit != 0) {
        const size_t k = simd::first(hit);
        high |= simd::below(v.mask(), k);
        qp = p + k;
        break;
      }
      high |= v.mask();
      p += simd::kBlock;
    }
    if (qp == nullptr) {
      for (; p < stop; ++p) {
        field_bits |= *p;
        if (*p == quote) {
          const unsigned char next = p[1];
          if (next == quote || next == delim || is_blank(next)) break;
        }
      }
      if (p == stop) break;
      qp = p;
    }
    if (qp[1] == quote) {  // doubled: keep one, drop the other
      out.append(reinterpret_cast<const char*>(span), static_cast<size_t>(qp + 1 - span));
      p = qp + 2;
      span = p;
    } else {
      p = qp;  // may close: the full test decides
      break;
    }
  }
  if (high != 0) field_bits |= 0x80;
  if (p > span) out.append(reinterpret_cast<const char*>(span), static_cast<size_t>(p - span));
  return static_cast<size_t>(p - base);
}

// From a doubled quote at `pos`, copies quoted text byte by byte while
// doubled quotes keep coming close together (text like `"a""b""c"...`), one
// quote for each pair. Stops before a lone quote, an LF or the last byte, or
// after a stretch without quotes, where the sixteen-byte scan is faster.
// Room is made in small steps, so a short run costs little.
template <class Out>
size_t take_doubled_run(const unsigned char* base, size_t n, size_t pos, unsigned char quote,
                        Out& out, unsigned& field_bits) {
  constexpr size_t kStep = 256;
  char buf[kStep];
  unsigned bits = 0;
  for (;;) {
    // Each pass consumes at most kStep input bytes, so it writes at most
    // kStep bytes; p + 1 stays inside the input.
    const unsigned char* p = base + pos;
    const unsigned char* const lim = p + std::min(kStep, n - 1 - pos);
    const unsigned char* last_pair = p;
    char* dst = buf;
    bool more = true;
    while (p < lim) {
      const unsigned char c = *p;
      if (c == quote) {
        if (p[1] != quote) {
          more = false;
          break;
        }
        *dst++ = static_cast<char>(quote);
        p += 2;
        last_pair = p;
        continue;
      }
      if (c == kLF || p - last_pair > 24) {  // a sparse stretch: the scan is faster
        more = false;
        break;
      }
      bits |= c;
      *dst++ = static_cast<char>(c);
      ++p;
    }
    out.append(buf, static_cast<size_t>(dst - buf));
    pos = static_cast<size_t>(p - base);
    if (!more || pos + 1 >= n) break;
  }
  field_bits |= bits;
  return pos;
}

// Decodes the field from `begin` to the end of `text` in place when it is not
// valid UTF-8. Kept out of line: the parser's loop only calls it for fields
// with bytes above 0x7F.
[[gnu::noinline]] void check_field_utf8(std::string& text, size_t begin) {
  if (!is_valid_utf8(text.data() + begin, text.size() - begin)) repair_utf8_tail(text, begin);
}

// What the counting parse keeps of a record: how many fields, how many bytes
// of text, and the text itself only while every byte of it could belong to a
// blank row (ASCII white space, or a byte above 0x7F that may start a
// multi-byte space). The first other byte makes the row non-blank for good:
// a U+FFFD repair never makes a row blank.
struct CountText {
  size_t n = 0;            // bytes of field text so far
  bool maybe_blank = true;
  std::string kept;        // the text while maybe_blank

  void clear() noexcept {
    n = 0;
    maybe_blank = true;
    kept.clear();
  }
  size_t size() const noexcept { return n; }
  void append(const char* p, size_t len) {
    n += len;
    if (!maybe_blank) return;
    for (size_t i = 0; i < len; ++i) {
      const auto c = static_cast<unsigned char>(p[i]);
      if (c < 0x80 && c != ' ' && (c < 0x09 || c > 0x0D)) {
        maybe_blank = false;
        kept.clear();
        return;
      }
    }
    kept.append(p, len);
  }
  void push_back(char c) { append(&c, 1); }
};

struct CountEnds {
  size_t count = 0;
  void push_back(size_t) noexcept { ++count; }
  bool empty() const noexcept { return count == 0; }
};

struct CountRow {
  CountText bytes;
  CountEnds ends;
  void clear() noexcept {
    bytes.clear();
    ends.count = 0;
  }
};

// Field texts are not kept, so there is nothing to repair: the blank test
// repairs the kept text itself.
inline void check_field_utf8(CountText&, size_t) noexcept {}

}  // namespace

std::vector<std::string> RowBuf::to_strings() const {
  std::vector<std::string> out;
  out.reserve(ends.size());
  for (size_t i = 0; i < ends.size(); ++i) out.emplace_back(field(i));
  return out;
}

size_t bom_offset(std::string_view input) noexcept {
  return input.size() >= 3 && input.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
}

ResilientParser::ResilientParser(std::string_view input, const ParserOptions& options) noexcept
    : input_(input), options_(options), pos_(bom_offset(input)), line_(1) {}

void ResilientParser::seek(size_t pos, size_t line) noexcept {
  pos_ = pos;
  line_ = line;
  // The cache answers for bytes of the input, so it would stay right; it is
  // dropped anyway, as a seek usually lands beyond the cached line.
  la_valid_ = false;
  la_run_begin_ = la_run_end_ = 0;
}

void ResilientParser::rebase(std::string_view input, size_t shift) noexcept {
  input_ = input;
  pos_ -= shift;
  // The caches hold offsets of the old input; they are only caches.
  la_valid_ = false;
  la_run_begin_ = la_run_end_ = 0;
}

// Offset just past the run of blanks (that are not the delimiter) starting at
// `from`. Remembers the run, so that asking again from inside it costs
// nothing.
size_t ResilientParser::skip_blank_run(const unsigned char* base, size_t from) noexcept {
  if (from >= la_run_begin_ && from < la_run_end_) return la_run_end_;
  const size_t n = input_.size();
  size_t j = from;
  while (j < n && is_blank(base[j]) && base[j] != options_.delimiter) ++j;
  la_run_begin_ = from;
  la_run_end_ = j;
  return j;
}

// Caches, for the physical line from q on, the last quote that could close a
// field: a quote followed, past blanks that are not the delimiter, by the end
// of input, the delimiter, CR or LF. Scanning backwards from the line end
// finds it with one pass however many quotes the line holds.
void ResilientParser::fill_lookahead(const unsigned char* base, size_t q) noexcept {
  const size_t n = input_.size();
  const size_t line_end = static_cast<size_t>(find_line_break(base + q + 1, base + n) - base);
  const unsigned char quote = options_.quote_char;
  const unsigned char delim = options_.delimiter;
  size_t good = kNone;
  bool tail_closes = true;  // the bytes after the one looked at lead, past blanks, to an end
  // Bytes [from, to) from the last one back; true once the answer is found.
  auto scan_back = [&](size_t from, size_t to) {
    for (size_t i = to; i > from;) {
      --i;
      const unsigned char c = base[i];
      if (c == quote && tail_closes) {
        good = i;
        return true;
      }
      if (c == delim) {
        tail_closes = true;
      } else if (!is_blank(c)) {
        tail_closes = false;
      }
    }
    return false;
  };
  size_t done = line_end;  // bytes [done, line_end) are looked at
  // Sixteen bytes a step. In a block without blanks the byte after each one
  // is what decides, so a quote closes exactly when the byte after it is the
  // delimiter (or, for the block's last byte, when the block after led to an
  // end). A block with blanks is looked at byte by byte.
  if (quote != delim && !is_blank(quote)) {
    const simd::Block vq = simd::Block::splat(quote);
    const simd::Block vd = simd::Block::splat(delim);
    const simd::Block sp = simd::Block::splat(' ');
    const simd::Block tb = simd::Block::splat('\t');
    while (done >= q + 1 + simd::kBlock) {
      const size_t k = done - simd::kBlock;
      const simd::Block v = simd::Block::load(base + k);
      const unsigned delims = v.eq(vd).mask();
      if ((simd::any_of(v, sp, tb).mask() & ~delims) != 0) {
        if (scan_back(k, done)) break;
      } else {
        const unsigned closes = delims >> 1 | (tail_closes ? 1u << (simd::kBlock - 1) : 0u);
        const unsigned hit = v.eq(vq).mask() & closes;
        if (hit != 0) {
          good = k + static_cast<size_t>(std::bit_width(hit)) - 1;
          break;
        }
        tail_closes = (delims & 1) != 0;
      }
      done = k;
    }
  }
  if (good == kNone) scan_back(q, done);
  la_begin_ = q;
  la_end_ = line_end;
  la_good_ = good;
  la_valid_ = true;
  la_run_begin_ = la_run_end_ = 0;
}

// The closing-quote test for the quote at q, which is neither the last byte
// nor followed by another quote. It closes when it is followed, past blanks,
// by an end; otherwise a stray quote stays text when a later quote on the
// same line can still close the field.
bool ResilientParser::quote_closes(const unsigned char* base, size_t q) noexcept {
  const unsigned char next = base[q + 1];
  // The delimiter is tested before blanks, as AfterQuote does, so a TAB or
  // space delimiter right after the quote closes the field.
  if (next == options_.delimiter || is_line_break(next)) return true;
  if (!la_valid_ || q < la_begin_ || q >= la_end_) fill_lookahead(base, q);
  // No closing-capable quote after q (or q is the last one): q closes.
  if (la_good_ == kNone || la_good_ <= q) return true;
  // A later quote could close the field, so q closes only when it can itself.
  if (!is_blank(next)) return false;
  const size_t j = skip_blank_run(base, q + 1);
  return j >= input_.size() || base[j] == options_.delimiter || is_line_break(base[j]);
}

// One record read by the state machine, once for records (RowBuf) and once
// for counting (CountRow): the same transitions, the same look-ahead, only
// the output differs. Each state reads what it can and names the next one.
template <class Row>
class RecordReader {
 public:
  RecordReader(ResilientParser& parser, Row& row) noexcept
      : ps_(parser),
        opt_(parser.options_),
        base_(reinterpret_cast<const unsigned char*>(parser.input_.data())),
        n_(parser.input_.size()),
        pos_(parser.pos_),
        line_(parser.line_),
        row_(row),
        out_(row.bytes) {}

  [[gnu::always_inline]] bool read() {
    row_.clear();
    if (pos_ >= n_) return false;
    State state = State::FieldStart;
    for (;;) {
      switch (state) {
        case State::FieldStart:
          state = field_start();
          break;
        case State::Unquoted:
          state = unquoted();
          break;
        case State::Quoted:
          state = quoted();
          break;
        case State::AfterQuote:
          state = after_quote();
          break;
        case State::RecordEnd:
          ++line_;
          [[fallthrough]];
        case State::InputEnd:
          ps_.pos_ = pos_;
          ps_.line_ = line_;
          return true;
        case State::NoRecord:  // only blanks were left
          ps_.pos_ = pos_;
          return false;
      }
    }
  }

 private:
  enum class State { FieldStart, Unquoted, Quoted, AfterQuote, RecordEnd, InputEnd, NoRecord };

  [[gnu::always_inline]] State field_start() {
    if (opt_.trim_leading_blanks) {
      while (pos_ < n_ && is_blank(base_[pos_])) ++pos_;
    }
    if (pos_ >= n_) {
      if (row_.ends.empty()) return State::NoRecord;
      return end_input();  // right after a delimiter: one more, empty field
    }
    const unsigned char c = base_[pos_];
    if (c == opt_.quote_char) {  // tested before the delimiter
      ++pos_;
      return State::Quoted;
    }
    if (c == opt_.delimiter) return next_field();
    if (is_line_break(c)) return end_record();
    return State::Unquoted;  // the unquoted scan takes this byte too
  }

  [[gnu::always_inline]] State unquoted() {
    const unsigned char* stop =
        find_any(base_ + pos_, base_ + n_, opt_.delimiter, kCR, kLF, field_bits_);
    append(stop);
    if (pos_ >= n_) return end_input();
    if (base_[pos_] == opt_.delimiter) return next_field();  // tested before line breaks
    return end_record();
  }

  [[gnu::always_inline]] State quoted() {
    const unsigned char quote = opt_.quote_char;
    // The scan stops at the quote, at LF (to count lines) and at the escape
    // byte when there is one; without one the quote stands in for it.
    const unsigned char escape = opt_.has_escape ? opt_.escape_char : quote;
    append(find_any(base_ + pos_, base_ + n_, quote, kLF, escape, field_bits_));
    if (pos_ >= n_) return end_input();  // an unclosed quote takes the rest of the input
    const unsigned char c = base_[pos_];
    if (opt_.has_escape && c == opt_.escape_char && pos_ + 1 < n_) {
      take_byte(base_[pos_ + 1]);
      pos_ += 2;
      return State::Quoted;
    }
    if (c != quote) {  // LF, or an escape byte with nothing after it
      if (c == kLF) ++line_;
      take_byte(c);
      ++pos_;
      return State::Quoted;
    }
    if (pos_ + 1 == n_) {  // closes at the very end
      ++pos_;
      return end_input();
    }
    if (base_[pos_ + 1] == quote) {  // doubled: one quote of text
      if (opt_.has_escape) {
        take_byte(quote);
        pos_ += 2;
      } else {
        unsigned bits = quote;  // a local: the run's helper must not see this record's address
        pos_ = take_doubled_run(base_, n_, pos_, quote, out_, bits);
        field_bits_ |= bits;
      }
      return State::Quoted;
    }
    if (!opt_.repair_quotes || ps_.quote_closes(base_, pos_)) {
      ++pos_;
      return State::AfterQuote;
    }
    // A stray quote: text, and so is every quote up to the one that can close.
    take_byte(quote);
    ++pos_;
    if (!opt_.has_escape) {
      unsigned bits = 0;
      pos_ = take_stray_run(base_, pos_, ps_.la_good_, quote, opt_.delimiter, out_, bits);
      field_bits_ |= bits;
    }
    return State::Quoted;
  }

  [[gnu::always_inline]] State after_quote() {
    // Blanks between a closing quote and what follows are dropped; the
    // delimiter is tested first, so a blank delimiter still separates.
    while (pos_ < n_ && base_[pos_] != opt_.delimiter && is_blank(base_[pos_])) ++pos_;
    if (pos_ >= n_) return end_input();
    const unsigned char c = base_[pos_];
    if (c == opt_.delimiter) return next_field();
    if (is_line_break(c)) return end_record();
    return State::Unquoted;  // text after the quote continues the field
  }

  // Transitions that end a field.
  [[gnu::always_inline]] State next_field() {
    finish_field();
    ++pos_;
    return State::FieldStart;
  }
  [[gnu::always_inline]] State end_record() {
    pos_ = step_over_break(base_, n_, pos_);
    finish_field();
    return State::RecordEnd;
  }
  [[gnu::always_inline]] State end_input() {
    finish_field();
    return State::InputEnd;
  }

  // Raw bytes go straight into the record. A field is checked only when it
  // holds a byte above 0x7F, and rewritten only when it is not valid UTF-8.
  [[gnu::always_inline]] void finish_field() {
    if ((field_bits_ & 0x80) != 0) {
      check_field_utf8(out_, field_start_);
      field_bits_ = 0;
    }
    row_.ends.push_back(out_.size());
    field_start_ = out_.size();
  }
  [[gnu::always_inline]] void append(const unsigned char* stop) {
    out_.append(reinterpret_cast<const char*>(base_ + pos_), static_cast<size_t>(stop - (base_ + pos_)));
    pos_ = static_cast<size_t>(stop - base_);
  }
  [[gnu::always_inline]] void take_byte(unsigned char c) {
    field_bits_ |= c;
    out_.push_back(static_cast<char>(c));
  }

  ResilientParser& ps_;
  const ParserOptions opt_;  // a copy: the record's own writes cannot alias it
  const unsigned char* const base_;
  const size_t n_;
  size_t pos_;
  size_t line_;
  Row& row_;
  decltype(Row::bytes)& out_;
  size_t field_start_ = 0;
  unsigned field_bits_ = 0;  // OR of the field's raw bytes: high bit = not ASCII
};

bool ResilientParser::next_row(RowBuf& row) { return RecordReader<RowBuf>(*this, row).read(); }

bool ResilientParser::next_row_counted(RowCount& count) {
  thread_local CountRow row;
  count.text.clear();
  count.fields = 0;
  count.maybe_blank = false;
  if (!RecordReader<CountRow>(*this, row).read()) return false;
  count.fields = row.ends.count;
  if (row.ends.count == 1 && row.bytes.maybe_blank) {
    // The one field's text, as the record parse would have it.
    count.maybe_blank = true;
    count.text = row.bytes.kept;
    repair_utf8_tail(count.text, 0);
  }
  return true;
}

std::optional<std::vector<std::string>> ResilientParser::next_row() {
  RowBuf row;
  if (!next_row(row)) return std::nullopt;
  return row.to_strings();
}

bool ResilientParser::scan_plain(PlainRow& out) const noexcept {
  return scan_plain_row(input_, pos_, options_.delimiter, options_.quote_char, out);
}

bool ResilientParser::scan_simple(SimpleRow& out) const {
  return scan_simple_row(input_, pos_, options_.delimiter, options_.quote_char, out);
}

void ResilientParser::pass(const PlainRow& row) noexcept {
  pos_ = row.next;
  line_ += row.line_break ? 1 : 0;
}

void ResilientParser::pass(const SimpleRow& row) noexcept {
  pos_ = row.next;
  line_ += row.inner_lines + (row.line_break ? 1 : 0);
}

bool plain_rows_apply(unsigned char delimiter, unsigned char quote_char) noexcept {
  return delimiter != quote_char && !is_line_break(delimiter) && !is_line_break(quote_char);
}

namespace {

// From `from` on, the first quote, CR or LF (or n), with the delimiters
// passed added to `delimiters` and a high bit in `high` when a byte passed
// is above 0x7F: the unquoted fields of a row in one pass, the whole of a
// plain row.
size_t unquoted_stretch(const unsigned char* base, size_t n, size_t from, unsigned char delimiter,
                        unsigned char quote, size_t& delimiters, unsigned& high) noexcept {
  const simd::Block cr = simd::Block::splat(kCR);
  const simd::Block lf = simd::Block::splat(kLF);
  const simd::Block qt = simd::Block::splat(quote);
  const simd::Block dl = simd::Block::splat(delimiter);
  // Delimiters of whole blocks are counted lane by lane, of the last block
  // from its mask.
  simd::MatchCounter counted;
  size_t at = from;
  for (; n - at >= simd::kBlock; at += simd::kBlock) {
    const simd::Block v = simd::Block::load(base + at);
    const simd::Block delims = v.eq(dl);
    const unsigned stops = simd::any_of(v, cr, lf, qt).mask();
    if (stops != 0) {
      const size_t k = simd::first(stops);
      delimiters += counted.total() + simd::count_bits(simd::below(delims.mask(), k));
      high |= simd::below(v.mask(), k);
      return at + k;
    }
    counted.add(delims);
    high |= v.mask();
  }
  delimiters += counted.total();
  for (; at < n; ++at) {
    const unsigned char c = base[at];
    if (c == quote || is_line_break(c)) break;
    delimiters += c == delimiter ? 1 : 0;
    high |= c & 0x80u;
  }
  return at;
}

}  // namespace

bool scan_plain_row(std::string_view input, size_t pos, unsigned char delimiter,
                    unsigned char quote_char, PlainRow& out) noexcept {
  const auto* const base = reinterpret_cast<const unsigned char*>(input.data());
  const auto* const end = base + input.size();
  const unsigned char* const start = base + pos;
  size_t delimiters = 0;
  unsigned high = 0;  // nonzero when a byte above 0x7F was passed
  const unsigned char* const p =
      base + unquoted_stretch(base, input.size(), pos, delimiter, quote_char, delimiters, high);
  if (p < end && *p == quote_char) return false;
  // A delimiter below 0x80 never sits inside a multi-byte character, so the
  // whole line is valid exactly when each of its fields is. A delimiter from
  // 0x80 on can split one, so such lines go to the parser's per-field check.
  if (high != 0 && (delimiter >= 0x80 || !is_valid_utf8(reinterpret_cast<const char*>(start),
                                                        static_cast<size_t>(p - start)))) {
    return false;
  }
  out.end = static_cast<size_t>(p - base);
  out.fields = delimiters + 1;
  out.line_break = p < end;
  out.next = p < end ? step_over_break(base, input.size(), out.end) : input.size();
  return true;
}

namespace {

// From `from` on (inside a quoted field), the first quote that may close the
// field (or n), with the LFs passed added to `lines`; `events` is set when a
// delimiter, CR, LF or doubled quote was passed. A run of quotes of even
// length that ends inside a block is doubled quotes, text: passed in one
// step. Any other run is returned at its first quote for the caller to pair.
size_t next_quote(const unsigned char* base, size_t n, size_t from, unsigned char delimiter,
                  unsigned char quote, size_t& lines, bool& events, unsigned& high) noexcept {
  const simd::Block vq = simd::Block::splat(quote);
  const simd::Block vd = simd::Block::splat(delimiter);
  const simd::Block cr = simd::Block::splat(kCR);
  const simd::Block lf = simd::Block::splat(kLF);
  size_t at = from;
  for (; n - at >= simd::kBlock; at += simd::kBlock) {
    const simd::Block v = simd::Block::load(base + at);
    unsigned quotes = v.eq(vq).mask();
    size_t stop = simd::kBlock;  // the quote returned, as an index in the block
    while (quotes != 0) {
      const size_t k = simd::first(quotes);
      const size_t run = static_cast<size_t>(std::countr_one(quotes >> k));
      if (run % 2 != 0 || k + run == simd::kBlock) {
        stop = k;
        break;
      }
      events = true;
      quotes &= ~(((1u << run) - 1) << k);
    }
    const unsigned lfs = v.eq(lf).mask();
    const unsigned passed = stop == simd::kBlock ? 0xFFFFu : simd::below(0xFFFFu, stop);
    high |= v.mask();
    lines += simd::count_bits(lfs & passed);
    events = events || ((simd::any_of(v, vd, cr).mask() | lfs) & passed) != 0;
    if (stop != simd::kBlock) return at + stop;
  }
  for (; at < n; ++at) {
    const unsigned char c = base[at];
    high |= c & 0x80u;
    if (c == quote) break;
    lines += c == kLF ? 1 : 0;
    events = events || c == delimiter || is_line_break(c);
  }
  return at;
}

}  // namespace

bool scan_simple_row(std::string_view input, size_t pos, unsigned char delimiter,
                     unsigned char quote_char, SimpleRow& out) {
  const auto* const base = reinterpret_cast<const unsigned char*>(input.data());
  const size_t n = input.size();
  out.dropped.clear();
  out.inner_lines = 0;
  size_t delimiters = 0;  // outside quotes: each begins one more field
  unsigned high = 0;      // nonzero once a byte above 0x7F was passed (or looked at)
  size_t at = pos;        // start of the current field
  for (;;) {
    // Unquoted fields, in one stretch, up to a quote or the record's end.
    const size_t open = unquoted_stretch(base, n, at, delimiter, quote_char, delimiters, high);
    if (open >= n || base[open] != quote_char) {
      out.end = open;
      break;
    }
    // The quote must open a field: text before it in its field is not simple.
    if (open != at && base[open - 1] != delimiter) return false;
    // Its closing quote: the first one not doubled. Delimiters, line breaks
    // and doubled quotes inside keep the quotes in the output.
    bool keep_quotes = false;
    size_t close = open;
    for (;;) {
      close = next_quote(base, n, close + 1, delimiter, quote_char, out.inner_lines, keep_quotes, high);
      if (close >= n) return false;  // unclosed
      if (close + 1 >= n || base[close + 1] != quote_char) break;
      keep_quotes = true;
      ++close;  // the pair's second quote
    }
    if (!keep_quotes) {
      out.dropped.push_back(open);
      out.dropped.push_back(close);
    }
    const size_t after = close + 1;
    if (after < n && base[after] == delimiter) {
      ++delimiters;
      at = after + 1;
      continue;
    }
    if (after < n && !is_line_break(base[after])) return false;  // text after the closing quote
    out.end = after;
    break;
  }
  out.fields = delimiters + 1;
  if (high != 0 && (delimiter >= 0x80 || !is_valid_utf8(input.data() + pos, out.end - pos))) {
    return false;
  }
  out.line_break = out.end < n;
  out.next = out.line_break ? step_over_break(base, n, out.end) : n;
  return true;
}

size_t count_byte_baseline(std::string_view text, char byte) noexcept {
  const char* p = text.data();
  size_t n = text.size();
  const simd::Block b = simd::Block::splat(static_cast<unsigned char>(byte));
  simd::MatchCounter counted;
  for (; n >= simd::kBlock; n -= simd::kBlock, p += simd::kBlock) counted.add(simd::Block::load(p).eq(b));
  size_t count = counted.total();
  for (; n > 0; --n) count += *p++ == byte;
  return count;
}

}  // namespace rowvane
