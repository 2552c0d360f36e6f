#include "encoder/spliced_blocks.h"

namespace quarl {

void SplicedBlocks::add_owned(size_t offset, std::span<const uint8_t> bytes, PyObject* owner) {
  blocks_.push_back(Block{offset, bytes, PyRef::borrow(owner)});
  total_size_ += bytes.size();
}

void SplicedBlocks::drop_from(size_t offset) noexcept {
  while (!blocks_.empty() && blocks_.back().offset >= offset) {
    total_size_ -= blocks_.back().bytes.size();
    blocks_.pop_back();
  }
}

void SplicedBlocks::shift(ptrdiff_t delta) noexcept {
  for (Block& block : blocks_) block.offset += static_cast<size_t>(delta);
}

void SplicedBlocks::pieces(std::span<const uint8_t> payload, std::vector<std::span<const uint8_t>>& out) const {
  size_t position = 0;
  for (const Block& block : blocks_) {
    out.emplace_back(payload.data() + position, block.offset - position);
    out.push_back(block.bytes);
    position = block.offset;
  }
  out.emplace_back(payload.data() + position, payload.size() - position);
}

}  // namespace quarl
