// Reading a document's string table and value section back into objects.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "decoder/decoder_state.h"

namespace quarl {

// Decodes a complete, uncompressed document (header, string table, value).
// Returns a new reference, or NULL with an exception set.
PyObject* decode_document(DecoderState& codec, std::span<const uint8_t> document);

}  // namespace quarl
