// Packed documents: header, string-table section and one value.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "common/status.h"
#include "decoder/decoder_state.h"
#include "encoder/encoder_state.h"

namespace quarl {

// Writes `obj` as a complete document and, when compression applies, its
// envelope (last_compressed set). The result stays in the codec, as
// result_pieces, until release_encoded() or the next encode.
Status encode_packed_internal(EncoderState& codec, PyObject* obj, bool compress);

// Byte size of the held result.
size_t encoded_size(const EncoderState& codec) noexcept;
// Copies the held result to `out`, which has room for encoded_size() bytes.
void copy_encoded(const EncoderState& codec, uint8_t* out) noexcept;
// Drops the held result and the references it keeps to spliced blocks, so
// that no caller's object stays referenced or exported after the call.
void release_encoded(EncoderState& codec) noexcept;

// Releases the held result when the scope ends, on every path.
class HeldResult {
 public:
  explicit HeldResult(EncoderState& codec) noexcept : codec_(codec) {}
  ~HeldResult() { release_encoded(codec_); }
  HeldResult(const HeldResult&) = delete;
  HeldResult& operator=(const HeldResult&) = delete;

 private:
  EncoderState& codec_;
};

// Body of Quarl.encode_packed: a new bytes object or NULL with an exception.
PyObject* encode_packed(EncoderState& codec, PyObject* obj, bool compress);

// Body of Quarl.decode_packed. `data` is read in place and must stay alive
// and unchanged for the call.
// `max_document` bounds the size an envelope may declare for its document
// (the stream decoder's max_frame_size); see decompress_document.
PyObject* decode_packed(DecoderState& codec, std::span<const uint8_t> data, bool decompress,
                        uint64_t max_document = UINT64_MAX);

}  // namespace quarl
