// Dicts of one shape, the rows of a table above all, built from a copy of a
// template that already holds their keys.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/pyref.h"
#include "common/status.h"

namespace quarl {

// A dict made empty grows its key table at its sixth key, and a row of ten
// keys pays for that growth and ten insertions. CPython copies a dict's key
// table in one piece, so a row made as a copy of a dict with the same keys
// (all None) only has its values replaced. A template is made once three
// dicts in a row, each built key by key, have the same keys in the same
// order (two are too often a coincidence in documents of varied objects,
// whose templates would cost more than they save), and is dropped at the
// first row that leaves it, so a document cannot make every small dict pay
// for copying a large template. It lives as long as the parser, so nothing
// outlasts the document.
class DictShapes {
 public:
  // Dicts with fewer keys never grow their table; longer ones are left alone
  // so that comparing shapes stays cheap.
  static constexpr size_t MIN_KEYS = 6;
  static constexpr size_t MAX_KEYS = 32;
  static constexpr size_t ROWS_BEFORE_TEMPLATE = 3;

  // The key indices of a dict, in the order met; at most MAX_KEYS are kept,
  // a longer dict is only counted.
  class Keys {
   public:
    void add(uint32_t index) noexcept {
      if (count_ < MAX_KEYS) indices_[count_] = index;
      ++count_;
    }
    std::span<const uint32_t> kept() const noexcept { return {indices_.data(), count_ < MAX_KEYS ? count_ : MAX_KEYS}; }
    bool fits() const noexcept { return count_ >= MIN_KEYS && count_ <= MAX_KEYS; }
    bool operator==(const Keys& other) const noexcept;
    // Only the kept indices are copied: the rest of the array is never read.
    void assign(const Keys& other) noexcept;

   private:
    // Left uninitialised: every dict makes one, and only its first count_
    // entries are ever read.
    std::array<uint32_t, MAX_KEYS> indices_;
    size_t count_ = 0;
  };

  // The template whose first key has this index, or null.
  PyObject* template_for(uint32_t first_index) const noexcept {
    return template_ && shape_.kept()[0] == first_index ? template_.get() : nullptr;
  }
  const Keys& shape() const noexcept { return shape_; }
  // A row left the shape: copying it for rows that may not follow it either
  // would cost more than building them, so the template goes until three
  // rows in a row agree again.
  void forget() noexcept { template_.reset(); }

  // Notes a dict built key by key; its keys become the template when the
  // two dicts before it had the same ones. Fails only when memory runs out.
  Status learn(const Keys& keys, const PyRef* strings) {
    return keys.fits() ? learn_fitting(keys, strings) : Status::success();
  }

 private:
  Status learn_fitting(const Keys& keys, const PyRef* strings);

  Keys last_;
  size_t rows_like_last_ = 0;  // the dicts in a row, up to the last one, with its keys
  Keys shape_;
  PyRef template_;
};

}  // namespace quarl
