// An owned buffer export (PEP 3118).
#pragma once

#include <Python.h>

#include <utility>

namespace quarl {

// Holds an exported buffer until destroyed. While the export lives, the
// exporter keeps the memory where it is: a bytearray or an ndarray refuses
// to resize. Release needs the GIL, like every other reference.
class BufferView {
 public:
  BufferView() noexcept = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  BufferView(BufferView&& other) noexcept
      : view_(other.view_), acquired_(std::exchange(other.acquired_, false)) {}
  BufferView& operator=(BufferView&& other) noexcept {
    if (this != &other) {
      release();
      view_ = other.view_;
      acquired_ = std::exchange(other.acquired_, false);
    }
    return *this;
  }
  ~BufferView() { release(); }

  // Exports `obj` with shape, strides and format; false, with the
  // exporter's error set, when it cannot export such a buffer.
  bool acquire(PyObject* obj) {
    release();
    acquired_ = PyObject_GetBuffer(obj, &view_, PyBUF_STRIDES | PyBUF_FORMAT) == 0;
    return acquired_;
  }
  const Py_buffer& get() const noexcept { return view_; }

 private:
  void release() noexcept {
    if (std::exchange(acquired_, false)) PyBuffer_Release(&view_);
  }

  Py_buffer view_{};
  bool acquired_ = false;
};

}  // namespace quarl
