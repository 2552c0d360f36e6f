// Frames, handshake and end-of-stream.
#pragma once

#include <Python.h>

#include "encoder/encoder_state.h"

namespace quarl {

// Body of encode_frame (Quarl and QuarlStreamEncoder).
PyObject* encode_frame(EncoderState& codec, PyObject* obj, bool compress);
// Bodies of the static handshake and end-of-stream methods.
PyObject* stream_handshake();
PyObject* eos_frame();

}  // namespace quarl
