// Arrow streams of a repaired CSV file, through the Arrow C data interface:
// the columns of the file (their names and the type every cell reads as),
// and a stream of record batches over it, handed to Python as PyCapsules.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rowvane::frontend {

// arrow_scan(path, delimiter, quote_char, header, infer_types) -> dict
PyObject* arrow_scan(PyObject*, PyObject* args, PyObject* kwargs);
// arrow_stream(path, delimiter, quote_char, header, batch_rows, names, types) -> capsule
PyObject* arrow_stream(PyObject*, PyObject* args, PyObject* kwargs);
// arrow_schema(names, types) -> capsule
PyObject* arrow_schema(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace rowvane::frontend
