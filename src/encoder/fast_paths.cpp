// The reduced walks used for the field values of a model batch.
#include "encoder/encoder.h"

namespace quarl {

Status serialize_value_fast(Codec& codec, PyObject* obj) { return serialize_any_optimized(codec, obj); }
Status serialize_value_ultra_fast(Codec& codec, PyObject* obj) {
  return serialize_any_optimized(codec, obj);
}

}  // namespace quarl
