// The three exported classes. Each call creates its type object once per
// process and returns a new reference to it.
#pragma once

#include <Python.h>

namespace quarl {

PyObject* quarl_type();
PyObject* stream_decoder_type();
PyObject* stream_encoder_type();

}  // namespace quarl
