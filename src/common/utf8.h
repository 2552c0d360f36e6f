// UTF-8 validation with a precise description of the first error.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "common/status.h"

namespace quarl {

struct Utf8Error {
  // Length of the longest valid prefix: where the first bad sequence starts.
  size_t valid_up_to = 0;
  // Length of the maximal invalid subpart (1 to 3), or 0 when the input ends
  // inside a sequence that could still have been valid.
  uint8_t invalid_length = 0;
};

// True when `size` bytes at `data` are well-formed UTF-8 (no surrogates, no
// overlong forms, nothing above U+10FFFF); otherwise fills `error`.
bool validate_utf8(const uint8_t* data, size_t size, Utf8Error& error) noexcept;

// Sets ValueError "Invalid UTF-8 in <context>: <description of error>".
Status raise_invalid_utf8(const char* context, const Utf8Error& error) noexcept;

}  // namespace quarl
