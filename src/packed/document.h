// Packed documents: header, string-table section and one value.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "common/status.h"
#include "lib/codec.h"

namespace quarl {

// Writes `obj` as a complete document. On success the result is either the
// codec's compressed_buffer (last_compressed set) or the document described
// by the codec's string table and payload_buffer, which write_result()
// copies out.
Status encode_packed_internal(Codec& codec, PyObject* obj, bool compress);

// Size of the result of the last successful encode_packed_internal().
size_t result_size(const Codec& codec) noexcept;
// Copies that result to `out`, which has room for result_size() bytes.
void write_result(const Codec& codec, uint8_t* out) noexcept;

// Body of Quarl.encode_packed: a new bytes object or NULL with an exception.
PyObject* encode_packed(Codec& codec, PyObject* obj, bool compress);

// Body of Quarl.decode_packed. `data` is read in place and must stay alive
// and unchanged for the call.
PyObject* decode_packed(Codec& codec, std::span<const uint8_t> data, bool decompress);

}  // namespace quarl
