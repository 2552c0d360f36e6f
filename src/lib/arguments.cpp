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

Status bind_keyword(const Parameters& parameters, PyObject* name, PyObject* value, size_t nargs, PyObject** out) {
  for (size_t i = 0; i < parameters.names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, parameters.names[i]) != 0) continue;
    if (i < nargs) {
      return raise_format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)",
                          parameters.function, parameters.names[i], i + 1);
    }
    out[i] = value;
    return Status::success();
  }
  return raise_format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()", name, parameters.function);
}

}  // namespace

Status bind_arguments_slow(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** out) {
  size_t given = static_cast<size_t>(nargs);
  if (given > parameters.positional) {
    return raise_format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zu given)",
                        parameters.function, parameters.positional, parameters.positional == 1 ? "" : "s", given);
  }
  for (size_t i = 0; i < given; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t keywords = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      PyObject* name = PyTuple_GetItem(kwnames, k);
      if (name == nullptr || !bind_keyword(parameters, name, args[nargs + k], given, out).ok()) {
        return ensure_error_set();
      }
    }
  }
  for (size_t i = 0; i < parameters.required; ++i) {
    if (out[i] == nullptr) {
      return raise_format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", parameters.function,
                          parameters.names[i], i + 1);
    }
  }
  return Status::success();
}

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
