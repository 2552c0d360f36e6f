// The native value of a Quarl instance: an encoder and a decoder, each with
// its own state.
#pragma once

#include <memory>

#include "decoder/decoder_state.h"
#include "encoder/encoder_state.h"

namespace quarl {

// The decoder's state is made by the first decode, so that a codec that only
// encodes never carries it and a new codec stays small enough for the
// interpreter's small-object allocator.
struct Codec {
  EncoderState encoder;

  // Throws std::bad_alloc when memory runs out.
  DecoderState& decoder() {
    if (!decoder_) decoder_ = std::make_unique<DecoderState>();
    return *decoder_;
  }

 private:
  std::unique_ptr<DecoderState> decoder_;
};

}  // namespace quarl
