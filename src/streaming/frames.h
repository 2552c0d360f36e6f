// Frames, handshake and end-of-stream.
#pragma once

#include <Python.h>

#include "lib/codec.h"

namespace quarl {

// Body of encode_frame (Quarl and QuarlStreamEncoder).
PyObject* encode_frame(Codec& codec, PyObject* obj, bool compress);
// Bodies of the static handshake and end-of-stream methods.
PyObject* stream_handshake();
PyObject* eos_frame();

}  // namespace quarl
