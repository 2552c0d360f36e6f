// NumPy float64 arrays, written as one block of doubles.
#include "encoder/special_objects.h"

namespace quarl {

Step try_write_float_array(Codec&, PyObject*) { return Step::not_matched; }

}  // namespace quarl
