// Shared helpers of the fuzz targets: independent, deliberately simple
// reference versions of the small rules the core implements (UTF-8 repair,
// White_Space, blank rows, the parser state machine, the output formats), so
// the targets can compare the core against them and not only check
// invariants. Nothing here is tuned for speed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fuzzref {

// Stops the run with a message; libFuzzer saves the input that got here.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "\n*** fuzz invariant broken: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_CHECK(cond)                                                  \
  do {                                                                    \
    if (!(cond)) ::fuzzref::fail(#cond " at " __FILE__ ":" FUZZ_LINE_STR); \
  } while (0)
#define FUZZ_STR2(x) #x
#define FUZZ_STR1(x) FUZZ_STR2(x)
#define FUZZ_LINE_STR FUZZ_STR1(__LINE__)

inline void append_cp(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The text form of a delimiter or quote byte: the code point of equal value.
inline std::string byte_text(unsigned char b) {
  std::string s;
  append_cp(s, b);
  return s;
}

// Decodes `in` as UTF-8, replacing each maximal invalid subpart by U+FFFD
// (Unicode Table 3-7 well-formed sequences). Calls `on_cp` per code point.
template <class F>
void walk_utf8(std::string_view in, F&& on_cp) {
  size_t i = 0;
  const size_t n = in.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    if (c < 0x80) {
      on_cp(char32_t{c}, i, i + 1, true);
      ++i;
      continue;
    }
    int need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c == 0xE0) {
      need = 2;
      lo = 0xA0;
    } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
      need = 2;
    } else if (c == 0xED) {
      need = 2;
      hi = 0x9F;
    } else if (c == 0xF0) {
      need = 3;
      lo = 0x90;
    } else if (c >= 0xF1 && c <= 0xF3) {
      need = 3;
    } else if (c == 0xF4) {
      need = 3;
      hi = 0x8F;
    } else {
      on_cp(char32_t{0xFFFD}, i, i + 1, false);
      ++i;
      continue;
    }
    size_t j = i + 1;
    int got = 0;
    char32_t cp = c & (need == 1 ? 0x1F : need == 2 ? 0x0F : 0x07);
    while (got < need && j < n) {
      unsigned char x = static_cast<unsigned char>(in[j]);
      unsigned char l = got == 0 ? lo : 0x80;
      unsigned char h = got == 0 ? hi : 0xBF;
      if (x < l || x > h) break;
      cp = (cp << 6) | (x & 0x3F);
      ++j;
      ++got;
    }
    if (got == need) {
      on_cp(cp, i, j, true);
    } else {
      on_cp(char32_t{0xFFFD}, i, j, false);
    }
    i = j;
  }
}

inline std::string ref_repair_utf8(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  walk_utf8(in, [&](char32_t cp, size_t b, size_t e, bool ok) {
    if (ok) {
      out.append(in.substr(b, e - b));
    } else {
      append_cp(out, cp);
    }
  });
  return out;
}

inline bool ref_valid_utf8(std::string_view in) {
  bool valid = true;
  walk_utf8(in, [&](char32_t, size_t, size_t, bool ok) { valid = valid && ok; });
  return valid;
}

// The Unicode White_Space property: 25 code points.
inline bool ref_white_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 ||
         cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
         cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Blank row: one field, only White_Space in it.
inline bool ref_blank_row(const std::vector<std::string>& row) {
  if (row.size() != 1) return false;
  bool blank = true;
  walk_utf8(row[0], [&](char32_t cp, size_t, size_t, bool) { blank = blank && ref_white_space(cp); });
  return blank;
}

using Row = std::vector<std::string>;

// A literal, byte-at-a-time transcription of the row parser's rules. Slow
// (the closing-quote test rescans the line for every questionable quote),
// used only as an oracle on small inputs.
struct RefParser {
  std::string_view in;
  size_t pos = 0;
  size_t line = 1;
  bool has_escape = false;
  unsigned char escape_char = 0;
  bool repair_quotes = true;
  bool trim_leading_blanks = false;
  unsigned char delimiter = ',';
  unsigned char quote_char = '"';

  static bool blank(unsigned char c) { return c == ' ' || c == '\t'; }
  static bool brk(unsigned char c) { return c == '\r' || c == '\n'; }
  unsigned char at(size_t i) const { return static_cast<unsigned char>(in[i]); }

  // Closing-quote test for the quote at offset q. Where the delimiter is
  // itself a blank, the rules leave open whether the test passes over it as a
  // blank; the core treats it as the delimiter (as AfterQuote does), and so
  // does this transcription: only blanks that are not the delimiter are
  // passed over.
  bool skippable(unsigned char c) const { return blank(c) && c != delimiter; }
  bool closes(size_t q) const {
    const size_t n = in.size();
    size_t j = q + 1;
    while (j < n && skippable(at(j))) ++j;
    if (j >= n || at(j) == delimiter || brk(at(j))) return true;
    for (size_t k = j; k < n && !brk(at(k)); ++k) {
      if (at(k) != quote_char) continue;
      if (k + 1 >= n) return false;
      size_t m = k + 1;
      while (m < n && skippable(at(m))) ++m;
      if (m >= n || at(m) == delimiter || brk(at(m))) return false;
    }
    return true;
  }

  std::optional<Row> next() {
    const size_t n = in.size();
    if (pos >= n) return std::nullopt;
    enum { FieldStart, Unquoted, Quoted, AfterQuote } st = FieldStart;
    Row row;
    std::string buf;
    const size_t start_line = line;
    size_t lf_in_quotes = 0;
    auto finish = [&] {
      row.push_back(ref_repair_utf8(buf));
      buf.clear();
    };
    auto end_record = [&] {
      if (at(pos) == '\r') {
        ++pos;
        if (pos < n && at(pos) == '\n') ++pos;
      } else {
        ++pos;
      }
      line = start_line + lf_in_quotes + 1;
    };
    for (;;) {
      if (pos >= n) {
        // LFs inside quoted fields count at once; the end itself does not.
        line = start_line + lf_in_quotes;
        if (st == FieldStart) {
          if (row.empty()) return std::nullopt;
          row.emplace_back();
          return row;
        }
        finish();
        return row;
      }
      const unsigned char c = at(pos);
      switch (st) {
        case FieldStart:
          if (trim_leading_blanks && blank(c)) {
            ++pos;
          } else if (c == quote_char) {
            ++pos;
            st = Quoted;
          } else if (c == delimiter) {
            row.emplace_back();
            ++pos;
          } else if (brk(c)) {
            end_record();
            row.emplace_back();
            return row;
          } else {
            buf.push_back(static_cast<char>(c));
            ++pos;
            st = Unquoted;
          }
          break;
        case Unquoted:
          if (c == delimiter) {
            finish();
            ++pos;
            st = FieldStart;
          } else if (brk(c)) {
            end_record();
            finish();
            return row;
          } else {
            buf.push_back(static_cast<char>(c));
            ++pos;
          }
          break;
        case Quoted:
          if (has_escape && c == escape_char && pos + 1 < n) {
            buf.push_back(in[pos + 1]);
            pos += 2;
          } else if (c == quote_char) {
            if (pos + 1 >= n) {
              ++pos;
              st = AfterQuote;
            } else if (at(pos + 1) == quote_char) {
              buf.push_back(static_cast<char>(quote_char));
              pos += 2;
            } else if (!repair_quotes || closes(pos)) {
              ++pos;
              st = AfterQuote;
            } else {
              buf.push_back(static_cast<char>(quote_char));
              ++pos;
            }
          } else {
            if (c == '\n') ++lf_in_quotes;
            buf.push_back(static_cast<char>(c));
            ++pos;
          }
          break;
        case AfterQuote:
          if (c == delimiter) {
            finish();
            ++pos;
            st = FieldStart;
          } else if (blank(c)) {
            ++pos;
          } else if (brk(c)) {
            end_record();
            finish();
            return row;
          } else {
            buf.push_back(static_cast<char>(c));
            ++pos;
            st = Unquoted;
          }
          break;
      }
    }
  }
};

inline size_t ref_bom_offset(std::string_view in) {
  return in.size() >= 3 && in.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
}

// Replaces every occurrence of `what` in `text` by `what` twice.
inline std::string double_all(std::string_view text, std::string_view what) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    size_t k = text.find(what, i);
    if (k == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, k - i));
    out.append(what);
    out.append(what);
    i = k + what.size();
  }
  return out;
}

inline std::string join(const Row& fields, std::string_view sep) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) out.append(sep);
    out.append(fields[i]);
  }
  return out;
}

// One record of the output CSV file: RFC 4180 quoting with the run's quote
// and separator, LF terminated.
inline void append_output_record(std::string& out, const Row& row, std::string_view sep,
                                 std::string_view quote) {
  for (size_t i = 0; i < row.size(); ++i) {
    if (i) out.append(sep);
    const std::string& f = row[i];
    bool quoted = f.find(quote) != std::string::npos || f.find(sep) != std::string::npos ||
                  f.find('\n') != std::string::npos || f.find('\r') != std::string::npos;
    if (quoted) {
      out.append(quote);
      out.append(double_all(f, quote));
      out.append(quote);
    } else {
      out.append(f);
    }
  }
  out.push_back('\n');
}

inline std::string read_file_or_die(const std::string& path) {
  std::string out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) fail("cannot open a file the run should have written");
  char buf[65536];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, got);
  std::fclose(f);
  return out;
}

// The scratch directory of a target's file runs: under $FUZZ_SCRATCH_DIR,
// else /dev/shm (or /tmp), named from `prefix`; at exit the files `names`
// (each "/name") are removed from it, then the directory.
inline std::string& scratch_dir_path() {
  static std::string dir;
  return dir;
}
inline std::vector<std::string>& scratch_dir_names() {
  static std::vector<std::string> names;
  return names;
}
inline std::string make_scratch_dir(const char* prefix, std::vector<std::string> names) {
  const char* base = std::getenv("FUZZ_SCRATCH_DIR");
  if (!base || !*base) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string templ = std::string(base) + "/" + prefix + "-XXXXXX";
  if (!mkdtemp(templ.data())) fail("mkdtemp failed");
  scratch_dir_path() = templ;
  scratch_dir_names() = std::move(names);
  std::atexit([] {
    for (const std::string& name : scratch_dir_names()) unlink((scratch_dir_path() + name).c_str());
    rmdir(scratch_dir_path().c_str());
  });
  return templ;
}

inline void write_file_or_die(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) fail("cannot create the scratch input file");
  if (size && std::fwrite(data, 1, size, f) != size) fail("cannot write the scratch input file");
  std::fclose(f);
}

}  // namespace fuzzref
