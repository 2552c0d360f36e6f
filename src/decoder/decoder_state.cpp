#include "decoder/decoder_state.h"

namespace quarl {

Status DecoderState::prepare_once() {
  if (!ObjectLayout::verified(layout).ok()) return Status::failure();
  for (size_t v = 0; v < cached_small_ints.size(); ++v) {
    cached_small_ints[v] = PyRef::steal(PyLong_FromSize_t(v));
    if (!cached_small_ints[v]) return Status::failure();  // the MemoryError stands
  }
  cached_none = PyRef::borrow(Py_None);
  cached_true = PyRef::borrow(Py_True);
  cached_false = PyRef::borrow(Py_False);
  prepared = true;
  return Status::success();
}

}  // namespace quarl
