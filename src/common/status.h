// The result of a native operation that can fail with a Python exception.
#pragma once

#include <Python.h>

namespace quarl {

// Failure always means a Python exception is set where the fault was found;
// the binding layer turns a failed Status into a NULL return. C++ exceptions
// never carry these errors.
class [[nodiscard]] Status {
 public:
  static constexpr Status success() noexcept { return Status(true); }
  static constexpr Status failure() noexcept { return Status(false); }
  constexpr bool ok() const noexcept { return ok_; }

 private:
  explicit constexpr Status(bool ok) noexcept : ok_(ok) {}
  bool ok_;
};

// Sets `type` with a fixed message and reports failure.
inline Status raise(PyObject* type, const char* message) noexcept {
  PyErr_SetString(type, message);
  return Status::failure();
}

// Sets `type` with a printf-style message (PyUnicode_FromFormat rules).
template <typename... Args>
Status raise_format(PyObject* type, const char* format, Args... args) noexcept {
  PyErr_Format(type, format, args...);
  return Status::failure();
}

// A failure that CPython reported without setting an exception becomes
// SystemError, so every failed Status carries an exception.
inline Status ensure_error_set() noexcept {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return Status::failure();
}

}  // namespace quarl
