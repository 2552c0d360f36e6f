// Owned references to Python objects.
#pragma once

#include <Python.h>

#include <utility>

namespace quarl {

// A move-only owner of one strong reference. Nothing else in the module calls
// Py_DECREF by hand: a reference that must outlive a scope is moved or
// handed out with release().
class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.obj_, nullptr));
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  // Takes over a new reference (which may be null after a failed call).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  // A new reference for the caller; this handle keeps its own.
  [[nodiscard]] PyObject* new_reference() const noexcept {
    Py_XINCREF(obj_);
    return obj_;
  }
  void reset(PyObject* obj = nullptr) noexcept {
    PyObject* old = std::exchange(obj_, obj);
    Py_XDECREF(old);
  }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace quarl
