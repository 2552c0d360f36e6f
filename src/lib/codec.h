// The codec object: everything the encoder and decoder keep between calls.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "common/object_layout.h"
#include "common/pyref.h"
#include "encoder/datetime_memory.h"
#include "encoder/spliced_blocks.h"
#include "encoder/string_table.h"
#include "packed/document_buffer.h"
#include "format/byte_buffer.h"
#include "format/tags.h"

namespace quarl {

struct Codec {
  // Builds the initial state; throws std::bad_alloc when memory runs out.
  Codec();
  Codec(Codec&&) noexcept = default;
  Codec& operator=(Codec&&) = delete;
  ~Codec();

  ObjectLayout layout;
  // The `default` given at construction, or null: called for every object
  // the dispatch would otherwise write as its str() (Part 3.1, step 19).
  PyRef default_hook;
  LayoutVerdicts datetime_layouts;  // probed at the first batch that meets the types
  StringTable strings;  // key_cache, string_list, string_map, next_string_index
  uint64_t encode_depth = 0;
  // Calls into Python code made by the current encode. Containers re-check
  // their size only when this has moved, since only such code can change them.
  uint64_t python_calls = 0;
  // The document being written: room for the header and string table, then
  // the value (the walk appends to it).
  DocumentBuffer payload_buffer;
  // Size of the last document handed out as the result: the next buffer is
  // made about that large.
  size_t last_handed_out_size = 0;
  // Large blocks the document refers to until its result has been copied out.
  SplicedBlocks spliced;
  ByteBuffer compressed_buffer;
  ByteBuffer decompress_buffer;  // also gathers documents in pieces for compression
  // The last encode's result, in order: document or envelope pieces that
  // view the buffers above and the spliced blocks.
  std::vector<std::span<const uint8_t>> result_pieces;
  bool last_compressed = false;

  PyRef cached_none;
  PyRef cached_true;
  PyRef cached_false;
  std::array<PyRef, SMALL_INT_READ_LIMIT> cached_small_ints;
};

}  // namespace quarl
