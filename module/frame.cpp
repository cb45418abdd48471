// The calling frame: binding, conversions, errors and internal faults.
#include "module/frame.hpp"

#include <stdexcept>
#include <string>

namespace rowvane::py {

namespace {

constexpr const char kGenericFault[] = "internal error in the native _csv_rowvane_backend module";

// PanicException, created on first use.
std::atomic<PyObject*> g_panic_type{nullptr};

PyObject* new_panic_type() {
  return PyErr_NewExceptionWithDoc(
      "_csv_rowvane_backend.PanicException",
      "Raised when the native _csv_rowvane_backend module meets a condition it\n"
      "treats as impossible. Derived from BaseException so that `except Exception`\n"
      "does not swallow it.",
      PyExc_BaseException, nullptr);
}

// Leaves the failure to build a PanicException pending in its place. That
// failure is a lack of memory in all but name (the type and a short str are
// all there is to make), and the caller can still handle a MemoryError,
// where aborting would take the whole interpreter down.
void panic_not_raised(PyObject* pending) noexcept {
  if (!PyErr_Occurred()) PyErr_NoMemory();
  if (pending != nullptr) {
    PyObject* failure = PyErr_GetRaisedException();
    PyException_SetContext(failure, pending);  // steals `pending`
    PyErr_SetRaisedException(failure);
  }
}

void raise_panic(const char* message) noexcept {
  // An error still pending when the fault struck becomes the context of the
  // PanicException, and stays out of the way while the type is created.
  PyObject* pending = PyErr_GetRaisedException();
  PyObject* type = nullptr;
  try {
    type = create_once(g_panic_type, new_panic_type);
  } catch (...) {
    panic_not_raised(pending);
    return;
  }
  PyObject* text = PyUnicode_FromString(message);
  if (text == nullptr) {
    panic_not_raised(pending);
    return;
  }
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  if (pending != nullptr) {
    PyObject* panic = PyErr_GetRaisedException();
    PyException_SetContext(panic, pending);
    PyErr_SetRaisedException(panic);
  }
}

// Error texts come from the C library as well as from our own literals; a
// stray byte that is not UTF-8 must not turn an error into a fault.
PyRef message_str(std::string_view message) {
  return checked(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                      "replace"));
}

PyObject* io_exception_type(IoErrorKind kind) noexcept {
  switch (kind) {
    case IoErrorKind::NotFound:
      return PyExc_FileNotFoundError;
    case IoErrorKind::PermissionDenied:
      return PyExc_PermissionError;
    case IoErrorKind::AlreadyExists:
      return PyExc_FileExistsError;
    case IoErrorKind::IsADirectory:
      return PyExc_IsADirectoryError;
    case IoErrorKind::NotADirectory:
      return PyExc_NotADirectoryError;
    case IoErrorKind::Interrupted:
      return PyExc_InterruptedError;
    case IoErrorKind::WouldBlock:
      return PyExc_BlockingIOError;
    case IoErrorKind::BrokenPipe:
      return PyExc_BrokenPipeError;
    case IoErrorKind::ConnectionRefused:
      return PyExc_ConnectionRefusedError;
    case IoErrorKind::ConnectionReset:
      return PyExc_ConnectionResetError;
    case IoErrorKind::ConnectionAborted:
      return PyExc_ConnectionAbortedError;
    case IoErrorKind::TimedOut:
      return PyExc_TimeoutError;
    case IoErrorKind::OutOfMemory:
      return PyExc_MemoryError;
    case IoErrorKind::WriteZero:
    case IoErrorKind::InvalidInput:
    case IoErrorKind::Other:
      break;
  }
  return PyExc_OSError;
}

// "sniff()" or "RowvaneReader.__new__()".
std::string call_name(const Signature& sig) {
  std::string name;
  if (sig.owner != nullptr) {
    name += sig.owner;
    name += '.';
  }
  name += sig.name;
  name += "()";
  return name;
}

[[noreturn]] void too_many_positional(const Signature& sig, size_t given) {
  std::string m = call_name(sig);
  if (sig.required == sig.count) {
    m += " takes ";
    m += std::to_string(sig.count);
  } else {
    m += " takes from ";
    m += std::to_string(sig.required);
    m += " to ";
    m += std::to_string(sig.count);
  }
  m += " positional arguments but ";
  m += std::to_string(given);
  m += given == 1 ? " was given" : " were given";
  raise(PyExc_TypeError, m);
}

void bind_positional(const Signature& sig, std::array<PyRef, kMaxParams>& slots,
                     PyObject* const* args, size_t nargs) {
  if (nargs > sig.count) too_many_positional(sig, nargs);
  for (size_t i = 0; i < nargs; ++i) slots[i] = PyRef::borrow(args[i]);
}

void bind_keyword(const Signature& sig, std::array<PyRef, kMaxParams>& slots, PyObject* name,
                  PyObject* value) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 == nullptr) throw PyErrorRaised{};
  std::string_view key(utf8, static_cast<size_t>(size));
  for (size_t j = 0; j < sig.count; ++j) {
    if (key != sig.params[j]) continue;
    if (slots[j]) {
      std::string m = call_name(sig);
      m += " got multiple values for argument '";
      m += sig.params[j];
      m += '\'';
      raise(PyExc_TypeError, m);
    }
    slots[j] = PyRef::borrow(value);
    return;
  }
  std::string m = call_name(sig);
  m += " got an unexpected keyword argument '";
  m += key;
  m += '\'';
  raise(PyExc_TypeError, m);
}

void check_required(const Signature& sig, const std::array<PyRef, kMaxParams>& slots) {
  size_t missing = 0;
  for (size_t j = 0; j < sig.required; ++j) missing += slots[j] ? 0 : 1;
  if (missing == 0) return;
  std::string m = call_name(sig);
  m += " missing ";
  m += std::to_string(missing);
  m += " required positional ";
  m += missing == 1 ? "argument: " : "arguments: ";
  size_t k = 0;
  for (size_t j = 0; j < sig.required; ++j) {
    if (slots[j]) continue;
    if (k > 0) {
      if (missing > 2) m += ',';
      m += ' ';
      if (k == missing - 1) m += "and ";
    }
    m += '\'';
    m += sig.params[j];
    m += '\'';
    ++k;
  }
  raise(PyExc_TypeError, m);
}

// TypeError for an object of the wrong type under the text and flag rules.
[[noreturn]] void not_an_instance(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    std::string m = "'None' is not an instance of '";
    m += expected;
    m += '\'';
    raise(PyExc_TypeError, m);
  }
  PyRef qualname = checked(PyType_GetQualName(Py_TYPE(obj)));
  PyRef text = checked(PyUnicode_FromFormat("'%U' object is not an instance of '%s'",
                                            qualname.get(), expected));
  PyErr_SetObject(PyExc_TypeError, text.get());
  throw PyErrorRaised{};
}

bool str_equals(PyObject* s, std::string_view text) noexcept {
  return s != nullptr && PyUnicode_Check(s) &&
         PyUnicode_EqualToUTF8AndSize(s, text.data(), static_cast<Py_ssize_t>(text.size())) == 1;
}

// Whether `tp` is numpy's boolean scalar type ("numpy.bool_" or "numpy.bool").
bool is_numpy_bool_type(PyTypeObject* tp) {
  PyRef module = PyRef::steal(PyType_GetModuleName(tp));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!str_equals(module.get(), "numpy")) return false;
  PyRef name = PyRef::steal(PyType_GetName(tp));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return str_equals(name.get(), "bool_") || str_equals(name.get(), "bool");
}

}  // namespace

// ---------------------------------------------------------------------------
// Errors and faults

void raise(PyObject* type, std::string_view message) {
  PyRef text = message_str(message);
  PyErr_SetObject(type, text.get());
  throw PyErrorRaised{};
}

PyRef propagated(PyObject* obj) {
  if (obj != nullptr) return PyRef::steal(obj);
  if (!PyErr_Occurred()) throw Panic("a call failed without setting an exception");
  throw PyErrorRaised{};
}

PyRef checked(PyObject* obj) {
  if (obj != nullptr) return PyRef::steal(obj);
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw PyErrorRaised{};
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  throw Panic("PyObject pointer is null");
}

namespace {

bool python_signal_raised(void* /*context*/) { return PyErr_CheckSignals() < 0; }

// A run the interrupt check stopped has the handler's exception pending.
void propagate_interrupt(const IoError& error) {
  if (is_interrupted_error(error) && PyErr_Occurred()) throw PyErrorRaised{};
}

}  // namespace

InterruptCheck python_interrupt_check() noexcept {
  return InterruptCheck{&python_signal_raised, nullptr};
}

void raise_rowvane_error(const RowvaneError& error) {
  propagate_interrupt(error.io);
  raise(PyExc_OSError, error.display());
}

void raise_io_error(const IoError& error) {
  propagate_interrupt(error);
  raise(io_exception_type(error.kind()), error.display());
}

void raise_run_error(const RowvaneError& error, PyObject* filename) {
  propagate_interrupt(error.io);
  PyRef name = filename != nullptr ? PyRef::borrow(filename)
               : error.path.empty() ? PyRef::borrow(Py_None)
                                    : checked(PyUnicode_DecodeFSDefaultAndSize(
                                          error.path.data(), static_cast<Py_ssize_t>(error.path.size())));
  if (error.io.raw_os_error() != 0) {
    // OSError(errno, strerror, filename) is itself the subclass the number
    // maps to (FileNotFoundError for ENOENT, ...).
    PyRef text = message_str(os_error_text(error.io.raw_os_error()));
    PyRef exc = checked(PyObject_CallFunction(PyExc_OSError, "iOO", error.io.raw_os_error(), text.get(),
                                              name.get()));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw PyErrorRaised{};
  }
  PyObject* type = io_exception_type(error.io.kind());
  PyRef exc = checked(PyObject_CallOneArg(type, message_str(error.display()).get()));
  if (PyObject_SetAttrString(exc.get(), "filename", name.get()) < 0) throw PyErrorRaised{};
  PyErr_SetObject(type, exc.get());
  throw PyErrorRaised{};
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PyErrorRaised&) {
    if (!PyErr_Occurred()) raise_panic("an error was reported without a Python exception");
  } catch (const Panic& fault) {
    raise_panic(fault.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked to grow past what it can address (a row padded to
    // an absurd column count): memory the module cannot have.
    PyErr_NoMemory();
  } catch (...) {
    raise_panic(kGenericFault);
  }
}

PyObject* create_once(std::atomic<PyObject*>& slot, PyObject* (*create)()) {
  PyObject* existing = slot.load(std::memory_order_acquire);
  if (existing != nullptr) return existing;
  PyObject* made = create();
  if (made == nullptr) throw PyErrorRaised{};
  // Creating a type can run Python code and let another thread in; whoever
  // stored first wins and the other object is dropped.
  if (!slot.compare_exchange_strong(existing, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return existing;
  }
  return made;
}

// ---------------------------------------------------------------------------
// Binding

BoundArgs bind_vectorcall(const Signature& sig, PyObject* const* args, size_t nargs,
                          PyObject* kwnames) {
  BoundArgs bound;
  bind_positional(sig, bound.slots_, args, nargs);
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      bind_keyword(sig, bound.slots_, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
    }
  }
  check_required(sig, bound.slots_);
  return bound;
}

BoundArgs bind_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs) {
  BoundArgs bound;
  bind_positional(sig, bound.slots_, &PyTuple_GET_ITEM(args, 0),
                  static_cast<size_t>(PyTuple_GET_SIZE(args)));
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(sig, bound.slots_, key, value);
  }
  check_required(sig, bound.slots_);
  return bound;
}

// ---------------------------------------------------------------------------
// Conversion

std::string_view to_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) not_an_instance(obj, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) throw PyErrorRaised{};
  return {utf8, static_cast<size_t>(size)};
}

size_t to_count(PyObject* obj) {
  PyRef index;
  PyObject* number = obj;
  if (!PyLong_Check(obj)) {
    index = PyRef::steal(PyNumber_Index(obj));
    if (!index) throw PyErrorRaised{};
    number = index.get();
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(number);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorRaised{};
  if constexpr (sizeof(size_t) < sizeof(unsigned long long)) {
    if (value > static_cast<unsigned long long>(static_cast<size_t>(-1))) {
      raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
  }
  return static_cast<size_t>(value);
}

bool to_flag(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  PyTypeObject* tp = Py_TYPE(obj);
  if (!is_numpy_bool_type(tp)) not_an_instance(obj, "bool");
  auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(tp, Py_nb_bool));
  if (nb_bool == nullptr) {
    PyErr_Clear();
    PyRef text = checked(PyUnicode_FromFormat(
        "object of type '%S' does not define a '__bool__' conversion", reinterpret_cast<PyObject*>(tp)));
    PyErr_SetObject(PyExc_TypeError, text.get());
    throw PyErrorRaised{};
  }
  int truth = nb_bool(obj);
  if (truth < 0) throw PyErrorRaised{};
  return truth != 0;
}

void add_param_note(const char* param) noexcept {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  PyObject* note = nullptr;
  if (PyUnicodeWriter* writer = PyUnicodeWriter_Create(0)) {
    if (PyUnicodeWriter_WriteUTF8(writer, "while processing '", -1) < 0 ||
        PyUnicodeWriter_WriteUTF8(writer, param, -1) < 0 ||
        PyUnicodeWriter_WriteChar(writer, '\'') < 0) {
      PyUnicodeWriter_Discard(writer);
    } else {
      note = PyUnicodeWriter_Finish(writer);
    }
  }
  if (note != nullptr) {
    if (PyObject* method = PyUnicode_InternFromString("add_note")) {
      PyObject* call_args[2] = {exc, note};
      PyObject* result = PyObject_VectorcallMethod(method, call_args, 2, nullptr);
      Py_XDECREF(result);
      Py_DECREF(method);
    }
    Py_DECREF(note);
  }
  // A failure to attach the note is dropped; the original error goes on.
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
}

RunOptions convert_run_options(const Signature& sig, const BoundArgs& args, size_t first) {
  const char* const* names = sig.params + first;
  RunOptions options;
  if (PyObject* v = args.given(first)) {
    std::string_view text = convert(names[0], [&] { return to_text(v); });
    if (!text.empty()) options.delimiter = static_cast<unsigned char>(text[0]);
  }
  if (PyObject* v = args[first + 1]) {
    std::string_view text = convert(names[1], [&] { return to_text(v); });
    options.quote_char = text.empty() ? '"' : static_cast<unsigned char>(text[0]);
  }
  if (PyObject* v = args[first + 2]) {
    options.fill_ragged_rows = convert(names[2], [&] { return to_flag(v); });
  }
  if (PyObject* v = args[first + 3]) {
    options.merge_overflow = convert(names[3], [&] { return to_flag(v); });
  }
  if (PyObject* v = args.given(first + 4)) {
    options.expected_columns = convert(names[4], [&] { return to_count(v); });
  }
  if (PyObject* v = args[first + 5]) {
    options.repair_quotes = convert(names[5], [&] { return to_flag(v); });
  }
  return options;
}

// ---------------------------------------------------------------------------
// Results

PyRef str_from_byte(unsigned char byte) {
  std::string text;
  append_utf8(text, byte);
  return str_from_utf8(text);
}

PyRef str_from_utf8(std::string_view text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef int_from_size(size_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }

}  // namespace rowvane::py
