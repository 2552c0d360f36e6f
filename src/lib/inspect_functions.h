// Private module functions of the inspect tool (quarl/_inspect.py).
#pragma once

#include <Python.h>

namespace quarl {

// Terminated by an empty entry; the module's method table.
extern PyMethodDef inspect_functions[];

}  // namespace quarl
