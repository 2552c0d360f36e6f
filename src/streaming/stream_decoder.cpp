// Placeholder until the stream decoder lands.
#include "streaming/stream_decoder.h"

namespace quarl {

StreamDecoder::StreamDecoder(uint64_t max_frame_size, HandshakeMode mode)
    : buffer_(STREAM_BUFFER_INITIAL_CAPACITY),
      max_frame_size_(max_frame_size),
      mode_(mode),
      handshake_received_(mode == HandshakeMode::absent) {}

PyObject* StreamDecoder::feed(std::span<const uint8_t>) {
  PyErr_SetString(PyExc_NotImplementedError, "QuarlStreamDecoder.feed is not implemented yet");
  return nullptr;
}

void StreamDecoder::clear() noexcept {}

uint64_t StreamDecoder::pending_bytes() const noexcept { return 0; }

}  // namespace quarl
