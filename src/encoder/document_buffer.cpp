#include "encoder/document_buffer.h"

#include <new>

#include "common/object_layout.h"

namespace quarl {

uint8_t* BytesStorage::reallocate(uint8_t* data, size_t size, size_t capacity) {
  if (text_offset_ == 0) return heap_.reallocate(data, size, capacity);
  if (!bytes_) {
    bytes_ = PyRef::steal(new_bytes_in_place(capacity));
    if (!bytes_) throw std::bad_alloc();
    return bytes_text(text_offset_, bytes_.get());
  }
  PyObject* grown = resize_bytes_in_place(text_offset_, bytes_.get(), capacity);
  if (grown == nullptr) throw std::bad_alloc();
  (void)bytes_.release();  // moved by the reallocation
  bytes_ = PyRef::steal(grown);
  return bytes_text(text_offset_, bytes_.get());
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
  if (PyObject* shrunk = resize_bytes_in_place(text_offset_, bytes, size)) return shrunk;
  set_bytes_size(text_offset_, bytes, size);
  return bytes;
}

}  // namespace quarl
