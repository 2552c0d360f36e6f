// Conversion of bound arguments, with errors that name the argument.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

#include "common/status.h"

namespace quarl {

// Exactly True or False.
Status convert_bool(PyObject* arg, const char* name, bool& out);
// None, True or False; None becomes an empty optional.
Status convert_optional_bool(PyObject* arg, const char* name, std::optional<bool>& out);
// bytes or a subclass, viewed in place.
Status convert_bytes(PyObject* arg, const char* name, std::span<const uint8_t>& out);
// Anything with __index__ that fits an unsigned 64-bit integer.
Status convert_u64_index(PyObject* arg, const char* name, uint64_t& out);

}  // namespace quarl
