// The module function rowvane_file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rowvane::py {

// The definition of the module function rowvane_file.
PyMethodDef* rowvane_file_method_def();

}  // namespace rowvane::py
