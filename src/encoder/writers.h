// Primitive writers and the depth guard shared by the encoder's walks.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "common/status.h"
#include "format/limits.h"
#include "format/tags.h"
#include "encoder/encoder_state.h"

namespace quarl {

// Counts one value on the current path for as long as it is being written.
// A value at depth MAX_DEPTH + 1 is refused before anything of it is written.
// Each level also counts against Python's own recursion limit, since
// callbacks can start new encodes on other codecs: a program that nests
// encodes that way ends in RecursionError, not in an exhausted C stack.
class DepthScope {
 public:
  explicit DepthScope(EncoderState& codec) noexcept : codec_(codec) {
    if (++codec_.encode_depth > MAX_DEPTH) {
      PyErr_SetString(PyExc_RecursionError, "Maximum recursion depth exceeded");
      return;
    }
    entered_ = Py_EnterRecursiveCall(" while encoding a QUARL value") == 0;
  }
  ~DepthScope() {
    if (entered_) Py_LeaveRecursiveCall();
    --codec_.encode_depth;
  }
  DepthScope(const DepthScope&) = delete;
  DepthScope& operator=(const DepthScope&) = delete;
  bool entered() const noexcept { return entered_; }

 private:
  EncoderState& codec_;
  bool entered_ = false;
};

// Lengths and counts travel as unsigned 32-bit fields; nothing larger is
// ever written wrapped.
inline Status check_u32_length(size_t length, const char* what) {
  if (length <= MAX_U32_FIELD) return Status::success();
  return raise_format(PyExc_ValueError, "%s of length %zu does not fit the format's 32-bit length field",
                      what, length);
}

inline void write_none(EncoderState& codec) { codec.payload_buffer.push(TAG_NONE); }

inline void write_bool(EncoderState& codec, bool value) {
  codec.payload_buffer.push(value ? TAG_TRUE : TAG_FALSE);
}

inline void write_int64(EncoderState& codec, int64_t value) {
  DocumentBuffer& out = codec.payload_buffer;
  if (static_cast<uint64_t>(value) < SMALL_INT_WRITE_LIMIT) {
    out.push(static_cast<uint8_t>(TAG_SMALL_INT | value));
    return;
  }
  out.reserve_extra(9);
  out.push_unchecked(TAG_INT64);
  out.append_u64_unchecked(static_cast<uint64_t>(value));
}

inline void write_float(EncoderState& codec, double value) {
  DocumentBuffer& out = codec.payload_buffer;
  out.reserve_extra(9);
  out.push_unchecked(TAG_FLOAT64);
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  out.append_u64_unchecked(bits);
}

// A float or float subclass by its value.
inline Status write_float_object(EncoderState& codec, PyObject* obj) {
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return Status::failure();
  write_float(codec, value);
  return Status::success();
}

// The length-prefixed layout of strings, bytes and the special types.
inline Status write_length_prefixed(EncoderState& codec, uint8_t tag, const char* data, size_t size,
                                    const char* what) {
  if (!check_u32_length(size, what).ok()) return Status::failure();
  DocumentBuffer& out = codec.payload_buffer;
  out.reserve_extra(5 + size);
  out.push_unchecked(tag);
  out.append_u32_unchecked(static_cast<uint32_t>(size));
  out.append_unchecked(data, size);
  return Status::success();
}

// The length-prefixed layout for bytes that `owner`, an immutable bytes or
// str, keeps alive: a large block is spliced into the result, not copied here.
inline Status write_owned_block(EncoderState& codec, uint8_t tag, const char* data, size_t size, const char* what,
                                PyObject* owner) {
  if (size < SplicedBlocks::MIN_SIZE) return write_length_prefixed(codec, tag, data, size, what);
  if (!check_u32_length(size, what).ok()) return Status::failure();
  DocumentBuffer& out = codec.payload_buffer;
  out.reserve_extra(5);
  out.push_unchecked(tag);
  out.append_u32_unchecked(static_cast<uint32_t>(size));
  codec.spliced.add_owned(out.size(), {reinterpret_cast<const uint8_t*>(data), size}, owner);
  return Status::success();
}

// A str (or subclass) as UTF-8 text under `tag`; lone surrogates raise
// UnicodeEncodeError. The text lives as long as the str.
inline Status write_str(EncoderState& codec, uint8_t tag, PyObject* str) {
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(str, &size);
  if (text == nullptr) return Status::failure();
  return write_owned_block(codec, tag, text, static_cast<size_t>(size), "str", str);
}

// An int that fits 64 bits; sets `fits` false (with no error) when it does not.
inline Status write_int_if_fits(EncoderState& codec, PyObject* obj, bool& fits) {
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow != 0) {
    fits = false;
    return Status::success();
  }
  if (value == -1 && PyErr_Occurred()) return Status::failure();
  fits = true;
  write_int64(codec, value);
  return Status::success();
}

}  // namespace quarl
