// Writing Python objects in the value format.
#pragma once

#include <Python.h>

#include "common/status.h"
#include "lib/codec.h"

namespace quarl {

// The general walk: appends one encoded value for `obj` to the payload buffer.
Status serialize_any_optimized(Codec& codec, PyObject* obj);

// The fast value paths of the model batch.
Status serialize_value_fast(Codec& codec, PyObject* obj);
Status serialize_value_ultra_fast(Codec& codec, PyObject* obj);

// Writes a list of model objects in one batch, counting the list's own level
// from the codec's current depth. Returns false on a give-up (no exception
// left set), with whatever it wrote still in the buffer: the caller cuts it
// off and uses the general walk.
bool serialize_pydantic_simd_batch(Codec& codec, PyObject* list);

}  // namespace quarl
