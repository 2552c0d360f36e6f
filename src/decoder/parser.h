// The recursive-descent reader of one document's value section.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "common/pyref.h"
#include "common/status.h"
#include "decoder/collector_pause.h"
#include "decoder/dict_shapes.h"
#include "decoder/decoder_state.h"
#include "decoder/special_types.h"

namespace quarl {

class RowSink;

// Lives for one decode call. The document bytes, the decoded string table
// and the codec are borrowed and must outlive the parser; the special-type
// classes it looks up are released with it.
class QuarlParser {
 public:
  QuarlParser(std::span<const uint8_t> buffer, size_t start, std::span<const PyRef> strings,
              const DecoderState& codec) noexcept;
  QuarlParser(const QuarlParser&) = delete;
  QuarlParser& operator=(const QuarlParser&) = delete;

  // Reads one complete value. Returns a new reference, or NULL with an
  // exception set; after a failure the parser is not used again.
  PyObject* parse();

  // Succeeds when `n` bytes are available at `pos`.
  static Status check_bounds(uint64_t len, uint64_t pos, uint64_t n) noexcept;

  // The inspect tool's walk (listing.cpp): reads the value exactly as parse()
  // does, with the same checks and errors, but keeps no object, and describes
  // each value to `rows`. On failure `fault` is the offset of the field at
  // fault.
  Status list(RowSink& rows, uint64_t& fault);

 private:
  PyObject* parse_tag(uint8_t tag);
  PyObject* parse_int64();
  PyObject* parse_float64();
  PyObject* parse_string();
  PyObject* parse_bytes();
  PyObject* parse_list();
  PyObject* parse_dict();
  PyObject* parse_dict_by_keys(uint32_t index);
  PyObject* parse_dict_from_template(PyObject* shaped, uint32_t index);
  PyObject* parse_dict_value();
  PyObject* parse_float_array();
  PyObject* parse_special(uint8_t tag);

  // One step of a dict: an entry whose valid key index is in `index`, the
  // terminator (consumed), or a failure with the exception set.
  enum class KeyStep { entry, end, failed };
  KeyStep next_key(uint32_t& index) noexcept;
  // Reads a float array's count and checks that its payload is present.
  Status read_float_array_count(uint32_t& count) noexcept;

  // Sets the RecursionError of a value too deep.
  static void too_deep() noexcept;

  // Listing (listing.cpp).
  Status list_value(RowSink& rows, uint32_t indent, uint64_t label, uint64_t& fault);
  Status list_list(RowSink& rows, uint64_t start, uint32_t indent, uint64_t label, uint64_t& fault);
  Status list_dict(RowSink& rows, uint64_t start, uint32_t indent, uint64_t label, uint64_t& fault);
  Status list_leaf(RowSink& rows, uint64_t start, uint8_t tag, uint32_t indent, uint64_t label,
                   uint64_t& fault);

  // Reads the u32 length of a length-prefixed value and checks that its
  // payload is present; on success `pos_` is at the payload.
  Status read_length_prefix(uint32_t& length) noexcept;
  // Reads a list's u32 count and refuses one the bytes left cannot hold.
  Status read_list_count(uint32_t& count) noexcept;
  // How many of a list's `count` slots to allocate before its items are read.
  uint32_t reservation_for(uint32_t count) const noexcept;
  Status require(uint64_t n) const noexcept { return check_bounds(len_, pos_, n); }
  PyObject* cached_small_int(uint64_t value) const noexcept {
    return small_ints_[value].new_reference();
  }

  const uint8_t* data_;
  uint64_t len_;
  uint64_t pos_;
  const PyRef* strings_;
  uint64_t string_count_;
  PyObject* none_;
  PyObject* true_;
  PyObject* false_;
  const PyRef* small_ints_;
  ObjectLayout layout_;
  // Made at the first special value, so that other documents pay nothing.
  std::optional<SpecialTypes> special_types_;
  uint64_t depth_ = 0;
  // List slots allocated and not yet begun, summed over every open list.
  uint64_t reserved_ = 0;
  CollectorPause collector_pause_;
  DictShapes dict_shapes_;
};

}  // namespace quarl
