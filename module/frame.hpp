// The calling frame shared by every function, method and slot of both
// extension modules (_csv_rowvane_backend and the front end's
// csv_rowvane._core): argument binding and conversion, error raising,
// internal faults, and the single exit path that keeps C++ exceptions out of
// the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/error.hpp"
#include "core/file.hpp"
#include "core/rowvane.hpp"
#include "module/pyref.hpp"

namespace rowvane::py {

// Thrown by module code when a Python exception has been set and the entry
// point only has to return its error value.
struct PyErrorRaised {};

// An internal fault: a condition the code treats as impossible. The entry
// point turns it into PanicException carrying `what()`.
class Panic : public std::exception {
 public:
  explicit Panic(const char* message) noexcept : message_(message) {}
  const char* what() const noexcept override { return message_; }

 private:
  const char* message_;  // static text
};

// Sets `type` as the current exception with the single argument `message`
// (a new str) and throws PyErrorRaised.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// Takes over the result of a C API call that returns a new object. Null with
// MemoryError pending is the ordinary lack of memory and propagates as it
// is (PyErrorRaised). Any other null is an internal fault: the pending error
// goes to PyErr_WriteUnraisable and a Panic "PyObject pointer is null" is
// thrown.
PyRef checked(PyObject* obj);

// Takes over the result of a call that may fail with any Python exception
// (a callback of the caller's, a codec): null propagates the pending
// exception as it is (PyErrorRaised).
PyRef propagated(PyObject* obj);

// The core's interrupt check for a run started from Python: on EINTR the
// interpreter runs its signal handlers (PyErr_CheckSignals), and the run stops
// when one of them raised, its exception pending.
InterruptCheck python_interrupt_check() noexcept;

// Raises `error` as a plain OSError with its display text (rowvane_file).
// A run stopped by python_interrupt_check() propagates the handler's
// exception instead.
[[noreturn]] void raise_rowvane_error(const RowvaneError& error);
// Raises `error` as the OSError subclass its kind maps to (the reader), or,
// likewise, propagates a signal handler's exception.
[[noreturn]] void raise_io_error(const IoError& error);
// Raises a run's failure as open() would: the OSError subclass of its error
// number with `errno`, `strerror` and `filename` (the file that failed, as
// `filename` names it: the caller's spelling of error.path, or error.path
// when `filename` is null); a failure without a number as the subclass of its
// kind with its message. A signal handler's exception propagates.
[[noreturn]] void raise_run_error(const RowvaneError& error, PyObject* filename = nullptr);

// Turns the exception being handled into a pending Python exception. Only
// called from the catch clause of an entry point.
void set_error_from_current_exception() noexcept;

template <class T>
struct EntryResult {
  using type = T;
};
template <>
struct EntryResult<PyRef> {
  using type = PyObject*;
};

// Runs `body` as the whole of one entry point. A PyRef result is handed to
// the caller; any C++ exception becomes a Python exception and the entry
// point's error value (NULL or -1).
template <class F>
auto guarded(F&& body) noexcept -> typename EntryResult<std::invoke_result_t<F&>>::type {
  using R = std::invoke_result_t<F&>;
  try {
    if constexpr (std::is_same_v<R, PyRef>) {
      return body().release();
    } else {
      return body();
    }
  } catch (...) {
    set_error_from_current_exception();
    if constexpr (std::is_same_v<R, PyRef>) {
      return nullptr;
    } else {
      return static_cast<R>(-1);
    }
  }
}

// A type object created on first need and kept for the life of the process.
// When two threads race, the loser drops its object and uses the winner's.
// Returns a borrowed reference; throws PyErrorRaised when creation fails.
PyObject* create_once(std::atomic<PyObject*>& slot, PyObject* (*create)());

// ---------------------------------------------------------------------------
// Argument binding

inline constexpr size_t kMaxParams = 24;

// The parameter description of one function or method. Every parameter is
// positional-or-keyword.
struct Signature {
  const char* name;           // function or method name
  const char* owner;          // class name for a method, nullptr otherwise
  const char* const* params;  // parameter names, in order
  size_t count;               // number of parameters
  size_t required;            // leading parameters that must be given
};

// One slot per parameter after binding; an empty slot was not given.
class BoundArgs {
 public:
  // The bound value (borrowed), or nullptr when the slot is empty.
  PyObject* operator[](size_t i) const noexcept { return slots_[i].get(); }
  // The value, or nullptr when the slot is empty or holds None.
  PyObject* given(size_t i) const noexcept {
    PyObject* v = slots_[i].get();
    return v == Py_None ? nullptr : v;
  }

 private:
  friend BoundArgs bind_vectorcall(const Signature&, PyObject* const*, size_t, PyObject*);
  friend BoundArgs bind_tuple_dict(const Signature&, PyObject*, PyObject*);
  std::array<PyRef, kMaxParams> slots_;  // bound values, strong references
};

// Binds a vectorcall: `nargs` positional values, then one value per name of
// `kwnames` (which may be null).
BoundArgs bind_vectorcall(const Signature& sig, PyObject* const* args, size_t nargs,
                          PyObject* kwnames);
// Binds a tuple of positional values and a dict of keywords (or null), taking
// the keywords in the dict's iteration order.
BoundArgs bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs);

// ---------------------------------------------------------------------------
// Argument conversion

// The text rule: the UTF-8 bytes of a str, valid while `obj` lives.
std::string_view to_text(PyObject* obj);
// The count rule: a non-negative integer that fits in size_t.
size_t to_count(PyObject* obj);
// The flag rule: True, False or a numpy boolean.
bool to_flag(PyObject* obj);

// Attaches "while processing '{param}'" to the pending exception; a failure
// while doing so is discarded.
void add_param_note(const char* param) noexcept;

// Runs one conversion; a failure gets the note naming `param` and propagates.
template <class F>
auto convert(const char* param, F&& conversion) -> std::invoke_result_t<F&> {
  try {
    return conversion();
  } catch (const PyErrorRaised&) {
    add_param_note(param);
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    add_param_note(param);
    throw PyErrorRaised{};
  }
}

// Converts the six run options shared by rowvane_file and the reader, which
// occupy the slots from `first` on in this order: delimiter, quote_char,
// fill_ragged_rows, merge_overflow, expected_columns, repair_quotes.
RunOptions convert_run_options(const Signature& sig, const BoundArgs& args, size_t first);

// ---------------------------------------------------------------------------
// Results

// A new str of the character whose code point equals `byte`.
PyRef str_from_byte(unsigned char byte);
// A new str from valid UTF-8 bytes.
PyRef str_from_utf8(std::string_view text);
// A new int.
PyRef int_from_size(size_t value);

}  // namespace rowvane::py
