// What the decoder keeps between calls: the objects it hands out instead of
// creating them, the cache of recent keys and the decompression buffer.
#pragma once

#include <Python.h>

#include <array>
#include <vector>

#include "common/object_layout.h"
#include "common/pyref.h"
#include "decoder/key_cache.h"
#include "format/byte_buffer.h"
#include "format/tags.h"

namespace quarl {

// Creating one costs no allocation and no Python call: the first decode
// fills it in (prepare()).
struct DecoderState {
  DecoderState() noexcept = default;
  DecoderState(DecoderState&&) noexcept = default;
  DecoderState& operator=(DecoderState&&) = delete;
  ~DecoderState() = default;

  // Readies the state for a decode; fails with the exception set when memory
  // runs out or the first layout check is interrupted.
  Status prepare() { return prepared ? Status::success() : prepare_once(); }

  bool prepared = false;
  ObjectLayout layout;
  KeyCache keys;
  // The key objects of the document being decoded, by index; emptied after
  // each document.
  std::vector<PyRef> key_objects;
  ByteBuffer decompress_buffer;

  PyRef cached_none;
  PyRef cached_true;
  PyRef cached_false;
  std::array<PyRef, SMALL_INT_READ_LIMIT> cached_small_ints;

 private:
  Status prepare_once();
};

}  // namespace quarl
