#include "decoder/dict_shapes.h"

#include <algorithm>

namespace quarl {

bool DictShapes::Keys::operator==(const Keys& other) const noexcept {
  return count_ == other.count_ && std::ranges::equal(kept(), other.kept());
}

// A shape that names a key twice could not tell which of its keys a row
// has already set.
bool DictShapes::Keys::distinct() const noexcept {
  std::span<const uint32_t> indices = kept();
  for (size_t i = 1; i < indices.size(); ++i) {
    if (std::find(indices.begin(), indices.begin() + i, indices[i]) != indices.begin() + i) return false;
  }
  return true;
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
  if (++rows_like_last_ < ROWS_BEFORE_TEMPLATE || !keys.distinct()) return Status::success();
  rows_like_last_ = 0;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return Status::failure();
  for (uint32_t index : keys.kept()) {
    if (PyDict_SetItem(dict.get(), strings[index].get(), Py_None) < 0) return Status::failure();
  }
  shape_.assign(keys);
  template_ = std::move(dict);
  return Status::success();
}

}  // namespace quarl
