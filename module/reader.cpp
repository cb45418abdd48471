// The RowvaneReader class: the kept rows of one file, handed out one list of
// str at a time.
#include "module/reader.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/row_store.hpp"
#include "core/utf8.hpp"
#include "core/rowvane.hpp"
#include "module/frame.hpp"
#include "module/summary.hpp"

namespace rowvane::py {

namespace {

struct PyRowvaneReader {
  PyObject_HEAD
  RowStore rows;           /* kept rows of the run, in input order */
  RunSummary run_summary;  /* counts of the run */
  size_t position;         /* index of the next row __next__ returns */
  Py_ssize_t access;       /* 0 free, n > 0 shared holders, -1 exclusive */
};

PyRowvaneReader* as_reader(PyObject* op) noexcept {
  return reinterpret_cast<PyRowvaneReader*>(op);
}

std::atomic<PyObject*> g_reader_type{nullptr};

// Shared access to a reader for the duration of a call.
class SharedAccess {
 public:
  explicit SharedAccess(PyRowvaneReader* reader) : reader_(reader) {
    if (reader_->access < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
    ++reader_->access;
  }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;
  ~SharedAccess() { --reader_->access; }

 private:
  PyRowvaneReader* reader_;  // the reader held
};

// Exclusive access to a reader while its position moves.
class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(PyRowvaneReader* reader) : reader_(reader) {
    if (reader_->access != 0) raise(PyExc_RuntimeError, "Already borrowed");
    reader_->access = -1;
  }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
  ~ExclusiveAccess() { reader_->access = 0; }

 private:
  PyRowvaneReader* reader_;  // the reader held
};

constexpr const char* kReaderParams[] = {
    "file_path",      "delimiter",        "quote_char",    "fill_ragged_rows",
    "merge_overflow", "expected_columns", "repair_quotes",
};

constexpr Signature kNewSignature = {"__new__", "RowvaneReader", kReaderParams, 7, 1};
constexpr Signature kOpenSignature = {"open", nullptr, kReaderParams, 7, 1};

constexpr const char* kExitParams[] = {"_exc_type", "_exc_val", "_exc_tb"};
constexpr Signature kExitSignature = {"__exit__", "RowvaneReader", kExitParams, 3, 0};

// What a reader keeps of its run.
struct ReaderContents {
  RowStore rows;       // kept rows
  RunSummary summary;  // counts
};

// Converts the arguments, reads the file and reconciles its rows. The file
// buffer and the quarantine records are gone when this returns.
ReaderContents load(const Signature& sig, const BoundArgs& args) {
  std::string path = convert(sig.params[0], [&] { return std::string(to_text(args[0])); });
  RunOptions options = convert_run_options(sig, args, 1);
  Expected<FileBytes, IoError> buffer = read_whole_file(path, python_interrupt_check());
  if (!buffer) raise_io_error(buffer.error());
  SliceResult result = rowvane_slice(buffer.value().view(), options);
  return ReaderContents{std::move(result.rows), result.summary};
}

PyRef new_reader(PyTypeObject* tp, ReaderContents&& contents) {
  PyRef obj = PyRef::steal(tp->tp_alloc(tp, 0));
  if (!obj) throw PyErrorRaised{};
  PyRowvaneReader* self = as_reader(obj.get());
  new (&self->rows) RowStore(std::move(contents.rows));
  new (&self->run_summary) RunSummary(contents.summary);
  self->position = 0;
  self->access = 0;
  return obj;
}

bool is_ascii(const char* data, size_t size) noexcept {
  uint64_t bits = 0;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    bits |= word;
  }
  for (; i < size; ++i) bits |= static_cast<unsigned char>(data[i]);
  return (bits & 0x8080808080808080ull) == 0;
}

// Decodes `text`, which the core has already made valid UTF-8, straight into a
// str of the right kind. The greatest lead byte tells the kind in advance
// (C2/C3: at most U+00FF; up to EF: at most U+FFFF; F0 and up: beyond), so
// the text is read twice but never widened and copied again.
PyObject* str_from_valid_utf8(std::string_view text) noexcept {
  const auto* const begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = begin + text.size();
  size_t length = 0;
  unsigned char top = 0;  // greatest lead byte
  for (const unsigned char* p = begin; p < end; ++p) {
    const unsigned char c = *p;
    length += (c & 0xC0) != 0x80;
    top = c > top ? c : top;
  }
  const Py_UCS4 maxchar = top < 0x80 ? 0x7F : top < 0xC4 ? 0xFF : top < 0xF0 ? 0xFFFF : 0x10FFFF;
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(length), maxchar);
  if (s == nullptr) return nullptr;
  auto fill = [&](auto* out) {
    for (const unsigned char* p = begin; p < end;) {
      char32_t cp;
      p += decode_valid_utf8(p, cp);
      *out++ = static_cast<std::remove_reference_t<decltype(*out)>>(cp);
    }
  };
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      fill(PyUnicode_1BYTE_DATA(s));
      break;
    case PyUnicode_2BYTE_KIND:
      fill(PyUnicode_2BYTE_DATA(s));
      break;
    default:
      fill(PyUnicode_4BYTE_DATA(s));
      break;
  }
  return s;
}

// A new str for one field of an all-ASCII row: the bytes are the characters.
inline PyObject* ascii_field_str(std::string_view field) noexcept {
  const size_t size = field.size();
  if (size == 0) return Py_GetConstant(Py_CONSTANT_EMPTY_STR);
  if (size == 1) return PyUnicode_FromOrdinal(static_cast<unsigned char>(field[0]));
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
  if (s != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(s), field.data(), size);
  return s;
}

// A new str for one field (valid UTF-8), or null with the error set.
PyObject* field_str(std::string_view field) noexcept {
  if (is_ascii(field.data(), field.size())) return ascii_field_str(field);
  return str_from_valid_utf8(field);
}

// One list per row. The row's field texts lie together in the store (with
// ASCII delimiters between them for a plain line), so one look at all of
// them tells whether every field is ASCII (most rows of
// most files): then no field is looked at again before its copy.
PyRef row_list(const RowStore& rows, size_t index) {
  size_t count = rows.field_count(index);
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(count)));
  RowStore::FieldCursor cursor = rows.fields(index);
  const std::string_view first = count == 0 ? std::string_view() : rows.fields(index).next();
  const bool ascii = is_ascii(first.data(), rows.row_span(index));
  PyObject* const target = list.get();
  for (size_t k = 0; k < count; ++k) {
    PyObject* item = ascii ? ascii_field_str(cursor.next()) : field_str(cursor.next());
    if (item == nullptr) throw PyErrorRaised{};
    PyList_SET_ITEM(target, static_cast<Py_ssize_t>(k), item);
  }
  return list;
}

PyObject* reader_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    BoundArgs bound = bind_tuple_dict(kNewSignature, args, kwargs);
    return new_reader(tp, load(kNewSignature, bound));
  });
}

PyObject* open_reader(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded([&] {
    BoundArgs bound = bind_vectorcall(kOpenSignature, args, static_cast<size_t>(nargs), kwnames);
    ReaderContents contents = load(kOpenSignature, bound);
    return new_reader(reinterpret_cast<PyTypeObject*>(reader_type()), std::move(contents));
  });
}

void reader_dealloc(PyObject* op) {
  PyTypeObject* tp = Py_TYPE(op);
  as_reader(op)->rows.~RowStore();
  tp->tp_free(op);
  Py_DECREF(tp);
}

PyObject* reader_iter(PyObject* op) {
  return guarded([&] {
    SharedAccess access(as_reader(op));
    return PyRef::borrow(op);
  });
}

PyObject* reader_next(PyObject* op) {
  return guarded([&]() -> PyRef {
    PyRowvaneReader* self = as_reader(op);
    size_t index;
    {
      ExclusiveAccess access(self);
      if (self->position >= self->rows.size()) return PyRef();
      index = self->position++;
    }
    // The rows never change after construction, so the list is built
    // without holding the reader.
    try {
      return row_list(self->rows, index);
    } catch (...) {
      // A row that could not be built (no memory for its list or a field)
      // is not consumed: once memory is freed, the next call returns it.
      // Unless another call moved on meanwhile, which then owns the position.
      if (self->access == 0 && self->position == index + 1) self->position = index;
      throw;
    }
  });
}

Py_ssize_t reader_length(PyObject* op) {
  return guarded([&] {
    SharedAccess access(as_reader(op));
    return static_cast<Py_ssize_t>(as_reader(op)->rows.size());
  });
}

PyObject* reader_get_summary(PyObject* op, void* /*closure*/) {
  return guarded([&] {
    SharedAccess access(as_reader(op));
    return make_summary_object(as_reader(op)->run_summary);
  });
}

PyObject* reader_enter(PyObject* op, PyObject* /*unused*/) {
  return guarded([&] {
    SharedAccess access(as_reader(op));
    return PyRef::borrow(op);
  });
}

PyObject* reader_exit(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    SharedAccess access(as_reader(op));
    // The three values are accepted and not looked at.
    bind_vectorcall(kExitSignature, args, static_cast<size_t>(nargs), kwnames);
    return PyRef::borrow(Py_False);
  });
}

PyGetSetDef reader_getset[] = {
    {"summary", reader_get_summary, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef reader_methods[] = {
    {"__enter__", reader_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(reader_exit)),
     METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, _exc_type=None, _exc_val=None, _exc_tb=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "RowvaneReader(file_path, delimiter=None, quote_char=\"\\\"\", "
                    "fill_ragged_rows=True, merge_overflow=True, expected_columns=None, "
                    "repair_quotes=True)\n--\n\n"
                    "In-memory streaming reader iterating over rowvaned rows.")},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
    {Py_mp_length, reinterpret_cast<void*>(reader_length)},
    {Py_tp_getset, reader_getset},
    {Py_tp_methods, reader_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {0, nullptr},
};

PyType_Spec reader_type_desc = {
    .name = "builtins.RowvaneReader",
    .basicsize = sizeof(PyRowvaneReader),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = reader_slots,
};

PyObject* new_reader_type() { return PyType_FromSpec(&reader_type_desc); }

PyMethodDef open_def = {
    "open",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(open_reader)),
    METH_FASTCALL | METH_KEYWORDS,
    "open(file_path, delimiter=None, quote_char=\"\\\"\", fill_ragged_rows=True, "
    "merge_overflow=True, expected_columns=None, repair_quotes=True)\n--\n\n"
    "Convenience function to open and stream a rowvaned CSV file.",
};

}  // namespace

PyObject* reader_type() { return create_once(g_reader_type, new_reader_type); }

PyMethodDef* open_method_def() { return &open_def; }

}  // namespace rowvane::py
