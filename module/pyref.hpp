// Owning handle for one strong reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace rowvane::py {

// Move-only owner of a strong reference. Every PyObject* that module code
// keeps beyond a single expression lives in one of these, so unwinding a C++
// exception through a body releases everything it had built.
class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  // Takes over a new reference (which may be null).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Adds a reference of its own to a borrowed object (which may be null).
  static PyRef borrow(PyObject* obj) noexcept { return PyRef(Py_XNewRef(obj)); }

  PyObject* get() const noexcept { return obj_; }
  // Hands the reference to the caller; the handle is empty afterwards.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;  // owned reference, or null
};

}  // namespace rowvane::py
