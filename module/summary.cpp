// The RowvaneSummary class.
#include "module/summary.hpp"

#include <atomic>
#include <new>
#include <string>
#include <utility>

#include "core/utf8.hpp"
#include "module/frame.hpp"

namespace rowvane::py {

namespace {

struct PyRowvaneSummary {
  PyObject_HEAD
  size_t total_rows;               /* rows the parser returned */
  size_t rowvaned_rows;            /* rows kept (unchanged plus repaired) */
  size_t repaired_rows;            /* kept rows that were padded or merged */
  size_t quarantined_rows;         /* rows set aside */
  std::string detected_delimiter;  /* UTF-8 form of the delimiter used */
  size_t inferred_columns;         /* column count used; 0 = none enforced */
};

PyRowvaneSummary* as_summary(PyObject* op) noexcept {
  return reinterpret_cast<PyRowvaneSummary*>(op);
}

std::atomic<PyObject*> g_summary_type{nullptr};

void summary_dealloc(PyObject* op) {
  PyTypeObject* tp = Py_TYPE(op);
  as_summary(op)->detected_delimiter.~basic_string();
  tp->tp_free(op);
  Py_DECREF(tp);
}

PyObject* summary_repr(PyObject* op) {
  return guarded([&] {
    const PyRowvaneSummary* self = as_summary(op);
    std::string text = "<RowvaneSummary total_rows=";
    text += std::to_string(self->total_rows);
    text += " rowvaned_rows=";
    text += std::to_string(self->rowvaned_rows);
    text += " repaired_rows=";
    text += std::to_string(self->repaired_rows);
    text += " quarantined_rows=";
    text += std::to_string(self->quarantined_rows);
    text += " delimiter='";
    text += self->detected_delimiter;
    text += "' inferred_columns=";
    text += std::to_string(self->inferred_columns);
    text += '>';
    return str_from_utf8(text);
  });
}

PyObject* summary_to_dict(PyObject* op, PyObject* /*unused*/) {
  return guarded([&] {
    const PyRowvaneSummary* self = as_summary(op);
    PyRef dict = checked(PyDict_New());
    auto put = [&](const char* key, PyRef value) {
      PyRef name = checked(PyUnicode_FromString(key));
      if (PyDict_SetItem(dict.get(), name.get(), value.get()) < 0) throw PyErrorRaised{};
    };
    put("total_rows", int_from_size(self->total_rows));
    put("rowvaned_rows", int_from_size(self->rowvaned_rows));
    put("repaired_rows", int_from_size(self->repaired_rows));
    put("quarantined_rows", int_from_size(self->quarantined_rows));
    put("detected_delimiter", str_from_utf8(self->detected_delimiter));
    put("inferred_columns", int_from_size(self->inferred_columns));
    return dict;
  });
}

template <size_t PyRowvaneSummary::*Field>
PyObject* get_count(PyObject* op, void* /*closure*/) {
  return guarded([&] { return int_from_size(as_summary(op)->*Field); });
}

PyObject* get_detected_delimiter(PyObject* op, void* /*closure*/) {
  return guarded([&] { return str_from_utf8(as_summary(op)->detected_delimiter); });
}

PyGetSetDef summary_getset[] = {
    {"total_rows", get_count<&PyRowvaneSummary::total_rows>, nullptr, nullptr, nullptr},
    {"rowvaned_rows", get_count<&PyRowvaneSummary::rowvaned_rows>, nullptr, nullptr, nullptr},
    {"repaired_rows", get_count<&PyRowvaneSummary::repaired_rows>, nullptr, nullptr, nullptr},
    {"quarantined_rows", get_count<&PyRowvaneSummary::quarantined_rows>, nullptr, nullptr,
     nullptr},
    {"detected_delimiter", get_detected_delimiter, nullptr, nullptr, nullptr},
    {"inferred_columns", get_count<&PyRowvaneSummary::inferred_columns>, nullptr, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef summary_methods[] = {
    {"to_dict", summary_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nConverts the summary into a native Python dictionary."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot summary_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-exposed summary of a rowvane operation.")},
    {Py_tp_repr, reinterpret_cast<void*>(summary_repr)},
    {Py_tp_getset, summary_getset},
    {Py_tp_methods, summary_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(summary_dealloc)},
    {0, nullptr},
};

PyType_Spec summary_type_desc = {
    .name = "builtins.RowvaneSummary",
    .basicsize = sizeof(PyRowvaneSummary),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = summary_slots,
};

PyObject* new_summary_type() { return PyType_FromSpec(&summary_type_desc); }

}  // namespace

PyObject* summary_type() { return create_once(g_summary_type, new_summary_type); }

PyRef make_summary_object(const RunSummary& summary) {
  std::string delimiter;
  append_utf8(delimiter, summary.detected_delimiter);
  auto* tp = reinterpret_cast<PyTypeObject*>(summary_type());
  PyRef obj = PyRef::steal(tp->tp_alloc(tp, 0));
  if (!obj) throw PyErrorRaised{};
  PyRowvaneSummary* self = as_summary(obj.get());
  self->total_rows = summary.total_rows;
  self->rowvaned_rows = summary.rowvaned_rows;
  self->repaired_rows = summary.repaired_rows;
  self->quarantined_rows = summary.quarantined_rows;
  new (&self->detected_delimiter) std::string(std::move(delimiter));
  self->inferred_columns = summary.inferred_columns;
  return obj;
}

}  // namespace rowvane::py
