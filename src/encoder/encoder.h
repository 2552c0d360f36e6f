// Writing Python objects in the value format.
#pragma once

#include <Python.h>

#include "common/status.h"
#include "encoder/encoder_state.h"

namespace quarl {

// The general walk: appends one encoded value for `obj` to the payload buffer.
Status serialize_any_optimized(EncoderState& codec, PyObject* obj);

// The model batch: reserves room for a list of `count` items that starts
// with `first`, when `first` is a model object.
Status reserve_model_batch(EncoderState& codec, PyObject* first, size_t count);

}  // namespace quarl
