// Writing Python objects in the value format.
#pragma once

#include <Python.h>

#include "common/status.h"
#include "encoder/encoder_state.h"

namespace quarl {

// The general walk: appends one encoded value for `obj` to the payload buffer.
Status serialize_any_optimized(EncoderState& codec, PyObject* obj);

// The fast value paths of the model batch.
Status serialize_value_fast(EncoderState& codec, PyObject* obj);
Status serialize_value_ultra_fast(EncoderState& codec, PyObject* obj);

// Writes a list of model objects in one batch, counting the list's own level
// from the codec's current depth. Returns false on a give-up (no exception
// left set), with whatever it wrote still in the buffer: the caller cuts it
// off and uses the general walk.
bool serialize_pydantic_simd_batch(EncoderState& codec, PyObject* list);

}  // namespace quarl
