// The general walk: the fixed order of type tests that decides what every
// Python value becomes.
#include <algorithm>
#include <string>

#include "common/object_layout.h"
#include "common/pyref.h"
#include "encoder/encoder.h"
#include "encoder/special_objects.h"
#include "encoder/writers.h"

namespace quarl {
namespace {

Status write_value(EncoderState& codec, PyObject* obj);

// Key text for a key that is not a str: str(key), with characters UTF-8
// cannot carry replaced by U+FFFD; a key whose str() raises is reported as
// unraisable and named by its type.
Status non_str_key_text(PyObject* key, std::string& text);

Status intern_key(EncoderState& codec, PyObject* key, uint32_t& index) {
  if (PyUnicode_CheckExact(key)) return codec.strings.intern_str(key, index);
  ++codec.python_calls;
  if (PyUnicode_Check(key)) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) return Status::failure();
    return codec.strings.intern_text(std::string_view(utf8, static_cast<size_t>(size)), index);
  }
  std::string text;
  if (!non_str_key_text(key, text).ok()) return Status::failure();
  return codec.strings.intern_text(text, index);
}

void append_utf8_replacing_surrogates(std::string& out, Py_UCS4 c) {
  if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

Status unprintable_key_text(PyObject* key, std::string& text) {
  PyErr_WriteUnraisable(key);
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(key)));
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    text = "<unprintable object>";
  } else {
    text = std::string("<unprintable ") + utf8 + " object>";
  }
  return Status::success();
}

Status non_str_key_text(PyObject* key, std::string& text) {
  PyRef str = PyRef::steal(PyObject_Str(key));
  if (!str) return unprintable_key_text(key, text);
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &size);
  if (utf8 != nullptr) {
    text.assign(utf8, static_cast<size_t>(size));
    return Status::success();
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Status::failure();
  PyErr_Clear();
  Py_ssize_t length = PyUnicode_GetLength(str.get());
  for (Py_ssize_t i = 0; i < length; ++i) {
    append_utf8_replacing_surrogates(text, PyUnicode_ReadChar(str.get(), i));
  }
  return Status::success();
}

// An int outside 64 bits is written as its decimal text, whatever its class,
// or handed to the `default` hook like any other value written as its str().
Status write_int_as_text(EncoderState& codec, PyObject* obj) {
  if (codec.default_hook) return write_unhandled(codec, obj);
  ++codec.python_calls;
  PyRef text = PyRef::steal(PyNumber_ToBase(obj, 10));
  if (!text) return Status::failure();
  return write_str(codec, TAG_STRING, text.get());
}

Status write_int(EncoderState& codec, PyObject* obj) {
  bool fits;
  if (!write_int_if_fits(codec, obj, fits).ok()) return Status::failure();
  return fits ? Status::success() : write_int_as_text(codec, obj);
}

// An exact int converts without calling Python code or failing.
[[gnu::always_inline]] inline Status write_exact_int(EncoderState& codec, PyObject* obj) {
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow != 0) return write_int_as_text(codec, obj);
  write_int64(codec, value);
  return Status::success();
}

// Exact scalars call no Python code, so a container loop writes them in place
// without a reference or depth scope of their own (only the depth bound).
// Returns false for anything else.
[[gnu::always_inline]] inline bool write_exact_scalar(EncoderState& codec, PyObject* obj, Status& status) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyUnicode_Type) {
    status = write_str(codec, TAG_STRING, obj);
  } else if (type == &PyLong_Type) {
    status = write_exact_int(codec, obj);
  } else if (type == &PyFloat_Type) {
    write_float(codec, exact_float_value(codec.layout, obj));
  } else if (obj == Py_None) {
    write_none(codec);
  } else if (type == &PyBool_Type) {
    write_bool(codec, obj == Py_True);
  } else {
    return false;
  }
  return true;
}

Status write_non_scalar(EncoderState& codec, PyObject* obj);

// Writes one item of a container; `item` is borrowed from the container.
[[gnu::always_inline]] inline Status write_item(EncoderState& codec, PyObject* item) {
  Status status = Status::success();
  if (codec.encode_depth < MAX_DEPTH && write_exact_scalar(codec, item, status)) return status;
  // The item may run Python code that drops it from its container.
  PyRef held = PyRef::borrow(item);
  DepthScope depth(codec);
  if (!depth.entered()) return Status::failure();
  return write_non_scalar(codec, held.get());
}

Status write_dict_entry(EncoderState& codec, PyObject* key, PyObject* value) {
  uint32_t index;
  if (PyUnicode_CheckExact(key)) {
    if (!codec.strings.intern_str(key, index).ok()) return Status::failure();
    codec.payload_buffer.append_u32(index);
    return write_item(codec, value);
  }
  // str(key) may change the dict: the entry is held until it is written.
  PyRef held_key = PyRef::borrow(key);
  PyRef held_value = PyRef::borrow(value);
  if (!intern_key(codec, held_key.get(), index).ok()) return Status::failure();
  codec.payload_buffer.append_u32(index);
  return serialize_any_optimized(codec, held_value.get());
}

Status write_dict_entries(EncoderState& codec, PyObject* dict) {
  Py_ssize_t expected_size = PyDict_Size(dict);
  uint64_t calls_at_start = codec.python_calls;
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!write_dict_entry(codec, key, value).ok()) return Status::failure();
    if (codec.python_calls != calls_at_start && PyDict_Size(dict) != expected_size) {
      return raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
  }
  return Status::success();
}

}  // namespace

Status write_dict(EncoderState& codec, PyObject* dict) {
  codec.payload_buffer.push(TAG_DICT);
  if (!write_dict_entries(codec, dict).ok()) return Status::failure();
  codec.payload_buffer.push(TAG_DICT_END);
  return Status::success();
}

namespace {

[[gnu::always_inline]] inline Status write_count(EncoderState& codec, Py_ssize_t count, const char* what) {
  if (count < 0) return ensure_error_set();
  if (!check_u32_length(static_cast<size_t>(count), what).ok()) return Status::failure();
  codec.payload_buffer.reserve_extra(5 + static_cast<size_t>(count));
  codec.payload_buffer.push_unchecked(TAG_LIST);
  codec.payload_buffer.append_u32_unchecked(static_cast<uint32_t>(count));
  return Status::success();
}

// Runs of exact floats, the bulk of numeric data, are written straight into
// reserved room: no Python code runs meanwhile, so the list cannot change.
// `item` is the exact float at position `i`; returns the position of the
// first item that is not an exact float.
[[gnu::always_inline]] inline Py_ssize_t write_float_run(EncoderState& codec, PyObject* list, PyObject* item,
                                                      Py_ssize_t i, Py_ssize_t count) {
  constexpr Py_ssize_t ROOM_ITEMS = 1024;  // bounds the room reserved ahead
  const ObjectLayout& layout = codec.layout;
  DocumentBuffer& out = codec.payload_buffer;
  while (item != nullptr && Py_TYPE(item) == &PyFloat_Type) {
    Py_ssize_t room_end = std::min(count, i + ROOM_ITEMS);
    out.reserve_extra(9 * static_cast<size_t>(room_end - i));
    uint8_t* p = out.tail();
    do {
      p[0] = TAG_FLOAT64;
      write_f64(p + 1, exact_float_value(layout, item));
      p += 9;
      item = ++i < room_end ? list_item_at(layout, list, i) : nullptr;
    } while (item != nullptr && Py_TYPE(item) == &PyFloat_Type);
    out.advance(static_cast<size_t>(p - out.tail()));
    if (i == room_end && i < count) item = list_item_at(layout, list, i);
  }
  return i;
}

bool is_builtin_value(PyObject* obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || obj == Py_None ||
         type == &PyBool_Type || type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type;
}

// A long list of objects goes to the model batch first, wherever it stands:
// the batch writes the bytes the items would get one by one, or gives up and
// leaves no trace for the items to be written one by one.
bool write_model_batch(EncoderState& codec, PyObject* list) {
  if (Py_SIZE(list) < static_cast<Py_ssize_t>(BATCH_MIN_ITEMS)) return false;
  PyObject* first = list_item_at(codec.layout, list, 0);
  if (first == nullptr || is_builtin_value(first)) return false;
  DocumentBuffer& out = codec.payload_buffer;
  size_t start = out.size();
  StringTable::Mark keys_at_start = codec.strings.mark();
  uint64_t depth = codec.encode_depth;
  ++codec.python_calls;  // the batch reads attributes, which may run Python code
  codec.encode_depth = depth - 1;  // the batch counts the list's own level
  bool written = serialize_pydantic_simd_batch(codec, list);
  codec.encode_depth = depth;
  if (!written) {
    out.truncate(start);
    codec.spliced.drop_from(start);
    codec.strings.truncate(keys_at_start);
  }
  return written;
}

// Items are read by position; a list that grows meanwhile is written up to
// the count taken at its start (after a batch that gave up, which may have
// run code that changed it), one that shrinks fails the encode.
Status write_list(EncoderState& codec, PyObject* list) {
  if (write_model_batch(codec, list)) return Status::success();
  Py_ssize_t count = Py_SIZE(list);
  if (!write_count(codec, count, "list").ok()) return Status::failure();
  bool scalars_inline = codec.encode_depth < MAX_DEPTH;
  Py_ssize_t i = 0;
  while (i < count) {
    PyObject* item = list_item_at(codec.layout, list, i);
    if (item == nullptr) return raise(PyExc_RuntimeError, "list changed size during iteration");
    if (scalars_inline && Py_TYPE(item) == &PyFloat_Type) {
      i = write_float_run(codec, list, item, i, count);
      continue;
    }
    if (!write_item(codec, item).ok()) return Status::failure();
    ++i;
  }
  return Status::success();
}

// A tuple cannot change, and the caller holds it, so its items need no
// references of their own.
Status write_tuple(EncoderState& codec, PyObject* tuple) {
  Py_ssize_t count = PyTuple_Size(tuple);
  if (!write_count(codec, count, "tuple").ok()) return Status::failure();
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GetItem(tuple, i);
    if (item == nullptr) return ensure_error_set();
    if (!write_item(codec, item).ok()) return Status::failure();
  }
  return Status::success();
}

// The count is patched after iterating, so a set whose iterator disagrees
// with its len() still yields a consistent document.
Status write_set(EncoderState& codec, PyObject* set) {
  if (!write_count(codec, PySet_Size(set), "set").ok()) return Status::failure();
  size_t count_offset = codec.payload_buffer.size() - 4;
  ++codec.python_calls;
  PyRef iterator = PyRef::steal(PyObject_GetIter(set));
  if (!iterator) return Status::failure();
  size_t written = 0;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!serialize_any_optimized(codec, item.get()).ok()) return Status::failure();
    ++written;
  }
  if (PyErr_Occurred()) return Status::failure();
  if (!check_u32_length(written, "set").ok()) return Status::failure();
  write_u32(codec.payload_buffer.data() + count_offset, static_cast<uint32_t>(written));
  return Status::success();
}

Status write_bytes(EncoderState& codec, PyObject* bytes) {
  char* data = PyBytes_AsString(bytes);
  Py_ssize_t size = PyBytes_Size(bytes);
  if (data == nullptr || size < 0) return ensure_error_set();
  return write_owned_block(codec, TAG_BYTES, data, static_cast<size_t>(size), "bytes", bytes);
}

bool is_set_like(PyObject* obj) {
  return PyObject_TypeCheck(obj, &PySet_Type) || PyObject_TypeCheck(obj, &PyFrozenSet_Type);
}

// Built-in types by subtype test, in the order of the exact-type tests.
Status write_subclass_or_special(EncoderState& codec, PyObject* obj) {
  if (PyLong_Check(obj)) return write_int(codec, obj);
  if (PyFloat_Check(obj)) return write_float_object(codec, obj);
  if (PyUnicode_Check(obj)) return write_str(codec, TAG_STRING, obj);
  if (PyDict_Check(obj)) return write_dict(codec, obj);
  if (PyList_Check(obj)) return write_list(codec, obj);
  if (PyTuple_Check(obj)) return write_tuple(codec, obj);
  if (is_set_like(obj)) return write_set(codec, obj);
  if (PyBytes_Check(obj)) return write_bytes(codec, obj);
  return write_special_object(codec, obj);
}

// Everything but the exact scalars: exact containers first, then subclasses
// and special objects.
Status write_non_scalar(EncoderState& codec, PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyDict_Type) return write_dict(codec, obj);
  if (type == &PyList_Type) return write_list(codec, obj);
  if (type == &PyTuple_Type) return write_tuple(codec, obj);
  return write_subclass_or_special(codec, obj);
}

Status write_value(EncoderState& codec, PyObject* obj) {
  Status status = Status::success();
  if (write_exact_scalar(codec, obj, status)) return status;
  return write_non_scalar(codec, obj);
}

}  // namespace

Status serialize_any_optimized(EncoderState& codec, PyObject* obj) {
  DepthScope depth(codec);
  if (!depth.entered()) return Status::failure();
  return write_value(codec, obj);
}

}  // namespace quarl
