// Creates a heap type from its PyType_Spec on first request and keeps it for the
// life of the process.
#pragma once

#include <Python.h>

namespace quarl {

inline PyObject* cached_type(PyObject*& slot, PyType_Spec& spec) {
  if (slot == nullptr) {
    slot = PyType_FromSpec(&spec);
    if (slot == nullptr) return nullptr;
  }
  Py_INCREF(slot);
  return slot;
}

// The keyword lists CPython's binder wants are char**; ours are literals.
template <size_t N>
char** keywords(const char* (&names)[N]) {
  return const_cast<char**>(names);
}

}  // namespace quarl

namespace quarl {

// Method tables store every calling convention as PyCFunction.
template <typename Function>
PyCFunction method_cast(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace quarl
