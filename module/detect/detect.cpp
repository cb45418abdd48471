// csv_rowvane._detect: the table repair of the csv_rowvane front end (table
// detection, the extended row repairs and the change log), over the same
// core as _csv_rowvane_backend. A small boundary of its own: every entry
// point converts its arguments, runs the core with the interpreter lock
// held, and turns core errors into OSError and C++ faults into exceptions
// through one exit path.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "core/dialect.hpp"
#include "core/error.hpp"
#include "core/file.hpp"
#include "core/rowvane.hpp"
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

void set_item(PyObject* dict, const char* key, PyRef value) {
  if (PyDict_SetItemString(dict, key, value.get()) < 0) throw Raised{};
}

PyRef size_obj(size_t v) { return check(PyLong_FromSize_t(v)); }

PyRef char_obj(unsigned char c) {
  const char ch = static_cast<char>(c);
  return check(PyUnicode_DecodeLatin1(&ch, 1, nullptr));
}

// The counts of verbose tables, and the escape the run read quoted fields with.
void add_verbose_counts(PyObject* d, const TableSummary& s) {
  set_item(d, "notes_rows", size_obj(s.notes_rows));
  set_item(d, "blank_rows_dropped", size_obj(s.blank_rows_dropped));
  set_item(d, "escape_char", check(PyUnicode_FromString(s.backslash_escape ? "\\" : "")));
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
  add_verbose_counts(d.get(), s);
  return d;
}

PyObject* repair_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    static const char* kw[] = {"input_path", "output_path", "quarantine_path", "changes_path",
                               "delimiter", "quote_char", "fill_ragged_rows", "merge_overflow",
                               "expected_columns", "repair_quotes", "drop_empty_surplus",
                               "opening_quote_as_text", "set_aside_other_tables", "keep_blank_rows", nullptr};
    PyObject *input = nullptr, *output = nullptr, *quarantine = nullptr, *changes = nullptr;
    PyObject *delimiter = nullptr, *quote = nullptr, *columns = nullptr;
    int fill = 1, merge = 1, repair = 1, surplus = 1, opening = 1, tables = 1, keep_blank = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO$OOppOppppp:repair_file", const_cast<char**>(kw),
                                     &input, &output, &quarantine, &changes, &delimiter, &quote, &fill,
                                     &merge, &columns, &repair, &surplus, &opening, &tables, &keep_blank)) {
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
    rules.keep_blank_rows = flag_arg(keep_blank);
    FileRunHooks hooks;
    hooks.interrupt = InterruptCheck{&signal_raised, nullptr};

    auto run = rowvane_table_file(input_path, output_path, quarantine_path, changes_path, options,
                                  q.has_value(), rules, hooks);
    if (!run) {
      // A signal handler that raised: its exception is already pending.
      if (is_interrupted_error(run.error().io) && PyErr_Occurred()) throw Raised{};
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

PyMethodDef methods[] = {
    {"repair_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(repair_file)),
     METH_VARARGS | METH_KEYWORDS,
     "repair_file(input_path, output_path, quarantine_path=None, changes_path=None, *, "
     "delimiter=None, quote_char=None, fill_ragged_rows=True, merge_overflow=True, "
     "expected_columns=None, repair_quotes=True, drop_empty_surplus=True, "
     "opening_quote_as_text=True, set_aside_other_tables=True, keep_blank_rows=False)\n--\n\n"
     "Detects the table of a CSV file and repairs it into output_path; returns a dict of counts\n"
     "and of what detection decided. The change log, when changes_path is given, lists every\n"
     "row changed or dropped: line, action, raw_content, written. Rows of empty cells are dropped\n"
     "unless keep_blank_rows; notes below a table of numbers are set aside."},
    {"detect", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(detect)),
     METH_VARARGS | METH_KEYWORDS,
     "detect(sample, *, delimiter=None, quote_char=None)\n--\n\n"
     "The layout detected at the start of a CSV sample (bytes): delimiter (', ' included),\n"
     "quote_char, columns, start offset and line of the header, preamble_lines, header_rows."},
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
