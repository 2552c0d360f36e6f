// Large blocks that a document refers to while it is written.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/pyref.h"
#include "format/byte_buffer.h"

namespace quarl {

// The bytes of a large bytes or str value are not copied into the payload
// while the document is written: the walk writes the tag and length and
// records where the bytes belong, and they are copied once, straight into
// the result. Each record keeps its memory alive and unchanged: a reference
// to an immutable bytes or str. (Arrays are mutable, so their contents are
// copied when the walk meets them.) Records hold references, so they are
// dropped (with the GIL) as soon as the result has been copied out.
class SplicedBlocks {
 public:
  // Smaller blocks cost less to copy than to record.
  static constexpr size_t MIN_SIZE = 64 * 1024;

  struct Block {
    size_t offset;  // payload position where the bytes belong
    std::span<const uint8_t> bytes;
    PyRef owner;
  };

  bool empty() const noexcept { return blocks_.empty(); }
  size_t total_size() const noexcept { return total_size_; }

  // Records `bytes`, owned by the immutable `owner`, at payload `offset`.
  void add_owned(size_t offset, std::span<const uint8_t> bytes, PyObject* owner);
  void clear() noexcept { blocks_.clear(), total_size_ = 0; }
  // Drops the blocks recorded at `offset` or later, whose payload was cut off.
  void drop_from(size_t offset) noexcept;
  // Moves every position by `delta` after the payload moved under them.
  void shift(ptrdiff_t delta) noexcept;
  // The whole document in order: payload stretches with the blocks between.
  void pieces(std::span<const uint8_t> payload, std::vector<std::span<const uint8_t>>& out) const;

 private:
  std::vector<Block> blocks_;
  size_t total_size_ = 0;
};

}  // namespace quarl
