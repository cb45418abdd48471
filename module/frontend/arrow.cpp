// Arrow record batches from a repaired CSV file (RFC 4180 as the runs write
// it), through the Arrow C data interface, its structs declared here as
// Arrow defines them: ArrowSchema, ArrowArray and ArrowArrayStream with their
// release callbacks. No Arrow library is needed: any consumer of the
// interface (pyarrow, polars, DuckDB) reads the batches as they are made.
//
// arrow_scan reads the file once: the header, the width (the widest row),
// and with infer_types the type each column takes (the rules of
// csv_rowvane._tables). arrow_stream then reads it again, batch_rows rows
// per record batch; the stream owns its open file, so the caller may remove
// the file once the stream exists.
#include "module/frontend/arrow.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "core/records.hpp"
#include "module/frame.hpp"

// --- The Arrow C data interface ------------------------------------------------

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

namespace rowvane::frontend {
namespace {

using namespace rowvane::py;

// --- Column types ----------------------------------------------------------------

enum class Kind : int {
  Int64,
  Float64,
  Float64Comma,  // a decimal comma
  Bool,
  Date32,
  Timestamp,     // naive
  TimestampUtc,  // every cell with a zone, converted to UTC
  String,
  LargeString,
};

// In the order a column prefers them; String and LargeString last.
constexpr Kind kInferred[] = {Kind::Int64,  Kind::Float64,   Kind::Float64Comma, Kind::Bool,
                              Kind::Date32, Kind::Timestamp, Kind::TimestampUtc};

struct KindName {
  Kind kind;
  const char* name;    // as csv_rowvane._tables names it
  const char* format;  // the C data interface's format string
};

constexpr KindName kKinds[] = {
    {Kind::Int64, "int64", "l"},
    {Kind::Float64, "float64", "g"},
    {Kind::Float64Comma, "float64 (decimal comma)", "g"},
    {Kind::Bool, "bool", "b"},
    {Kind::Date32, "date32", "tdD"},
    {Kind::Timestamp, "timestamp", "tsu:"},
    {Kind::TimestampUtc, "timestamp (UTC)", "tsu:UTC"},
    {Kind::String, "string", "u"},
    {Kind::LargeString, "large_string", "U"},
};

const KindName& kind_info(Kind k) {
  for (const KindName& n : kKinds) {
    if (n.kind == k) return n;
  }
  throw Panic("unknown column kind");
}

// --- Reading cells ----------------------------------------------------------------

bool digit(char c) { return c >= '0' && c <= '9'; }

// -?(0|[1-9][0-9]*) at s[i..]: the index after it, or npos.
size_t scan_int(std::string_view s, size_t i, bool sign_allowed = true) {
  if (sign_allowed && i < s.size() && s[i] == '-') ++i;
  if (i >= s.size() || !digit(s[i])) return std::string_view::npos;
  if (s[i] == '0') return i + 1;
  while (i < s.size() && digit(s[i])) ++i;
  return i;
}

// ([eE][+-]?[0-9]{1,3})? at s[i..]
size_t scan_exp(std::string_view s, size_t i) {
  if (i >= s.size() || (s[i] != 'e' && s[i] != 'E')) return i;
  size_t j = i + 1;
  if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
  size_t k = j;
  while (k < s.size() && digit(s[k]) && k - j < 3) ++k;
  return k == j ? std::string_view::npos : k;
}

bool read_int(std::string_view s, int64_t* out) {
  if (scan_int(s, 0) != s.size()) return false;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), *out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool finite_double(std::string_view s, double* out) {
  const auto r = std::from_chars(s.data(), s.data() + s.size(), *out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && std::isfinite(*out);
}

// -?(0|[1-9][0-9]*)?\.[0-9]+EXP | -?(0|[1-9][0-9]*)EXP, finite
bool read_float(std::string_view s, double* out) {
  size_t i = 0;
  if (i < s.size() && s[i] == '-') ++i;
  size_t j = scan_int(s, i, false);
  if (j == std::string_view::npos) j = i;  // no integer part: ".5"
  if (j < s.size() && s[j] == '.') {
    size_t k = j + 1;
    while (k < s.size() && digit(s[k])) ++k;
    if (k == j + 1) return false;
    j = k;
  } else if (j == i) {
    return false;
  }
  j = scan_exp(s, j);
  if (j != s.size()) return false;
  return finite_double(s, out);
}

// -?(0|[1-9][0-9]*),[0-9]+ | -?(0|[1-9][0-9]*)
bool read_comma_float(std::string_view s, double* out) {
  size_t j = scan_int(s, 0);
  if (j == std::string_view::npos) return false;
  if (j == s.size()) return finite_double(s, out);
  if (s[j] != ',') return false;
  size_t k = j + 1;
  while (k < s.size() && digit(s[k])) ++k;
  if (k == j + 1 || k != s.size()) return false;
  std::string dotted(s);
  dotted[j] = '.';
  return finite_double(dotted, out);
}

bool read_bool(std::string_view s, bool* out) {
  auto same = [&](std::string_view word) {
    if (s.size() != word.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
      const char c = (s[i] >= 'A' && s[i] <= 'Z') ? static_cast<char>(s[i] - 'A' + 'a') : s[i];
      if (c != word[i]) return false;
    }
    return true;
  };
  if (same("true")) {
    *out = true;
    return true;
  }
  if (same("false")) {
    *out = false;
    return true;
  }
  return false;
}

int number(std::string_view s, size_t at, size_t n) {
  int v = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (i >= s.size() || !digit(s[i])) return -1;
    v = v * 10 + (s[i] - '0');
  }
  return v;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// YYYY-MM-DD at s[0..10], a date that exists: its day number.
bool read_date_part(std::string_view s, int64_t* days) {
  if (s.size() < 10 || s[4] != '-' || s[7] != '-') return false;
  const int y = number(s, 0, 4), m = number(s, 5, 2), d = number(s, 8, 2);
  if (y < 0 || m < 1 || m > 12 || d < 1) return false;
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  const int dim = kDays[m - 1] + (m == 2 && leap ? 1 : 0);
  if (d > dim) return false;
  *days = days_from_civil(y, m, d);
  return true;
}

bool read_date(std::string_view s, int32_t* out) {
  int64_t days = 0;
  if (s.size() != 10 || !read_date_part(s, &days)) return false;
  *out = static_cast<int32_t>(days);
  return true;
}

// DATE, then [T ]HH:MM(:SS(.f{1,6})?)? and, with `zoned`, Z or [+-]HH:?MM.
// The microseconds since the epoch (UTC with a zone); `clock` says whether
// a time of day was given.
bool read_timestamp(std::string_view s, bool zoned, int64_t* out, bool* clock) {
  int64_t days = 0;
  if (!read_date_part(s, &days)) return false;
  int64_t micros = days * 86400LL * 1000000LL;
  size_t i = 10;
  *clock = false;
  if (i < s.size() && (s[i] == 'T' || s[i] == ' ')) {
    const int hh = number(s, i + 1, 2);
    if (hh < 0 || hh > 23 || i + 3 >= s.size() || s[i + 3] != ':') return false;
    const int mm = number(s, i + 4, 2);
    if (mm < 0 || mm > 59) return false;
    i += 6;
    int ss = 0;
    int64_t fraction = 0;
    if (i < s.size() && s[i] == ':') {
      ss = number(s, i + 1, 2);
      if (ss < 0 || ss > 59) return false;
      i += 3;
      if (i < s.size() && s[i] == '.') {
        size_t k = i + 1;
        while (k < s.size() && digit(s[k]) && k - i - 1 < 6) fraction = fraction * 10 + (s[k++] - '0');
        const size_t n = k - i - 1;
        if (n == 0) return false;
        for (size_t pad = n; pad < 6; ++pad) fraction *= 10;
        i = k;
      }
    }
    micros += ((hh * 60LL + mm) * 60LL + ss) * 1000000LL + fraction;
    *clock = true;
  }
  if (!zoned) {
    *out = micros;
    return i == s.size();
  }
  if (!*clock || i >= s.size()) return false;
  if (s[i] == 'Z') {
    *out = micros;
    return i + 1 == s.size();
  }
  if (s[i] != '+' && s[i] != '-') return false;
  const int sign = s[i] == '-' ? -1 : 1;
  const int oh = number(s, i + 1, 2);
  size_t j = i + 3;
  if (j < s.size() && s[j] == ':') ++j;
  const int om = number(s, j, 2);
  if (oh < 0 || om < 0 || oh > 23 || om > 59 || j + 2 != s.size()) return false;
  *out = micros - sign * (oh * 60LL + om) * 60LL * 1000000LL;
  return true;
}

int open_file(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// --- Scanning: header, width, types ----------------------------------------------

struct ColumnScan {
  unsigned open = (1u << 7) - 1;  // the inferred kinds still open, by index in kInferred
  bool seen = false;              // a non-empty cell
  bool fraction = false;          // a float cell with a fraction or an exponent
  bool comma = false;             // a decimal comma
  bool clock = false;             // a time of day
  uint64_t bytes = 0;             // the column's text, over the file

  void feed(std::string_view cell, bool decimal_comma) {
    bytes += cell.size();
    if (cell.empty()) return;
    seen = true;
    if (open == 0) return;
    int64_t i64;
    double f64;
    bool b;
    int32_t d32;
    bool has_clock = false;
    bool integer = false;  // an int64 cell also reads as both floats, without a fraction
    bool date = false;     // a date32 cell
    for (unsigned k = 0; k < 7; ++k) {
      if (!(open & (1u << k))) continue;
      bool ok = false;
      switch (kInferred[k]) {
        case Kind::Int64: ok = integer = read_int(cell, &i64); break;
        case Kind::Float64:
          if (integer) {
            ok = true;
            break;
          }
          ok = read_float(cell, &f64);
          if (ok && cell.find_first_of(".eE") != std::string_view::npos) fraction = true;
          break;
        case Kind::Float64Comma:
          if (integer) {
            ok = decimal_comma;
            break;
          }
          ok = decimal_comma && read_comma_float(cell, &f64);
          if (ok && cell.find(',') != std::string_view::npos) comma = true;
          break;
        case Kind::Bool: ok = read_bool(cell, &b); break;
        case Kind::Date32: ok = date = read_date(cell, &d32); break;
        case Kind::Timestamp:
          if (date) {  // a date alone is a naive timestamp at midnight
            ok = true;
            break;
          }
          ok = read_timestamp(cell, false, &i64, &has_clock);
          if (ok && has_clock) clock = true;
          break;
        case Kind::TimestampUtc:  // needs a time of day, which a date alone has not
          ok = !date && read_timestamp(cell, true, &i64, &has_clock);
          break;
        default: break;
      }
      if (!ok) open &= ~(1u << k);
    }
  }

  Kind kind() const {
    Kind chosen = bytes > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ? Kind::LargeString
                                                                                     : Kind::String;
    if (!seen) return chosen;
    for (unsigned k = 0; k < 7; ++k) {
      if (!(open & (1u << k))) continue;
      const Kind c = kInferred[k];
      if (c == Kind::Float64 && !fraction) continue;
      if (c == Kind::Float64Comma && !comma) continue;
      if (c == Kind::Timestamp && !clock) continue;
      return c;
    }
    return chosen;
  }
};

char byte_of(PyObject* obj, const char* what) {
  const std::string_view s = to_text(obj);
  if (s.size() != 1) raise(PyExc_ValueError, std::string(what) + " must be one ASCII character");
  return s[0];
}

[[noreturn]] void raise_open_error(int err, PyObject* path) {
  errno = err;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
  throw PyErrorRaised{};
}

constexpr const char* kScanParams[] = {"path", "delimiter", "quote_char", "header", "infer_types", "max_rows"};
constexpr Signature kScanSignature = {"arrow_scan", nullptr, kScanParams, 6, 5};

// --- Building arrays ----------------------------------------------------------------

// What an ArrowArray owns: its buffers, its children.
struct ArrayData {
  std::vector<std::shared_ptr<void>> keep;
  std::vector<const void*> buffers;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_ptrs;
};

void release_array(ArrowArray* a) {
  if (a == nullptr || a->release == nullptr) return;
  auto* d = static_cast<ArrayData*>(a->private_data);
  for (ArrowArray& child : d->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete d;
  a->release = nullptr;
}

template <class T>
const void* keep(ArrayData& d, std::vector<T>&& v) {
  if (v.capacity() == 0) v.reserve(1);  // never a null buffer
  auto p = std::make_shared<std::vector<T>>(std::move(v));
  d.keep.push_back(p);
  return p->data();
}

// The text of a string column: grown without filling it first (a vector
// would zero every byte it is about to copy over), handed to the array as
// one malloc'ed block.
class Text {
 public:
  size_t size() const noexcept { return size_; }
  void reserve(size_t n) {
    if (n <= capacity_) return;
    const size_t c = std::max({n, 2 * capacity_, size_t{64}});
    char* grown = static_cast<char*>(std::realloc(p_.get(), c));
    if (grown == nullptr) throw std::bad_alloc();
    (void)p_.release();  // realloc freed or kept it
    p_.reset(grown);
    capacity_ = c;
  }
  void append(std::string_view s) {
    if (size_ + s.size() > capacity_) reserve(size_ + s.size());
    if (!s.empty()) std::memcpy(p_.get() + size_, s.data(), s.size());
    size_ += s.size();
  }
  // The block, owned by the caller from now on (never null).
  std::shared_ptr<void> release() {
    reserve(1);
    return std::shared_ptr<void>(p_.release(), std::free);
  }

 private:
  struct Free {
    void operator()(char* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<char, Free> p_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

const void* keep(ArrayData& d, Text&& text) {
  std::shared_ptr<void> p = text.release();
  d.keep.push_back(p);
  return p.get();
}

// One column of one batch, being built.
struct ColumnBuilder {
  Kind kind;
  bool nullable;  // empty cells are null
  std::vector<uint8_t> validity;
  int64_t nulls = 0;
  int64_t length = 0;
  std::vector<int32_t> offsets32;
  std::vector<int64_t> offsets64;
  Text data;
  std::vector<int64_t> i64;
  std::vector<double> f64;
  std::vector<int32_t> i32;
  std::vector<uint8_t> bits;

  // `rows`, `text`: what the previous batch held, to reserve as much.
  ColumnBuilder(Kind k, bool null_empty, size_t rows, size_t text) : kind(k), nullable(null_empty) {
    switch (kind) {
      case Kind::String:
        offsets32.reserve(rows + 1);
        offsets32.push_back(0);
        data.reserve(text);
        break;
      case Kind::LargeString:
        offsets64.reserve(rows + 1);
        offsets64.push_back(0);
        data.reserve(text);
        break;
      case Kind::Int64:
      case Kind::Timestamp:
      case Kind::TimestampUtc: i64.reserve(rows); break;
      case Kind::Float64:
      case Kind::Float64Comma: f64.reserve(rows); break;
      case Kind::Date32: i32.reserve(rows); break;
      case Kind::Bool: break;
    }
    if (nullable) validity.reserve(rows / 8 + 1);
  }

  static void set_bit(std::vector<uint8_t>& v, int64_t i, bool on) {
    if (static_cast<size_t>(i / 8) >= v.size()) v.push_back(0);
    if (on) v[static_cast<size_t>(i / 8)] |= static_cast<uint8_t>(1u << (i % 8));
  }

  void append(std::string_view cell) {
    if (kind == Kind::String && !nullable) {  // the common case: text as it is
      data.append(cell);
      offsets32.push_back(static_cast<int32_t>(data.size()));
      ++length;
      return;
    }
    const bool is_null = nullable && cell.empty();
    if (nullable) set_bit(validity, length, !is_null);
    if (is_null) ++nulls;
    bool clock = false;
    switch (kind) {
      case Kind::String:
      case Kind::LargeString:
        data.append(cell);
        if (kind == Kind::String) {
          offsets32.push_back(static_cast<int32_t>(data.size()));
        } else {
          offsets64.push_back(static_cast<int64_t>(data.size()));
        }
        break;
      case Kind::Int64: {
        int64_t v = 0;
        if (!is_null) read_int(cell, &v);
        i64.push_back(v);
        break;
      }
      case Kind::Float64:
      case Kind::Float64Comma: {
        double v = 0;
        if (!is_null && kind == Kind::Float64) {
          read_float(cell, &v);
        } else if (!is_null) {
          read_comma_float(cell, &v);
        }
        f64.push_back(v);
        break;
      }
      case Kind::Bool: {
        bool v = false;
        if (!is_null) read_bool(cell, &v);
        set_bit(bits, length, v);
        break;
      }
      case Kind::Date32: {
        int32_t v = 0;
        if (!is_null) read_date(cell, &v);
        i32.push_back(v);
        break;
      }
      case Kind::Timestamp:
      case Kind::TimestampUtc: {
        int64_t v = 0;
        if (!is_null) read_timestamp(cell, kind == Kind::TimestampUtc, &v, &clock);
        i64.push_back(v);
        break;
      }
    }
    ++length;
  }

  // The column as a child array (moved into `out`).
  void finish(ArrowArray* out) {
    auto d = std::make_unique<ArrayData>();
    d->buffers.push_back(nulls > 0 ? keep(*d, std::move(validity)) : nullptr);
    switch (kind) {
      case Kind::String:
        d->buffers.push_back(keep(*d, std::move(offsets32)));
        d->buffers.push_back(keep(*d, std::move(data)));
        break;
      case Kind::LargeString:
        d->buffers.push_back(keep(*d, std::move(offsets64)));
        d->buffers.push_back(keep(*d, std::move(data)));
        break;
      case Kind::Int64:
      case Kind::Timestamp:
      case Kind::TimestampUtc: d->buffers.push_back(keep(*d, std::move(i64))); break;
      case Kind::Float64:
      case Kind::Float64Comma: d->buffers.push_back(keep(*d, std::move(f64))); break;
      case Kind::Bool:
        bits.resize(static_cast<size_t>((length + 7) / 8));
        d->buffers.push_back(keep(*d, std::move(bits)));
        break;
      case Kind::Date32: d->buffers.push_back(keep(*d, std::move(i32))); break;
    }
    *out = ArrowArray{};
    out->length = length;
    out->null_count = nulls;
    out->offset = 0;
    out->n_buffers = static_cast<int64_t>(d->buffers.size());
    out->n_children = 0;
    out->buffers = d->buffers.data();
    out->children = nullptr;
    out->dictionary = nullptr;
    out->release = release_array;
    out->private_data = d.release();
  }
};

// --- Schemas ----------------------------------------------------------------------

struct SchemaData {
  std::string name;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_ptrs;
};

void release_schema(ArrowSchema* s) {
  if (s == nullptr || s->release == nullptr) return;
  auto* d = static_cast<SchemaData*>(s->private_data);
  for (ArrowSchema& child : d->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete d;
  s->release = nullptr;
}

struct Columns {
  std::vector<std::string> names;
  std::vector<Kind> kinds;
};

void fill_schema(const Columns& cols, ArrowSchema* out) {
  auto d = std::make_unique<SchemaData>();
  d->children.resize(cols.names.size());
  for (size_t i = 0; i < cols.names.size(); ++i) {
    auto c = std::make_unique<SchemaData>();
    c->name = cols.names[i];
    ArrowSchema& child = d->children[i];
    child = ArrowSchema{};
    child.format = kind_info(cols.kinds[i]).format;
    child.name = c->name.c_str();
    child.metadata = nullptr;
    child.flags = ARROW_FLAG_NULLABLE;
    child.n_children = 0;
    child.children = nullptr;
    child.dictionary = nullptr;
    child.release = release_schema;
    child.private_data = c.release();
  }
  for (ArrowSchema& child : d->children) d->child_ptrs.push_back(&child);
  *out = ArrowSchema{};
  out->format = "+s";
  out->name = "";
  out->metadata = nullptr;
  out->flags = 0;
  out->n_children = static_cast<int64_t>(cols.names.size());
  out->children = d->child_ptrs.empty() ? nullptr : d->child_ptrs.data();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = d.release();
}

Columns columns_of(PyObject* names, PyObject* types) {
  if (!PyList_Check(names) || !PyList_Check(types) || PyList_GET_SIZE(names) != PyList_GET_SIZE(types)) {
    raise(PyExc_TypeError, "names and types must be lists of str of one length");
  }
  Columns cols;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
    cols.names.emplace_back(to_text(PyList_GET_ITEM(names, i)));
    const std::string_view t = to_text(PyList_GET_ITEM(types, i));
    bool found = false;
    for (const KindName& k : kKinds) {
      if (t == k.name) {
        cols.kinds.push_back(k.kind);
        found = true;
        break;
      }
    }
    if (!found) raise(PyExc_ValueError, "unknown column type: " + std::string(t));
  }
  return cols;
}

// --- The stream -----------------------------------------------------------------

struct StreamState {
  Columns cols;
  std::unique_ptr<rowvane::RecordStream> rows;
  bool skip_header;
  int64_t batch_rows;
  bool null_empty;
  std::string error;
  std::vector<size_t> text_hint;  // each column's text in the previous batch
  size_t rows_hint = 0;
};

int stream_get_schema(ArrowArrayStream* s, ArrowSchema* out) {
  auto* st = static_cast<StreamState*>(s->private_data);
  try {
    fill_schema(st->cols, out);
    return 0;
  } catch (const std::exception& e) {
    st->error = e.what();
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* s, ArrowArray* out) {
  auto* st = static_cast<StreamState*>(s->private_data);
  try {
    const size_t width = st->cols.names.size();
    std::vector<ColumnBuilder> builders;
    builders.reserve(width);
    st->text_hint.resize(width);
    for (size_t i = 0; i < width; ++i) {
      builders.emplace_back(st->cols.kinds[i], st->null_empty, st->rows_hint, st->text_hint[i]);
    }
    int64_t n = 0;
    while (n < st->batch_rows && st->rows) {
      auto more = st->rows->next();
      if (!more) {
        st->error = "read: " + more.error().display();
        return more.error().raw_os_error() != 0 ? more.error().raw_os_error() : EIO;
      }
      if (!more.value()) break;
      if (st->skip_header) {
        st->skip_header = false;
        continue;
      }
      const std::span<const std::string_view> cells = st->rows->cells();
      const size_t count = cells.size();
      if (count > width) {  // never a cell dropped silently
        st->error = "a row of " + std::to_string(count) + " cells in a table of " + std::to_string(width) +
                    " columns";
        return EINVAL;
      }
      for (size_t i = 0; i < count; ++i) builders[i].append(cells[i]);
      for (size_t i = count; i < width; ++i) builders[i].append(std::string_view());
      ++n;
    }
    st->rows_hint = static_cast<size_t>(n);
    for (size_t i = 0; i < width; ++i) st->text_hint[i] = builders[i].data.size();
    *out = ArrowArray{};
    if (n == 0) {
      st->rows.reset();  // the end: a released array
      out->release = nullptr;
      return 0;
    }
    auto d = std::make_unique<ArrayData>();
    d->children.resize(width);
    for (size_t i = 0; i < width; ++i) builders[i].finish(&d->children[i]);
    for (ArrowArray& child : d->children) d->child_ptrs.push_back(&child);
    d->buffers.push_back(nullptr);
    out->length = n;
    out->null_count = 0;
    out->offset = 0;
    out->n_buffers = 1;
    out->n_children = static_cast<int64_t>(width);
    out->buffers = d->buffers.data();
    out->children = d->child_ptrs.empty() ? nullptr : d->child_ptrs.data();
    out->dictionary = nullptr;
    out->release = release_array;
    out->private_data = d.release();
    return 0;
  } catch (const std::system_error& e) {
    st->error = e.what();
    return e.code().value() != 0 ? e.code().value() : EIO;
  } catch (const std::bad_alloc&) {
    st->error = "out of memory";
    return ENOMEM;
  } catch (const std::exception& e) {
    st->error = e.what();
    return EIO;
  }
}

const char* stream_last_error(ArrowArrayStream* s) {
  auto* st = static_cast<StreamState*>(s->private_data);
  return st->error.empty() ? nullptr : st->error.c_str();
}

void stream_release(ArrowArrayStream* s) {
  if (s == nullptr || s->release == nullptr) return;
  delete static_cast<StreamState*>(s->private_data);
  s->release = nullptr;
}

void stream_capsule_destructor(PyObject* capsule) {
  auto* s = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (s == nullptr) {
    PyErr_Clear();
    return;
  }
  if (s->release != nullptr) s->release(s);
  delete s;
}

void schema_capsule_destructor(PyObject* capsule) {
  auto* s = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (s == nullptr) {
    PyErr_Clear();
    return;
  }
  if (s->release != nullptr) s->release(s);
  delete s;
}

constexpr const char* kStreamParams[] = {"path",       "delimiter", "quote_char", "header",
                                         "batch_rows", "names",     "types",      "null_empty"};
constexpr Signature kStreamSignature = {"arrow_stream", nullptr, kStreamParams, 8, 8};
constexpr const char* kSchemaParams[] = {"names", "types"};
constexpr Signature kSchemaSignature = {"arrow_schema", nullptr, kSchemaParams, 2, 2};

}  // namespace

PyObject* arrow_scan(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const BoundArgs a = bind_tuple_dict(kScanSignature, args, kwargs);
    const std::string path(to_text(a[0]));
    const char delimiter = byte_of(a[1], "delimiter");
    const char quote = byte_of(a[2], "quote_char");
    const bool header = to_flag(a[3]);
    const bool infer = to_flag(a[4]);
    const int64_t max_rows =
        a.given(5) != nullptr ? static_cast<int64_t>(to_count(a[5])) : std::numeric_limits<int64_t>::max();
    const int fd = open_file(path);
    if (fd < 0) raise_open_error(errno, a[0]);
    std::vector<std::string> first;
    std::vector<ColumnScan> scans;
    size_t width = 0;
    int64_t rows_read = 0;
    std::string failure;
    Py_BEGIN_ALLOW_THREADS
    try {
      rowvane::RecordStream rows(fd, delimiter, quote);
      bool at_header = header;
      while (at_header || rows_read < max_rows) {
        auto more = rows.next();
        if (!more) {
          failure = "read: " + more.error().display();
          break;
        }
        if (!more.value()) break;
        const std::span<const std::string_view> cells = rows.cells();
        const size_t count = cells.size();
        if (at_header) {
          first.assign(cells.begin(), cells.end());
          width = count;
          at_header = false;
          continue;
        }
        if (count > width) width = count;
        if (scans.size() < width) scans.resize(width);
        for (size_t i = 0; i < count; ++i) {
          if (infer) {
            scans[i].feed(cells[i], delimiter == ';');
          } else {
            scans[i].bytes += cells[i].size();
          }
        }
        ++rows_read;
      }
    } catch (const std::exception& e) {
      failure = e.what();
    }
    Py_END_ALLOW_THREADS
    if (!failure.empty()) raise(PyExc_OSError, failure);
    scans.resize(width);
    PyRef header_list = checked(PyList_New(0));
    for (const std::string& f : first) {
      PyRef s = checked(PyUnicode_DecodeUTF8(f.data(), static_cast<Py_ssize_t>(f.size()), "replace"));
      if (PyList_Append(header_list.get(), s.get()) < 0) throw PyErrorRaised{};
    }
    PyRef types = checked(PyList_New(0));
    for (const ColumnScan& sc : scans) {
      const Kind k = infer ? sc.kind()
                           : (sc.bytes > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
                                  ? Kind::LargeString
                                  : Kind::String);
      PyRef s = checked(PyUnicode_FromString(kind_info(k).name));
      if (PyList_Append(types.get(), s.get()) < 0) throw PyErrorRaised{};
    }
    PyRef d = checked(PyDict_New());
    if (PyDict_SetItemString(d.get(), "header", header_list.get()) < 0 ||
        PyDict_SetItemString(d.get(), "types", types.get()) < 0) {
      throw PyErrorRaised{};
    }
    PyRef n = checked(PyLong_FromLongLong(rows_read));
    if (PyDict_SetItemString(d.get(), "rows", n.get()) < 0) throw PyErrorRaised{};
    return d;
  });
}

PyObject* arrow_stream(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const BoundArgs a = bind_tuple_dict(kStreamSignature, args, kwargs);
    const std::string path(to_text(a[0]));
    const char delimiter = byte_of(a[1], "delimiter");
    const char quote = byte_of(a[2], "quote_char");
    const bool header = to_flag(a[3]);
    const size_t batch_rows = to_count(a[4]);
    if (batch_rows == 0) raise(PyExc_ValueError, "batch_rows must be positive");
    Columns cols = columns_of(a[5], a[6]);
    const bool null_empty = to_flag(a[7]);
    const int fd = open_file(path);
    if (fd < 0) raise_open_error(errno, a[0]);
    auto st = std::make_unique<StreamState>();
    try {
      st->rows = std::make_unique<rowvane::RecordStream>(fd, delimiter, quote);
    } catch (...) {
      ::close(fd);
      throw;
    }
    st->cols = std::move(cols);
    st->skip_header = header;
    st->batch_rows = static_cast<int64_t>(batch_rows);
    st->null_empty = null_empty;
    auto stream = std::make_unique<ArrowArrayStream>();
    stream->get_schema = stream_get_schema;
    stream->get_next = stream_get_next;
    stream->get_last_error = stream_last_error;
    stream->release = stream_release;
    stream->private_data = st.release();
    PyObject* capsule = PyCapsule_New(stream.get(), "arrow_array_stream", stream_capsule_destructor);
    if (capsule == nullptr) {
      stream->release(stream.get());
      throw PyErrorRaised{};
    }
    stream.release();
    return PyRef::steal(capsule);
  });
}

PyObject* arrow_schema(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const BoundArgs a = bind_tuple_dict(kSchemaSignature, args, kwargs);
    const Columns cols = columns_of(a[0], a[1]);
    auto schema = std::make_unique<ArrowSchema>();
    fill_schema(cols, schema.get());
    PyObject* capsule = PyCapsule_New(schema.get(), "arrow_schema", schema_capsule_destructor);
    if (capsule == nullptr) {
      schema->release(schema.get());
      throw PyErrorRaised{};
    }
    schema.release();
    return PyRef::steal(capsule);
  });
}

}  // namespace rowvane::frontend
