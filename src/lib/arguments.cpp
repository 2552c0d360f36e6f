#include "lib/arguments.h"

#include "common/pyref.h"

namespace quarl {
namespace {

Status wrong_type(PyObject* arg, const char* name, const char* expected) {
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(arg)));
  if (!type_name) return Status::failure();
  return raise_format(PyExc_TypeError, "argument '%s': expected %s, got %U", name, expected,
                      type_name.get());
}

}  // namespace

Status convert_bool(PyObject* arg, const char* name, bool& out) {
  if (!PyBool_Check(arg)) return wrong_type(arg, name, "bool");
  out = arg == Py_True;
  return Status::success();
}

Status convert_optional_bool(PyObject* arg, const char* name, std::optional<bool>& out) {
  if (arg == Py_None) {
    out.reset();
    return Status::success();
  }
  if (!PyBool_Check(arg)) return wrong_type(arg, name, "bool or None");
  out = arg == Py_True;
  return Status::success();
}

Status convert_bytes(PyObject* arg, const char* name, std::span<const uint8_t>& out) {
  if (!PyBytes_Check(arg)) return wrong_type(arg, name, "bytes");
  char* data = PyBytes_AsString(arg);
  Py_ssize_t size = PyBytes_Size(arg);
  if (data == nullptr || size < 0) return ensure_error_set();
  out = {reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size)};
  return Status::success();
}

Status convert_u64_index(PyObject* arg, const char* name, uint64_t& out) {
  // A bool is an int to Python, but True as a size is a mistake.
  if (PyBool_Check(arg)) return wrong_type(arg, name, "int");
  PyRef index = PyRef::steal(PyNumber_Index(arg));
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      return wrong_type(arg, name, "int");
    }
    return Status::failure();
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Status::failure();
  out = value;
  return Status::success();
}

}  // namespace quarl
