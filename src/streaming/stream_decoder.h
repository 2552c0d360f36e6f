// The incremental stream decoder.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "common/pyref.h"
#include "common/status.h"
#include "format/byte_buffer.h"
#include "format/limits.h"
#include "decoder/decoder_state.h"

namespace quarl {

enum class HandshakeMode { detect, required, absent };

class StreamDecoder {
 public:
  StreamDecoder(uint64_t max_frame_size, HandshakeMode mode) noexcept;

  // Body of feed(): a new list of the values completed by `chunk`, or NULL.
  PyObject* feed(std::span<const uint8_t> chunk);
  // Back to the initial stream state (clear and reset).
  void clear() noexcept;

  bool is_eos() const noexcept { return is_eos_; }
  bool handshake_received() const noexcept { return handshake_received_; }
  uint64_t pending_bytes() const noexcept;

 private:
  size_t pending() const noexcept;
  void compact() noexcept;
  // Consumes or rules out the handshake; sets `wait` when only part of it
  // has arrived.
  Status read_handshake(bool& wait);
  // The frame loop: a new list of the values of the complete data frames.
  PyObject* read_frames();
  void end_stream(uint64_t payload_length) noexcept;
  // Keeps the pending exception as the decoder's failure and leaves it set.
  void remember_failure() noexcept;
  // Raises the remembered failure again, as a new exception of its class.
  PyObject* raise_failure() const noexcept;
  // Gives up a large buffer that holds nothing pending.
  void trim() noexcept;

  DecoderState codec_;
  ByteBuffer buffer_;
  uint64_t read_position_ = 0;
  uint64_t max_frame_size_;
  HandshakeMode mode_;
  bool handshake_received_;
  bool is_eos_ = false;
  // Bytes that arrived after end-of-stream or after a failure that stays
  // until clear(): counted, never stored, since nothing reads them.
  uint64_t discarded_ = 0;
  // A missing handshake, an unsupported version or a data frame that did not
  // decode: the exception, raised again by every later non-empty feed until
  // clear(), without reading the bytes again.
  PyRef failure_;
};

}  // namespace quarl
