// The RowvaneReader class and the module function open.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rowvane::py {

// The RowvaneReader type object, created on first use and kept for the life
// of the process. Borrowed; throws PyErrorRaised when creation fails.
PyObject* reader_type();

// The definition of the module function open.
PyMethodDef* open_method_def();

}  // namespace rowvane::py
