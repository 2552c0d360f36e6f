// Table-like objects converted to plain data by their own methods.
#include "encoder/special_objects.h"

namespace quarl {

Step try_write_table(Codec&, PyObject*, std::string_view) { return Step::not_matched; }

}  // namespace quarl
