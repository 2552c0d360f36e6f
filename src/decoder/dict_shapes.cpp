#include "decoder/dict_shapes.h"

#include <algorithm>

namespace quarl {

bool DictShapes::Keys::operator==(const Keys& other) const noexcept {
  return count_ == other.count_ && std::ranges::equal(kept(), other.kept());
}

void DictShapes::Keys::assign(const Keys& other) noexcept {
  std::ranges::copy(other.kept(), indices_.begin());
  count_ = other.count_;
}

Status DictShapes::learn_fitting(const Keys& keys, const PyRef* strings) {
  if (!(keys == last_)) {
    last_.assign(keys);
    rows_like_last_ = 1;
    return Status::success();
  }
  if (++rows_like_last_ < ROWS_BEFORE_TEMPLATE) return Status::success();
  rows_like_last_ = 0;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return Status::failure();
  for (uint32_t index : keys.kept()) {
    if (PyDict_SetItem(dict.get(), strings[index].get(), Py_None) < 0) return Status::failure();
  }
  // A shape that names one key twice (by one index, or by two table entries
  // of the same text) could not tell which of its keys a row has set yet.
  if (PyDict_Size(dict.get()) != static_cast<Py_ssize_t>(keys.kept().size())) return Status::success();
  shape_.assign(keys);
  template_ = std::move(dict);
  return Status::success();
}

}  // namespace quarl
