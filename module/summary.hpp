// The RowvaneSummary class: a read-only Python view of one RunSummary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/rowvane.hpp"
#include "module/pyref.hpp"

namespace rowvane::py {

// The RowvaneSummary type object, created on first use and kept for the life
// of the process. Borrowed; throws PyErrorRaised when creation fails.
PyObject* summary_type();

// A new RowvaneSummary holding a copy of `summary`. Throws PyErrorRaised
// (normally MemoryError) when the instance cannot be allocated.
PyRef make_summary_object(const RunSummary& summary);

}  // namespace rowvane::py
