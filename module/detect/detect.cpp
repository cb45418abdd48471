// csv_rowvane._detect: the table repair of the csv_rowvane front end (table
// detection, the extended row repairs and the change log), over the same
// core as _csv_rowvane_backend. A small boundary of its own: every entry
// point converts its arguments, runs the core with the interpreter lock
// held, and turns core errors into OSError and C++ faults into exceptions
// through one exit path.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "core/dialect.hpp"
#include "core/error.hpp"
#include "core/file.hpp"
#include "core/rowvane.hpp"
#include "core/text_input.hpp"
#include "core/utf8.hpp"
#include "module/pyref.hpp"

namespace rowvane::detect_module {
namespace {

using py::PyRef;

// A Python exception is pending; the entry point returns NULL.
struct Raised {};

PyRef check(PyObject* obj) {
  if (obj == nullptr) throw Raised{};
  return PyRef::steal(obj);
}

// Runs `body`; any C++ exception becomes a Python exception.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body().release();
  } catch (const Raised&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "internal error in csv_rowvane._detect: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "internal error in csv_rowvane._detect");
  }
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  return nullptr;
}

bool signal_raised(void*) { return PyErr_CheckSignals() < 0; }

std::string text_arg(PyObject* obj, const char* name) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be str, not %T", name, obj);
    throw Raised{};
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) throw Raised{};
  return std::string(utf8, static_cast<size_t>(size));
}

std::optional<std::string> optional_text(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return text_arg(obj, name);
}

// One ASCII character, or None.
std::optional<unsigned char> char_arg(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  std::string s = text_arg(obj, name);
  if (s.size() != 1 || static_cast<unsigned char>(s[0]) >= 0x80) {
    PyErr_Format(PyExc_ValueError, "%s must be a single ASCII character (U+0000 to U+007F)", name);
    throw Raised{};
  }
  return static_cast<unsigned char>(s[0]);
}

std::optional<size_t> count_arg(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  if (PyBool_Check(obj) || !PyLong_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s must be int or None, not %T", name, obj);
    throw Raised{};
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw Raised{};
  return static_cast<size_t>(v);
}

bool flag_arg(int value) { return value != 0; }

[[noreturn]] void raise_io(const IoError& error) {
  if (error.raw_os_error() != 0) {
    PyRef text = check(PyUnicode_DecodeLocale(os_error_text(error.raw_os_error()).c_str(), "surrogateescape"));
    PyRef exc = check(PyObject_CallFunction(PyExc_OSError, "iO", error.raw_os_error(), text.get()));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  } else {
    PyErr_SetString(PyExc_OSError, error.fixed_message() != nullptr ? error.fixed_message() : "I/O error");
  }
  throw Raised{};
}

PyRef size_obj(size_t v) { return check(PyLong_FromSize_t(v)); }

// --- Encodings ---------------------------------------------------------------
//
// The front end names an encoding as a tuple (kind, name, table): kind one of
// "utf-8", "utf-16", "utf-16-le", "utf-16-be", "utf-32", "utf-32-le",
// "utf-32-be" (decoded here), "single" (a single-byte page; `table` is a str
// of 256 characters, U+FFFF where the page leaves a byte undefined) or
// "external" (a multi-byte page, decoded by Python's codec `name`); for a
// run, "as-read" skips the decode stage (the bytes as the engine reads them).

constexpr Py_UCS4 kUndefinedInTable = 0xFFFF;

struct NamedKind {
  const char* kind;
  TextEncoding encoding;
  bool bom_names_width;
};
constexpr NamedKind kKinds[] = {
    {"utf-8", TextEncoding::Utf8, false},       {"utf-16", TextEncoding::Utf16LE, true},
    {"utf-16-le", TextEncoding::Utf16LE, false}, {"utf-16-be", TextEncoding::Utf16BE, false},
    {"utf-32", TextEncoding::Utf32LE, true},    {"utf-32-le", TextEncoding::Utf32LE, false},
    {"utf-32-be", TextEncoding::Utf32BE, false}, {"single", TextEncoding::SingleByte, false},
    {"external", TextEncoding::External, false}, {"fallback", TextEncoding::Utf8, false},
};

// A 256-character str as a byte table.
void table_arg(PyObject* obj, ByteTable& table) {
  if (!PyUnicode_Check(obj) || PyUnicode_GET_LENGTH(obj) != 256) {
    PyErr_SetString(PyExc_ValueError, "an encoding table must be a str of 256 characters");
    throw Raised{};
  }
  for (Py_ssize_t i = 0; i < 256; ++i) {
    const Py_UCS4 c = PyUnicode_ReadChar(obj, i);
    table[static_cast<size_t>(i)] =
        c == kUndefinedInTable || (c >= 0xD800 && c <= 0xDFFF) ? kUnmapped : static_cast<char32_t>(c);
  }
}

// (kind, name, table) into the encoding, its name and table.
void encoding_tuple(PyObject* obj, TextEncoding& encoding, bool& bom_names_width, std::string& name,
                    ByteTable& table) {
  PyObject *kind = nullptr, *name_obj = nullptr, *table_obj = nullptr;
  if (!PyTuple_Check(obj) || !PyArg_ParseTuple(obj, "OOO", &kind, &name_obj, &table_obj)) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "encoding must be a tuple, not %T", obj);
    throw Raised{};
  }
  const std::string k = text_arg(kind, "encoding kind");
  name = text_arg(name_obj, "encoding name");
  for (const NamedKind& nk : kKinds) {
    if (k == nk.kind) {
      encoding = nk.encoding;
      bom_names_width = nk.bom_names_width;
      if (encoding == TextEncoding::SingleByte || k == "fallback") table_arg(table_obj, table);
      return;
    }
  }
  PyErr_Format(PyExc_ValueError, "unknown encoding kind %R", kind);
  throw Raised{};
}

DecodeErrors errors_arg(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return DecodeErrors::Replace;
  const std::string e = text_arg(obj, "encoding_errors");
  if (e == "replace") return DecodeErrors::Replace;
  if (e == "strict") return DecodeErrors::Strict;
  if (e == "quarantine") return DecodeErrors::Quarantine;
  PyErr_Format(PyExc_ValueError, "encoding_errors must be 'replace', 'strict' or 'quarantine', not %R", obj);
  throw Raised{};
}

// Asks the front end's detector to name the page of an input the bytes
// alone do not decide: chooser(sample, high_bytes, mixed) -> (kind, name, table).
bool choose_page(void* context, const Utf8Census& census, bool mixed, PageChoice& out) noexcept {
  try {
    PyObject* chooser = static_cast<PyObject*>(context);
    char high[128];
    for (size_t i = 0; i < 128; ++i) high[i] = census.high_bytes[i] ? 1 : 0;
    PyRef sample = check(PyBytes_FromStringAndSize(census.sample.data(), static_cast<Py_ssize_t>(census.sample.size())));
    PyRef present = check(PyBytes_FromStringAndSize(high, 128));
    PyRef answer = check(PyObject_CallFunction(chooser, "OOO", sample.get(), present.get(), mixed ? Py_True : Py_False));
    bool bom_names_width = false;
    encoding_tuple(answer.get(), out.encoding, bom_names_width, out.name, out.table);
    if (out.encoding != TextEncoding::SingleByte && out.encoding != TextEncoding::External &&
        out.encoding != TextEncoding::Utf8) {
      PyErr_SetString(PyExc_ValueError, "the page chooser must name a single-byte, external or fallback page");
      return false;
    }
    return true;
  } catch (const Raised&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return false;
}

// Python's codec `name` over the whole input, in pieces that end at a line
// feed (no multi-byte page uses 0x0A inside a character). A piece that
// fails is decoded again up to the undecodable stretch, which becomes
// U+FFFD with a mark (or stops a strict decode): at most twice the work.
DecodeStatus decode_external(void*, const std::string& name, std::string_view input, DecodeErrors errors,
                             DecodedText& out) noexcept {
  try {
    constexpr size_t kPiece = size_t{1} << 20;
    // The multi-byte pages take at most three UTF-8 bytes per input byte (a
    // two-byte character of the BMP, or U+FFFD for one undecodable byte):
    // one buffer of that size, grown only for a codec that writes more.
    struct Text {
      FileBytes& bytes;
      size_t capacity;
      void append(const char* p, size_t n) {
        if (bytes.size + n > capacity) {
          const size_t want = std::max(bytes.size + n, capacity + capacity / 2);
          std::unique_ptr<char[]> grown(new char[want]);
          if (bytes.size > 0) std::memcpy(grown.get(), bytes.data.get(), bytes.size);
          bytes.data = std::move(grown);
          capacity = want;
        }
        if (n > 0) std::memcpy(bytes.data.get() + bytes.size, p, n);
        bytes.size += n;
      }
      size_t size() const { return bytes.size; }
      size_t lines() const {
        return static_cast<size_t>(std::count(bytes.data.get(), bytes.data.get() + bytes.size, '\n'));
      }
    };
    out.bytes.size = 0;
    out.bytes.data.reset(new char[3 * input.size() + 16]);
    Text text{out.bytes, 3 * input.size() + 16};
    size_t pos = 0;
    while (pos < input.size()) {
      size_t end = std::min(input.size(), pos + kPiece);
      if (end < input.size()) {
        // Only within the piece: a search that ran on past `pos` would make
        // a file without line feeds quadratic.
        const size_t nl = input.substr(pos, end - pos).rfind('\n');
        if (nl != std::string_view::npos) end = pos + nl + 1;
      }
      // Decode [pos, end); on failure decode the part before the bad bytes.
      size_t at = pos;
      while (at < end) {
        PyObject* str = PyUnicode_Decode(input.data() + at, static_cast<Py_ssize_t>(end - at), name.c_str(), "strict");
        size_t good = end - at, bad = 0;
        if (str == nullptr) {
          if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return DecodeStatus::Aborted;
          PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
          PyErr_Fetch(&type, &value, &tb);
          PyErr_NormalizeException(&type, &value, &tb);
          PyRef t = PyRef::steal(type), v = PyRef::steal(value), b = PyRef::steal(tb);
          Py_ssize_t start = 0, stop = 0;
          if (v.get() == nullptr || PyUnicodeDecodeError_GetStart(v.get(), &start) < 0 ||
              PyUnicodeDecodeError_GetEnd(v.get(), &stop) < 0) {
            return DecodeStatus::Aborted;
          }
          good = static_cast<size_t>(start);
          bad = std::max<size_t>(1, static_cast<size_t>(stop - start));
          bad = std::min(bad, end - at - good);
          if (good > 0) {
            str = PyUnicode_Decode(input.data() + at, static_cast<Py_ssize_t>(good), name.c_str(), "strict");
            if (str == nullptr) {
              // A stateful page whose prefix alone does not decode: the
              // whole rest of the piece counts as undecodable from here.
              PyErr_Clear();
              bad = end - at;
              good = 0;
            }
          }
        }
        if (str != nullptr) {
          PyRef owned = PyRef::steal(str);
          Py_ssize_t n = 0;
          const char* utf8 = PyUnicode_AsUTF8AndSize(str, &n);
          if (utf8 == nullptr) {
            // Surrogates from a lenient codec: written as U+FFFD.
            PyErr_Clear();
            PyRef bytes = check(PyUnicode_AsEncodedString(str, "utf-8", "replace"));
            text.append(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
          } else {
            text.append(utf8, static_cast<size_t>(n));
          }
        }
        at += good;
        if (bad > 0) {
          if (errors == DecodeErrors::Strict) {
            out.stats.error_offset = at;
            out.stats.error_length = bad;
            out.stats.error_line = text.lines() + 1;
            return DecodeStatus::Undecodable;
          }
          out.marks.push_back(DecodeMark{text.size(), MarkKind::Replaced});
          text.append("\xEF\xBF\xBD", 3);  // U+FFFD
          out.stats.replaced_bytes += bad;
          at += bad;
        }
      }
      pos = end;
    }
    return DecodeStatus::Ok;
  } catch (const Raised&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return DecodeStatus::Aborted;
}

// The encoding options of a run: `encoding` None (decided from the bytes)
// or a tuple as above; `chooser` a callable or None.
InputEncoding input_encoding(PyObject* encoding, PyObject* errors, PyObject* chooser) {
  InputEncoding how;
  how.errors = errors_arg(errors);
  if (encoding != nullptr && encoding != Py_None) {
    how.given = true;
    encoding_tuple(encoding, how.encoding, how.bom_names_width, how.name, how.table);
  }
  if (chooser != nullptr && chooser != Py_None) {
    if (!PyCallable_Check(chooser)) {
      PyErr_Format(PyExc_TypeError, "page_chooser must be callable, not %T", chooser);
      throw Raised{};
    }
    how.chooser = PageChooser{&choose_page, chooser};
  }
  how.external = ExternalDecoder{&decode_external, nullptr};
  return how;
}

// A strict decode stopped: UnicodeDecodeError(encoding, the bytes, 0, n,
// "undecodable at line L, byte offset O").
[[noreturn]] void raise_undecodable(const UndecodableText& u) {
  const std::string reason =
      "undecodable at line " + std::to_string(u.line) + ", byte offset " + std::to_string(u.offset);
  PyRef exc = check(PyUnicodeDecodeError_Create(u.encoding.c_str(), u.bytes.data(),
                                                static_cast<Py_ssize_t>(u.bytes.size()), 0,
                                                static_cast<Py_ssize_t>(u.bytes.size()), reason.c_str()));
  // Where, as numbers: the front end names the file beside them.
  if (PyObject_SetAttrString(exc.get(), "line", size_obj(u.line).get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "offset", size_obj(u.offset).get()) < 0) {
    throw Raised{};
  }
  PyErr_SetObject(PyExc_UnicodeDecodeError, exc.get());
  throw Raised{};
}

void set_item(PyObject* dict, const char* key, PyRef value) {
  if (PyDict_SetItemString(dict, key, value.get()) < 0) throw Raised{};
}


PyRef char_obj(unsigned char c) {
  const char ch = static_cast<char>(c);
  return check(PyUnicode_DecodeLatin1(&ch, 1, nullptr));
}

PyRef summary_dict(const TableSummary& s) {
  PyRef d = check(PyDict_New());
  const unsigned char delimiter = static_cast<unsigned char>(s.run.detected_delimiter);
  set_item(d.get(), "total_rows", size_obj(s.run.total_rows));
  set_item(d.get(), "rowvaned_rows", size_obj(s.run.rowvaned_rows));
  set_item(d.get(), "repaired_rows", size_obj(s.run.repaired_rows));
  set_item(d.get(), "quarantined_rows", size_obj(s.run.quarantined_rows));
  // ", " when blanks after each delimiter were dropped; the output uses ",".
  set_item(d.get(), "detected_delimiter",
           s.blank_after_delimiter ? check(PyUnicode_FromString(", ")) : char_obj(delimiter));
  set_item(d.get(), "inferred_columns", size_obj(s.run.inferred_columns));
  set_item(d.get(), "output_delimiter", char_obj(delimiter));
  set_item(d.get(), "output_quote_char", char_obj(s.quote_char));
  set_item(d.get(), "skipped_preamble_lines", size_obj(s.preamble_lines));
  set_item(d.get(), "header_rows_joined", size_obj(s.header_rows_joined));
  set_item(d.get(), "repeated_headers_dropped", size_obj(s.repeated_headers));
  set_item(d.get(), "padded_rows", size_obj(s.padded_rows));
  set_item(d.get(), "merged_rows", size_obj(s.merged_rows));
  set_item(d.get(), "dropped_empty_surplus_rows", size_obj(s.empty_surplus_rows));
  set_item(d.get(), "opening_quote_rows", size_obj(s.opening_quote_rows));
  set_item(d.get(), "tables_found", size_obj(s.tables_found));
  set_item(d.get(), "second_table_rows", size_obj(s.other_table_rows));
  set_item(d.get(), "encoding", check(PyUnicode_FromString(s.encoding.c_str())));
  set_item(d.get(), "encoding_source", check(PyUnicode_FromString(encoding_source_name(s.encoding_source))));
  set_item(d.get(), "fallback_encoding",
           s.fallback_encoding.empty() ? PyRef::borrow(Py_None) : check(PyUnicode_FromString(s.fallback_encoding.c_str())));
  set_item(d.get(), "fallback_decoded_rows", size_obj(s.fallback_rows));
  set_item(d.get(), "replaced_bytes", size_obj(s.replaced_bytes));
  set_item(d.get(), "replaced_rows", size_obj(s.replaced_rows));
  set_item(d.get(), "undecodable_rows", size_obj(s.undecodable_rows));
  set_item(d.get(), "stray_bom", PyRef::borrow(s.stray_bom ? Py_True : Py_False));
  return d;
}

PyObject* repair_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    static const char* kw[] = {"input_path", "output_path", "quarantine_path", "changes_path",
                               "delimiter", "quote_char", "fill_ragged_rows", "merge_overflow",
                               "expected_columns", "repair_quotes", "drop_empty_surplus",
                               "opening_quote_as_text", "set_aside_other_tables", "encoding",
                               "encoding_errors", "page_chooser", "output_bom", nullptr};
    PyObject *input = nullptr, *output = nullptr, *quarantine = nullptr, *changes = nullptr;
    PyObject *delimiter = nullptr, *quote = nullptr, *columns = nullptr;
    PyObject *encoding = nullptr, *errors = nullptr, *chooser = nullptr;
    int fill = 1, merge = 1, repair = 1, surplus = 1, opening = 1, tables = 1, bom = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO$OOppOppppOOOp:repair_file", const_cast<char**>(kw),
                                     &input, &output, &quarantine, &changes, &delimiter, &quote, &fill,
                                     &merge, &columns, &repair, &surplus, &opening, &tables, &encoding,
                                     &errors, &chooser, &bom)) {
      throw Raised{};
    }
    const std::string input_path = text_arg(input, "input_path");
    const std::string output_path = text_arg(output, "output_path");
    const std::optional<std::string> quarantine_path = optional_text(quarantine, "quarantine_path");
    const std::optional<std::string> changes_path = optional_text(changes, "changes_path");
    RunOptions options;
    options.delimiter = char_arg(delimiter, "delimiter");
    const std::optional<unsigned char> q = char_arg(quote, "quote_char");
    options.quote_char = q ? *q : '"';
    options.expected_columns = count_arg(columns, "expected_columns");
    options.fill_ragged_rows = flag_arg(fill);
    options.merge_overflow = flag_arg(merge);
    options.repair_quotes = flag_arg(repair);
    TableRules rules;
    rules.drop_empty_surplus = flag_arg(surplus);
    rules.opening_quote_as_text = flag_arg(opening);
    rules.set_aside_other_tables = flag_arg(tables);
    FileRunHooks hooks;
    hooks.interrupt = InterruptCheck{&signal_raised, nullptr};
    // ("as-read", ...) passes the bytes to the parser as they were read,
    // with no decode stage: the engine's own reading of UTF-8.
    const bool as_read = encoding != nullptr && PyTuple_Check(encoding) && PyTuple_GET_SIZE(encoding) > 0 &&
                         PyUnicode_Check(PyTuple_GET_ITEM(encoding, 0)) &&
                         PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(encoding, 0), "as-read") == 0;
    TextOptions text;
    if (!as_read) text.input = input_encoding(encoding, errors, chooser);
    text.output_bom = flag_arg(bom);

    auto run = as_read ? rowvane_table_file(input_path, output_path, quarantine_path, changes_path, options,
                                            q.has_value(), rules, hooks)
                       : rowvane_table_file(input_path, output_path, quarantine_path, changes_path, options,
                                            q.has_value(), rules, hooks, text);
    if (!run) {
      // A signal handler that raised, or the detector or a codec failed:
      // its exception is already pending.
      if (PyErr_Occurred()) throw Raised{};
      if (run.error().undecodable) raise_undecodable(*run.error().undecodable);
      raise_io(run.error().io);
    }
    return summary_dict(run.value());
  });
}

PyObject* detect(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    static const char* kw[] = {"sample", "delimiter", "quote_char", nullptr};
    Py_buffer view{};
    PyObject *delimiter = nullptr, *quote = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|$OO:detect", const_cast<char**>(kw), &view,
                                     &delimiter, &quote)) {
      throw Raised{};
    }
    struct Release {
      Py_buffer* v;
      ~Release() { PyBuffer_Release(v); }
    } release{&view};
    DetectOptions options;
    options.delimiter = char_arg(delimiter, "delimiter");
    options.quote_char = char_arg(quote, "quote_char");
    const TableLayout l = detect_table(
        std::string_view(static_cast<const char*>(view.buf), static_cast<size_t>(view.len)), options);
    PyRef d = check(PyDict_New());
    set_item(d.get(), "delimiter",
             l.blank_after_delimiter ? check(PyUnicode_FromString(", ")) : char_obj(l.delimiter));
    set_item(d.get(), "quote_char", char_obj(l.quote_char));
    set_item(d.get(), "columns", size_obj(l.columns));
    set_item(d.get(), "start", size_obj(l.start));
    set_item(d.get(), "start_line", size_obj(l.start_line));
    set_item(d.get(), "preamble_lines", size_obj(l.preamble.size()));
    set_item(d.get(), "header_rows", size_obj(l.has_header ? l.header_rows : 0));
    return d;
  });
}

// The decode stage alone: the text of a file as UTF-8, and what was decided.
PyObject* decode_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    static const char* kw[] = {"path", "encoding", "encoding_errors", "page_chooser", nullptr};
    PyObject *path = nullptr, *encoding = nullptr, *errors = nullptr, *chooser = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:decode_file", const_cast<char**>(kw), &path,
                                     &encoding, &errors, &chooser)) {
      throw Raised{};
    }
    const std::string input_path = text_arg(path, "path");
    const InputEncoding how = input_encoding(encoding, errors, chooser);
    auto bytes = read_whole_file(input_path, InterruptCheck{&signal_raised, nullptr});
    if (!bytes) {
      if (PyErr_Occurred()) throw Raised{};
      raise_io(bytes.error());
    }
    TextInput text;
    switch (prepare_text(std::move(bytes.value()), how, text)) {
      case TextInputStatus::Ok: break;
      case TextInputStatus::Undecodable:
        raise_undecodable(UndecodableText{text.encoding, text.stats.error_offset, text.stats.error_line,
                                          text.error_bytes});
      case TextInputStatus::Failed:
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_OSError, kDecodeFailedMessage);
        throw Raised{};
    }
    PyRef d = check(PyDict_New());
    set_item(d.get(), "encoding", check(PyUnicode_FromString(text.encoding.c_str())));
    set_item(d.get(), "encoding_source", check(PyUnicode_FromString(encoding_source_name(text.source))));
    set_item(d.get(), "fallback_encoding",
             text.fallback.empty() ? PyRef::borrow(Py_None) : check(PyUnicode_FromString(text.fallback.c_str())));
    set_item(d.get(), "replaced_bytes", size_obj(text.stats.replaced_bytes));
    set_item(d.get(), "fallback_bytes", size_obj(text.stats.fallback_bytes));
    set_item(d.get(), "stray_bom", PyRef::borrow(text.stray_bom ? Py_True : Py_False));
    // The text itself only when decoding changed it: valid UTF-8 is the file.
    set_item(d.get(), "text",
             text.decoded ? check(PyBytes_FromStringAndSize(text.text.data.get(), static_cast<Py_ssize_t>(text.text.size)))
                          : PyRef::borrow(Py_None));
    return d;
  });
}

PyMethodDef methods[] = {
    {"repair_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(repair_file)),
     METH_VARARGS | METH_KEYWORDS,
     "repair_file(input_path, output_path, quarantine_path=None, changes_path=None, *, "
     "delimiter=None, quote_char=None, fill_ragged_rows=True, merge_overflow=True, "
     "expected_columns=None, repair_quotes=True, drop_empty_surplus=True, "
     "opening_quote_as_text=True, set_aside_other_tables=True, encoding=None, "
     "encoding_errors='replace', page_chooser=None, output_bom=False)\n--\n\n"
     "Detects the table of a CSV file and repairs it into output_path; returns a dict of counts\n"
     "and of what detection decided. The change log, when changes_path is given, lists every\n"
     "row changed or dropped: line, action, raw_content, written."},
    {"detect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(detect)),
     METH_VARARGS | METH_KEYWORDS,
     "detect(sample, *, delimiter=None, quote_char=None)\n--\n\n"
     "The layout detected at the start of a CSV sample (bytes): delimiter (', ' included),\n"
     "quote_char, columns, start offset and line of the header, preamble_lines, header_rows."},
    {"decode_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(decode_file)),
     METH_VARARGS | METH_KEYWORDS,
     "decode_file(path, *, encoding=None, encoding_errors='replace', page_chooser=None)\n--\n\n"
     "The decode stage of a run alone: a dict of what was decided (encoding, encoding_source,\n"
     "fallback_encoding, replaced_bytes, fallback_bytes, stray_bom) and `text`, the file's text\n"
     "as UTF-8 bytes, or None when the file is valid UTF-8 as it is."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "csv_rowvane._detect",
    "Table detection and the extended table repair of the csv_rowvane front end.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace rowvane::detect_module

PyMODINIT_FUNC PyInit__detect() { return PyModuleDef_Init(&rowvane::detect_module::module_def); }
