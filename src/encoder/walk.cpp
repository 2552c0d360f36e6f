// The general walk: the fixed order of type tests that decides what every
// Python value becomes.
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

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

// The index of a key that is not an exact str; `text` is its key text.
Status intern_key(EncoderState& codec, PyObject* key, uint32_t& index, std::string& text) {
  ++codec.python_calls;
  if (PyUnicode_Check(key)) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
    if (utf8 == nullptr) return Status::failure();
    text.assign(utf8, static_cast<size_t>(size));
    return codec.strings.intern_text(text, index);
  }
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

// Only an ordinary Exception from str(key) is reported as unraisable;
// KeyboardInterrupt, SystemExit and MemoryError end the encode.
Status unprintable_key_text(PyObject* key, std::string& text) {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return Status::failure();
  }
  PyErr_WriteUnraisable(key);
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(key)));
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (utf8 == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return Status::failure();
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

// The indices of one dict's keys, kept once a key that is not an exact str
// appears: two keys whose texts are equal (the int 1 and the str "1") would
// be merged by the decoder, so they fail the encode. Exact str keys cannot
// collide, so dicts of them never keep anything.
class KeyTexts {
 public:
  bool active() const noexcept { return seen_ != nullptr; }
  // Starts keeping, with the indices of the dict's first `count` keys, all
  // exact strs (interned already, so this runs no Python code).
  Status activate(EncoderState& codec, PyObject* dict, size_t count) {
    activate_empty();
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    for (size_t i = 0; i < count && PyDict_Next(dict, &pos, &key, &value); ++i) {
      uint32_t index;
      if (!PyUnicode_CheckExact(key) || !codec.strings.intern_str(key, index).ok()) continue;
      seen_->insert(index);
    }
    return PyErr_Occurred() ? Status::failure() : Status::success();
  }
  void activate_empty() { seen_ = std::make_unique<std::unordered_set<uint32_t>>(); }
  // Fails when another key of the dict had the same text.
  Status add(uint32_t index, std::string_view text) {
    if (!active() || seen_->insert(index).second) return Status::success();
    PyRef shown = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!shown) return Status::failure();
    return raise_format(PyExc_ValueError, "two keys of one dict are both written as the key text %R", shown.get());
  }
  Status add_str(uint32_t index, PyObject* key) {
    if (!active() || seen_->insert(index).second) return Status::success();
    return raise_format(PyExc_ValueError, "two keys of one dict are both written as the key text %R", key);
  }

 private:
  // Made only when a key that is not an exact str appears.
  std::unique_ptr<std::unordered_set<uint32_t>> seen_;
};

// A key that is not an exact str: str(key) may change the dict, so the
// entry is held until it is written.
Status write_other_entry(EncoderState& codec, PyObject* key, PyObject* value, KeyTexts& texts) {
  PyRef held_key = PyRef::borrow(key);
  PyRef held_value = PyRef::borrow(value);
  uint32_t index;
  std::string text;
  if (!intern_key(codec, held_key.get(), index, text).ok()) return Status::failure();
  if (!texts.add(index, text).ok()) return Status::failure();
  codec.payload_buffer.append_u32(index);
  return serialize_any_optimized(codec, held_value.get());
}

bool hinted(const KeyHint* hint, size_t position, PyObject* key) noexcept {
  if (hint == nullptr || position >= hint->names.size()) return false;
  PyObject* name = hint->names[position].get();
  if (key == name) return true;
  return name != nullptr && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name) == 0;
}

// One entry; `position` counts the entries written before it.
[[gnu::always_inline]] inline Status write_entry(EncoderState& codec, PyObject* dict, PyObject* key, PyObject* value,
                                                 size_t position, const KeyHint* hint, KeyHint* building,
                                                 KeyTexts& texts) {
  uint32_t index;
  if (hinted(hint, position, key)) {
    index = hint->indices[position];
    if (texts.active() && !texts.add_str(index, key).ok()) return Status::failure();
    codec.payload_buffer.append_u32(index);
    return write_item(codec, value);
  }
  if (PyUnicode_CheckExact(key)) {
    if (!codec.strings.intern_str(key, index).ok()) return Status::failure();
    if (texts.active() && !texts.add_str(index, key).ok()) return Status::failure();
    if (building != nullptr) {
      building->names.push_back(PyRef::borrow(key));
      building->indices.push_back(index);
    }
    codec.payload_buffer.append_u32(index);
    return write_item(codec, value);
  }
  if (building != nullptr) {
    building->names.emplace_back();
    building->indices.push_back(0);
  }
  if (!texts.active() && dict != nullptr && !texts.activate(codec, dict, position).ok()) return Status::failure();
  return write_other_entry(codec, key, value, texts);
}

// The entries in the dict's own storage order. Keys at the positions of a
// key hint take its indices; `building` records the keys met, to make a
// hint of them.
Status write_dict_entries(EncoderState& codec, PyObject* dict, const KeyHint* hint = nullptr,
                          KeyHint* building = nullptr) {
  Py_ssize_t expected_size = PyDict_Size(dict);
  uint64_t calls_at_start = codec.python_calls;
  Py_ssize_t pos = 0;
  size_t position = 0;
  PyObject* key;
  PyObject* value;
  KeyTexts texts;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!write_entry(codec, dict, key, value, position, hint, building, texts).ok()) return Status::failure();
    ++position;
    if (codec.python_calls != calls_at_start && PyDict_Size(dict) != expected_size) {
      return raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
  }
  return Status::success();
}

// A dict subclass whose iteration order is its own (OrderedDict): the keys
// in that order, each with the value stored under it.
Status write_ordered_entries(EncoderState& codec, PyObject* dict) {
  ++codec.python_calls;
  PyRef iterator = PyRef::steal(PyObject_GetIter(dict));
  if (!iterator) return Status::failure();
  KeyTexts texts;
  texts.activate_empty();
  size_t position = 0;
  while (PyRef key = PyRef::steal(PyIter_Next(iterator.get()))) {
    PyRef value = PyRef::steal(PyObject_GetItem(dict, key.get()));
    if (!value) return Status::failure();
    if (!write_entry(codec, nullptr, key.get(), value.get(), position++, nullptr, nullptr, texts).ok()) {
      return Status::failure();
    }
  }
  return PyErr_Occurred() ? Status::failure() : Status::success();
}

}  // namespace

Status write_dict(EncoderState& codec, PyObject* dict) {
  codec.payload_buffer.push(TAG_DICT);
  if (!write_dict_entries(codec, dict).ok()) return Status::failure();
  codec.payload_buffer.push(TAG_DICT_END);
  return Status::success();
}

Status write_ordered_dict(EncoderState& codec, PyObject* dict) {
  codec.payload_buffer.push(TAG_DICT);
  if (!write_ordered_entries(codec, dict).ok()) return Status::failure();
  codec.payload_buffer.push(TAG_DICT_END);
  return Status::success();
}

Status write_model_dict(EncoderState& codec, PyTypeObject* type, PyObject* dict, const KeyHint* keys) {
  codec.payload_buffer.push(TAG_DICT);
  if (keys == nullptr && codec.decisions.wants_key_hint(type)) {
    auto building = std::make_unique<KeyHint>();
    if (!write_dict_entries(codec, dict, nullptr, building.get()).ok()) return Status::failure();
    if (building->names.empty()) building.reset();
    codec.decisions.set_key_hint(type, std::move(building));
  } else if (!write_dict_entries(codec, dict, keys).ok()) {
    return Status::failure();
  }
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

// A long list that starts with an object is a model batch: room for all its
// items is reserved at once. Its items are written one by one, each as the
// general walk writes it, so the batch cannot differ from the walk.
Status prepare_model_batch(EncoderState& codec, PyObject* list, Py_ssize_t count) {
  if (count < static_cast<Py_ssize_t>(BATCH_MIN_ITEMS)) return Status::success();
  PyObject* first = list_item_at(codec.layout, list, 0);
  if (first == nullptr || is_builtin_value(first)) return Status::success();
  PyRef held = PyRef::borrow(first);
  return reserve_model_batch(codec, held.get(), static_cast<size_t>(count));
}

// Items are read by position; a list that grows meanwhile is written up to
// the count taken at its start, one that shrinks fails the encode.
Status write_list(EncoderState& codec, PyObject* list) {
  Py_ssize_t count = Py_SIZE(list);
  if (!write_count(codec, count, "list").ok()) return Status::failure();
  if (!prepare_model_batch(codec, list, count).ok()) return Status::failure();
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

// Everything but the exact scalars: exact containers first, then what the
// decision cache says about the type (subclasses of the built-in types
// among them).
Status write_non_scalar(EncoderState& codec, PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyDict_Type) return write_dict(codec, obj);
  if (type == &PyList_Type) return write_list(codec, obj);
  if (type == &PyTuple_Type) return write_tuple(codec, obj);
  if (type == &PyBytes_Type) return write_bytes(codec, obj);
  if (type == &PySet_Type || type == &PyFrozenSet_Type) return write_set(codec, obj);
  return write_special_object(codec, obj);
}

}  // namespace

// Built-in types by subtype test, in the order of the exact-type tests.
Status write_builtin_subclass(EncoderState& codec, PyObject* obj) {
  if (PyLong_Check(obj)) return write_int(codec, obj);
  if (PyFloat_Check(obj)) return write_float_object(codec, obj);
  if (PyUnicode_Check(obj)) return write_str(codec, TAG_STRING, obj);
  if (PyDict_Check(obj)) return write_dict(codec, obj);
  if (PyList_Check(obj)) return write_list(codec, obj);
  if (PyTuple_Check(obj)) return write_tuple(codec, obj);
  if (is_set_like(obj)) return write_set(codec, obj);
  if (PyBytes_Check(obj)) return write_bytes(codec, obj);
  // Only a class whose bases changed since its decision gets here.
  return write_unhandled(codec, obj);
}

namespace {

Status write_value(EncoderState& codec, PyObject* obj) {
  Status status = Status::success();
  if (write_exact_scalar(codec, obj, status)) return status;
  return write_non_scalar(codec, obj);
}

}  // namespace

Status write_replacement(EncoderState& codec, PyObject* replacement) {
  PyRef held = PyRef::borrow(replacement);
  uint64_t outer = codec.replacing_depth;
  Status status = Status::success();
  if (outer == codec.encode_depth) {
    // A replacement of a replacement: each further step is one level deeper.
    DepthScope depth(codec);
    if (!depth.entered()) return Status::failure();
    codec.replacing_depth = codec.encode_depth;
    status = write_value(codec, held.get());
  } else {
    if (Py_EnterRecursiveCall(" while encoding a QUARL value") != 0) return Status::failure();
    codec.replacing_depth = codec.encode_depth;
    status = write_value(codec, held.get());
    Py_LeaveRecursiveCall();
  }
  codec.replacing_depth = outer;
  return status;
}

namespace {

Status write_nested(EncoderState& codec, PyObject* obj) {
  DepthScope depth(codec);
  if (!depth.entered()) return Status::failure();
  return write_value(codec, obj);
}

}  // namespace

// The root value starts and ends an encode: the decisions about types are
// made afresh for each one, and let go of at its end.
Status serialize_any_optimized(EncoderState& codec, PyObject* obj) {
  if (codec.encode_depth != 0) return write_nested(codec, obj);
  codec.decisions.clear();
  codec.replacing_depth = 0;
  Status status = write_nested(codec, obj);
  if (status.ok()) {
    codec.decisions.clear();
    return status;
  }
  // Letting go of a type may run Python code, which must not see the error.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  codec.decisions.clear();
  PyErr_Restore(type, value, traceback);
  return status;
}

}  // namespace quarl
