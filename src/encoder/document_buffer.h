// The storage of the buffer a document is written into.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "common/pyref.h"
#include "format/byte_buffer.h"

namespace quarl {

// The document is written into the text of a bytes object of the codec's
// own, so that a large document becomes the returned bytes as it stands,
// shrunk to its size, instead of being copied out (which would hold it in
// memory twice). Growing and shrinking reallocate the object while the codec
// holds its only reference (common/object_layout.h); where the layout check
// found no text offset, or the safe paths are forced, the storage is plain
// heap storage and the document is copied out.
class BytesStorage {
 public:
  explicit BytesStorage(size_t text_offset = 0) noexcept : text_offset_(text_offset) {}

  uint8_t* reallocate(uint8_t* data, size_t size, size_t capacity);
  void release(uint8_t* data) noexcept;
  // The bytes object holding the first `size` bytes of the buffer, shrunk to
  // them; the storage is empty afterwards and the buffer must forget it.
  // Null, with nothing changed, for plain heap storage.
  PyObject* hand_out(size_t size) noexcept;

 private:
  size_t text_offset_;  // 0: plain heap storage
  PyRef bytes_;
  MallocStorage heap_;
};

using DocumentBuffer = BasicByteBuffer<BytesStorage>;

}  // namespace quarl
