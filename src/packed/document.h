// Packed documents: header, string-table section and one value.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "common/status.h"
#include "lib/codec.h"

namespace quarl {

// Writes `obj` as a complete document into the codec's payload_buffer and,
// when compression applies, its envelope into the compressed_buffer
// (last_compressed set).
Status encode_packed_internal(Codec& codec, PyObject* obj, bool compress);

// The bytes of the last successful encode_packed_internal(): the envelope or
// the document. Valid until the codec's next encode.
std::span<const uint8_t> encoded_result(const Codec& codec) noexcept;

// Body of Quarl.encode_packed: a new bytes object or NULL with an exception.
PyObject* encode_packed(Codec& codec, PyObject* obj, bool compress);

// Body of Quarl.decode_packed. `data` is read in place and must stay alive
// and unchanged for the call.
PyObject* decode_packed(Codec& codec, std::span<const uint8_t> data, bool decompress);

}  // namespace quarl
