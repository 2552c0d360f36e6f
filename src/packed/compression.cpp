// Placeholder until the envelopes land: documents travel unenveloped, which
// every reader accepts.
#include "packed/compression.h"

#include "format/limits.h"

namespace quarl {

Status compress_document(ByteBuffer& document, ByteBuffer& out) {
  out.clear();
  out.append(document.view());
  return Status::success();
}

Status decompress_document(std::span<const uint8_t> input, bool decompress, ByteBuffer&,
                           std::span<const uint8_t>& document) {
  if (decompress) {
    if (input.size() < 2) return raise(PyExc_ValueError, "Buffer too small for QUARL payload");
    if (input[0] != DOCUMENT_MAGIC_0 || input[1] != DOCUMENT_MAGIC_1) {
      return raise(PyExc_NotImplementedError, "compression envelopes are not supported yet");
    }
  }
  document = input;
  return Status::success();
}

}  // namespace quarl
