// Root lists of model objects, written in one batch with shared keys.
#include "encoder/encoder.h"

namespace quarl {

bool serialize_pydantic_simd_batch(Codec&, PyObject*) { return false; }

}  // namespace quarl
