// The _csv_rowvane_backend module: its definition, execution slot and sniff.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "core/heuristics.hpp"
#include "module/frame.hpp"
#include "module/reader.hpp"
#include "module/rowvane_file.hpp"
#include "module/summary.hpp"

namespace rowvane::py {

namespace {

constexpr const char kVersion[] = "0.2.0";

constexpr const char kModuleDoc[] =
    "High-performance, fault-tolerant CSV rowvane and reconstruction engine.\n"
    "\n"
    "Rescues corrupted, broken, and malformed CSV files where strict parsers\n"
    "(Polars, DuckDB, Pandas) abort with ParserError.";

constexpr const char* kPublicNames[] = {
    "rowvane_file", "sniff", "open", "RowvaneSummary", "RowvaneReader",
};

constexpr const char* kSniffParams[] = {"sample"};
constexpr Signature kSniffSignature = {"sniff", nullptr, kSniffParams, 1, 1};

PyObject* sniff_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded([&] {
    BoundArgs bound = bind_vectorcall(kSniffSignature, args, static_cast<size_t>(nargs), kwnames);
    std::string_view sample = convert(kSniffParams[0], [&] { return to_text(bound[0]); });
    return str_from_byte(sniff_delimiter(sample));
  });
}

PyMethodDef sniff_def = {
    "sniff",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(sniff_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "sniff(sample)\n--\n\nDetects the most likely delimiter from a CSV string sample.",
};

void set_attr(PyObject* module, const char* name, PyObject* value) {
  PyRef key = checked(PyUnicode_FromString(name));
  if (PyObject_SetAttr(module, key.get(), value) < 0) throw PyErrorRaised{};
}

void add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  PyRef function = checked(PyCMethod_New(def, module, module_name, nullptr));
  PyRef name = checked(PyObject_GetAttrString(function.get(), "__name__"));
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw PyErrorRaised{};
}

int exec_module(PyObject* module) {
  return guarded([&] {
    set_attr(module, "__version__", str_from_utf8(kVersion).get());
    set_attr(module, "__doc__", str_from_utf8(kModuleDoc).get());

    PyRef all = checked(PyList_New(0));
    for (const char* name : kPublicNames) {
      PyRef item = checked(PyUnicode_FromString(name));
      if (PyList_Append(all.get(), item.get()) < 0) throw PyErrorRaised{};
    }
    set_attr(module, "__all__", all.get());

    PyRef module_name = checked(PyModule_GetNameObject(module));
    add_function(module, module_name.get(), rowvane_file_method_def());
    add_function(module, module_name.get(), &sniff_def);
    add_function(module, module_name.get(), open_method_def());

    set_attr(module, "RowvaneSummary", summary_type());
    set_attr(module, "RowvaneReader", reader_type());
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_csv_rowvane_backend",
    .m_doc = "The native _csv_rowvane_backend Python module.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace rowvane::py

PyMODINIT_FUNC PyInit__csv_rowvane_backend(void) {
  return PyModuleDef_Init(&rowvane::py::module_def);
}
