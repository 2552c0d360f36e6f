// The inspect tool's view of a document: every field the decoder reads, with
// its offset, described as rows for a renderer, and the offset of the first
// fault. The walk is the decoder's own, so the tool can disagree with it on
// nothing.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "common/status.h"
#include "format/byte_buffer.h"

namespace quarl {

// What a row describes; the renderer (quarl/_inspect.py) reads the rest of
// what it shows from the document bytes at the row's offsets.
enum class RowCode : uint8_t {
  header = 0,          // the 6-byte header; number: the string count
  entry = 1,           // a string-table entry (length byte and text); number: its index
  value_heading = 2,   // the value section begins
  scalar = 3,          // a value other than a list or dict (float arrays included)
  list = 4,            // a list's tag and count
  dict = 5,            // a dict's tag
  key = 6,             // a dict entry's key index; number: the index
  dict_end = 7,        // a dict's terminator
  hidden_items = 8,    // offset..end held `number` list items not listed
  hidden_entries = 9,  // offset..end held `number` dict entries not listed
  hidden_cut = 10,     // items from offset on were not listed when the fault came
  trailing = 11,       // bytes after the value, which the decoder ignores
};

// Collects rows as packed records (little-endian u64 offset, u64 end, u64
// number, u32 indent, u8 code: 29 bytes) and hands them to a Python callable
// in batches, so a listing of any size costs a bounded amount of memory.
// Scalar rows carry a label in `number`: 0 for none, i + 1 for list item i.
class RowSink {
 public:
  static constexpr size_t ROW_SIZE = 29;

  RowSink(PyObject* emit, uint64_t max_items) noexcept : emit_(emit), max_items_(max_items) {}

  Status add(RowCode code, uint64_t offset, uint64_t end, uint32_t indent, uint64_t number);
  // Hands what is collected to the callable.
  Status flush();

  // Items of a container from this index on are read but not listed (0: all
  // are listed). Containers nest their muting; rows are kept only outside it.
  uint64_t max_items() const noexcept { return max_items_; }
  void mute(uint64_t offset, uint32_t indent) noexcept;
  // Ends one muting; true when rows are listed again.
  bool unmute() noexcept { return --muted_ == 0; }
  bool muted() const noexcept { return muted_ != 0; }
  // Marks where the outermost muting began, for a fault inside it.
  Status cut() { return add_always(RowCode::hidden_cut, cut_offset_, cut_offset_, cut_indent_, 0); }

 private:
  static constexpr size_t FLUSH_SIZE = 64 * 1024;
  Status add_always(RowCode code, uint64_t offset, uint64_t end, uint32_t indent, uint64_t number);

  PyObject* emit_;
  uint64_t max_items_;
  uint64_t muted_ = 0;
  uint64_t cut_offset_ = 0;
  uint32_t cut_indent_ = 0;
  ByteBuffer rows_;
};

// Lists a complete, uncompressed document (header, string table, value).
// On a fault, the rows before it are handed out, the decoder's exception is
// set and `fault` holds the offset of the field at fault; a failure of the
// callable leaves its own exception and `fault` at UINT64_MAX.
Status list_document(std::span<const uint8_t> document, RowSink& rows, uint64_t& fault);

}  // namespace quarl
