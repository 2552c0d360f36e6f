#include "lib/codec.h"

#include <new>
#include <utility>

#include "format/limits.h"

namespace quarl {

Codec::Codec()
    : layout(ObjectLayout::verified()),
      payload_buffer(CODEC_BUFFER_INITIAL_CAPACITY, BytesStorage(layout.bytes_text_offset)),
      compressed_buffer(CODEC_BUFFER_INITIAL_CAPACITY),
      decompress_buffer(CODEC_BUFFER_INITIAL_CAPACITY),
      cached_none(PyRef::borrow(Py_None)),
      cached_true(PyRef::borrow(Py_True)),
      cached_false(PyRef::borrow(Py_False)) {
  for (size_t v = 0; v < cached_small_ints.size(); ++v) {
    cached_small_ints[v] = PyRef::steal(PyLong_FromSize_t(v));
    if (!cached_small_ints[v]) throw std::bad_alloc();
  }
}

// Frees memory and releases references, and allocates nothing: a destructor
// that allocated could fail where nothing can report it.
Codec::~Codec() {
  // The table and buffers go first, then the cached objects, in the order
  // they were taken. Moving the table out leaves an empty one behind without
  // allocating.
  { StringTable released = std::move(strings); }
  decisions.clear();
  spliced.clear();
  payload_buffer.release_storage();
  compressed_buffer.release_storage();
  decompress_buffer.release_storage();
  datetime_layouts = LayoutVerdicts();
  cached_none.reset();
  cached_true.reset();
  cached_false.reset();
  for (PyRef& ref : cached_small_ints) ref.reset();
}

}  // namespace quarl
