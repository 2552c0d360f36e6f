#include "encoder/document_buffer.h"

#include <new>

namespace quarl {
namespace {

uint8_t* text_of(PyObject* bytes, size_t text_offset) noexcept {
  return reinterpret_cast<uint8_t*>(bytes) + text_offset;
}

void set_text_size(PyObject* bytes, size_t size) noexcept {
  Py_SET_SIZE(reinterpret_cast<PyVarObject*>(bytes), static_cast<Py_ssize_t>(size));
}

}  // namespace

uint8_t* BytesStorage::reallocate(uint8_t* data, size_t size, size_t capacity) {
  if (text_offset_ == 0) return heap_.reallocate(data, size, capacity);
  if (!bytes_) {
    bytes_ = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
    if (!bytes_) {
      PyErr_Clear();
      throw std::bad_alloc();
    }
    return text_of(bytes_.get(), text_offset_);
  }
  // The text keeps room for the closing NUL of a bytes object.
  PyObject* old = bytes_.release();
  void* grown = PyObject_Realloc(old, text_offset_ + capacity + 1);
  if (grown == nullptr) {
    bytes_ = PyRef::steal(old);
    throw std::bad_alloc();
  }
  bytes_ = PyRef::steal(static_cast<PyObject*>(grown));
  set_text_size(bytes_.get(), capacity);
  return text_of(bytes_.get(), text_offset_);
}

void BytesStorage::release(uint8_t* data) noexcept {
  if (text_offset_ == 0) {
    heap_.release(data);
  } else {
    bytes_.reset();
  }
}

PyObject* BytesStorage::hand_out(size_t size) noexcept {
  if (text_offset_ == 0 || !bytes_) return nullptr;
  PyObject* bytes = bytes_.release();
  // A shrink that fails leaves the larger block, which serves as well.
  if (void* shrunk = PyObject_Realloc(bytes, text_offset_ + size + 1)) bytes = static_cast<PyObject*>(shrunk);
  set_text_size(bytes, size);
  text_of(bytes, text_offset_)[size] = 0;
  return bytes;
}

}  // namespace quarl
