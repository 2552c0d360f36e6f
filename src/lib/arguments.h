// Conversion of bound arguments, with errors that name the argument.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

#include "common/status.h"

namespace quarl {

// One function's parameters for the vectorcall convention: `names` in order,
// the first `positional` of them may come by position (the rest only by
// keyword), and the first `required` must be given.
struct Parameters {
  const char* function;
  std::span<const char* const> names;
  size_t positional;
  size_t required;
};

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call to `out`, one
// borrowed reference per parameter (left as it was when not given), with
// the errors the interpreter's own argument parser raises.
Status bind_arguments_slow(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** out);

// The common call, all arguments by position, binds without the checks that
// only keywords or a wrong count need.
inline Status bind_arguments(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, PyObject** out) {
  auto given = static_cast<size_t>(nargs);
  if (kwnames != nullptr || given < parameters.required || given > parameters.positional) {
    return bind_arguments_slow(parameters, args, nargs, kwnames, out);
  }
  for (size_t i = 0; i < given; ++i) out[i] = args[i];
  return Status::success();
}

// Exactly True or False.
Status convert_bool(PyObject* arg, const char* name, bool& out);
// None, True or False; None becomes an empty optional.
Status convert_optional_bool(PyObject* arg, const char* name, std::optional<bool>& out);
// bytes or a subclass, viewed in place.
Status convert_bytes(PyObject* arg, const char* name, std::span<const uint8_t>& out);
// Anything with __index__ that fits an unsigned 64-bit integer.
Status convert_u64_index(PyObject* arg, const char* name, uint64_t& out);

}  // namespace quarl
