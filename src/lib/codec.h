// The native value of a Quarl instance: an encoder and a decoder, each with
// its own state.
#pragma once

#include "decoder/decoder_state.h"
#include "encoder/encoder_state.h"

namespace quarl {

struct Codec {
  EncoderState encoder;
  DecoderState decoder;
};

}  // namespace quarl
