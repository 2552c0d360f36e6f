// LZ4 compression envelopes around packed documents.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/status.h"
#include "format/byte_buffer.h"

namespace quarl {

// Wraps `document` (at least MIN_COMPRESS_SIZE bytes, given as pieces in
// order) in a single-block or, from PARALLEL_THRESHOLD bytes, a parallel
// envelope, written to `out` and listed as pieces in `envelope`. The pieces
// must stay unchanged until the envelope has been copied out. The document
// may gain a trailing piece so that no envelope ever begins with the
// document magic; `scratch` gathers what must lie in one stretch. Fails only
// for documents that do not fit the envelope's 32-bit size fields.
Status compress_document(std::vector<std::span<const uint8_t>>& document, ByteBuffer& out,
                         ByteBuffer& scratch, std::vector<std::span<const uint8_t>>& envelope);

enum class EnvelopeForm { document, single_block, parallel };

// How an input was read, for the inspect tool: the form recognised (the last
// one tried, on failure) and, on failure, the offset of the field at fault.
struct EnvelopeReading {
  EnvelopeForm form = EnvelopeForm::document;
  uint64_t fault_offset = 0;
};

// Recognises a plain document or an envelope. On success `document` views
// either `input` itself or the content of `scratch`. An envelope whose
// declared document size is above `max_document` is refused ("Decompressed
// frame size {} exceeds maximum allowed {}") before anything is allocated.
Status decompress_document(std::span<const uint8_t> input, bool decompress, ByteBuffer& scratch,
                           std::span<const uint8_t>& document,
                           uint64_t max_document = UINT64_MAX,
                           EnvelopeReading* reading = nullptr);

// Gives up the storage of a buffer grown past LARGE_BUFFER_KEEP_LIMIT, so that
// one large (or forged) input does not pin its memory for the codec's life.
void release_if_large(ByteBuffer& buffer) noexcept;

}  // namespace quarl
