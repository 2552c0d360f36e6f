// What the encoder keeps between calls: the document buffer, the per-document
// key table with its caches, and the buffers of the finished result.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "common/object_layout.h"
#include "common/pyref.h"
#include "encoder/document_buffer.h"
#include "encoder/spliced_blocks.h"
#include "encoder/string_table.h"
#include "encoder/type_decisions.h"
#include "format/byte_buffer.h"

namespace quarl {

// Creating one costs no allocation and no Python call: the layouts are
// checked and the buffers sized by the first encode (prepare()).
struct EncoderState {
  EncoderState() noexcept = default;
  EncoderState(EncoderState&&) noexcept = default;
  EncoderState& operator=(EncoderState&&) = delete;
  // Members go in reverse order: the table and buffers before the
  // remembered types.
  ~EncoderState() = default;

  // Readies the state for an encode; throws std::bad_alloc when memory runs
  // out, and fails when the first layout check is interrupted.
  Status prepare() { return prepared ? Status::success() : prepare_once(); }

  bool prepared = false;
  // The `default` given at construction, or null: called for every object
  // the dispatch would otherwise write as its str().
  PyRef default_hook;
  ObjectLayout layout;  // the process's verdict on the layout shortcuts
  StringTable strings;  // the keys of the document being written
  uint64_t encode_depth = 0;
  // What each type met by the current encode becomes (one place for every
  // path of the encoder); emptied at the start and end of each encode.
  TypeDecisions decisions;
  // The depth of the object being written in place of another (an enum
  // member's value, a table's data), or 0: a replacement keeps the depth of
  // what it replaces, and only a replacement of that goes one level deeper.
  uint64_t replacing_depth = 0;
  // Calls into Python code made by the current encode. Containers re-check
  // their size only when this has moved, since only such code can change them.
  uint64_t python_calls = 0;
  // The document being written: room for the header and string table, then
  // the value (the walk appends to it).
  DocumentBuffer payload_buffer;
  // Room for the string table in front of the next document's value: the
  // recent tables' largest size, shrinking slowly (packed/document.cpp).
  size_t section_room = 0;
  // Size of the last document handed out as the result: the next buffer is
  // made about that large.
  size_t last_handed_out_size = 0;
  // Large blocks the document refers to until its result has been copied out.
  SplicedBlocks spliced;
  ByteBuffer compressed_buffer;
  ByteBuffer gather_buffer;  // gathers documents in pieces for compression
  // The last encode's result, in order: document or envelope pieces that
  // view the buffers above and the spliced blocks.
  std::vector<std::span<const uint8_t>> result_pieces;
  bool last_compressed = false;

 private:
  Status prepare_once();
};

}  // namespace quarl
