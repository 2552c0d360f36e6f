// LZ4 compression envelopes around packed documents.
#pragma once

#include <cstdint>
#include <span>

#include "common/status.h"
#include "format/byte_buffer.h"

namespace quarl {

// Wraps `document` (at least MIN_COMPRESS_SIZE bytes) in a single-block or,
// from PARALLEL_THRESHOLD bytes, a parallel envelope written to `out`. The
// document buffer may gain a trailing byte so that no envelope ever begins
// with the document magic. Fails only for documents that do not fit the
// envelope's 32-bit size fields.
Status compress_document(ByteBuffer& document, ByteBuffer& out);

// Recognises a plain document or an envelope. On success `document` views
// either `input` itself or the content of `scratch`.
Status decompress_document(std::span<const uint8_t> input, bool decompress, ByteBuffer& scratch,
                           std::span<const uint8_t>& document);

}  // namespace quarl
