// Root lists of model objects, written in one batch with shared keys.
//
// The batch is only an optimisation of the general walk: it takes a list only
// when every item is of the first item's type and carries exactly the first
// item's attribute names in the same order, and it gives up on anything else,
// so the document always decodes to what the general walk would give.
// Every function here returns false to give up; an exception it leaves set
// is discarded by serialize_pydantic_simd_batch.
#include <string_view>
#include <vector>

#include "common/pyref.h"
#include "encoder/encoder.h"
#include "encoder/fast_paths.h"
#include "encoder/special_objects.h"
#include "encoder/writers.h"

namespace quarl {
namespace {

// Room reserved per field and per item before the items are written.
constexpr size_t BATCH_BYTES_PER_FIELD = 16;
constexpr size_t BATCH_BYTES_PER_ITEM = 4;
constexpr size_t LIST_HEADER_BYTES = 5;

// Type names the general walk converts before it reaches an object's
// __dict__, and so never writes as a dict of attributes.
constexpr std::string_view CONVERTED_TYPE_NAMES[] = {
    "Decimal", "UUID", "DataFrame", "LazyFrame", "Series", "Index", "Table", "RecordBatch",
};

// The first item's attribute names and their string-table indices.
struct BatchKeys {
  std::vector<PyRef> names;
  std::vector<uint32_t> indices;
  size_t size() const noexcept { return names.size(); }
};

// The value path chosen for the batch, with the ultra-fast path's memory of
// each field.
struct ValuePath {
  bool ultra_fast = false;
  UltraFastState state;

  bool write(EncoderState& codec, PyObject* value, size_t field) {
    if (!ultra_fast) return serialize_value_fast(codec, value).ok();
    return serialize_value_ultra_fast(codec, value, state.names(), state.field(field)).ok();
  }
};

// Reads the attribute mapping that the general walk would write for an
// item: its `__dict__`. When that attribute gives the first item's own
// instance dict, the items' dicts are taken straight from the instances,
// without the attribute lookup.
class AttributeDicts {
 public:
  bool read_first(PyObject* first, PyRef& dict) {
    name_ = PyRef::steal(PyUnicode_InternFromString("__dict__"));
    if (!name_ || !read(first, dict)) return false;
    PyRef own = PyRef::steal(PyObject_GenericGetDict(first, nullptr));
    if (!own) PyErr_Clear();
    direct_ = own.get() == dict.get();
    return true;
  }
  bool read(PyObject* item, PyRef& dict) const {
    dict = PyRef::steal(direct_ ? PyObject_GenericGetDict(item, nullptr) : PyObject_GetAttr(item, name_.get()));
    return dict && PyDict_Check(dict.get());
  }

 private:
  PyRef name_;
  bool direct_ = false;
};

bool is_builtin_value(PyObject* obj) {
  return PyLong_Check(obj) || PyFloat_Check(obj) || PyUnicode_Check(obj) || PyDict_Check(obj) ||
         PyList_Check(obj) || PyTuple_Check(obj) || PyAnySet_Check(obj) || PyBytes_Check(obj);
}

bool has_converted_type_name(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) return true;
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (utf8 == nullptr) return true;
  std::string_view type_name(utf8, static_cast<size_t>(size));
  for (std::string_view converted : CONVERTED_TYPE_NAMES) {
    if (type_name == converted) return true;
  }
  return false;
}

// True when the general walk would reach the __dict__ step for `first`: it
// is none of the built-in types, no buffer (array) exporter, no object with
// an isoformat() method, no enumeration member and no type converted by
// name. Items of the same type are taken to answer these tests alike.
bool reaches_attribute_dict(PyObject* first) {
  if (is_builtin_value(first) || PyObject_CheckBuffer(first) || has_converted_type_name(first)) {
    return false;
  }
  PyRef isoformat;
  bool found;
  if (!read_optional_attribute(first, "isoformat", isoformat, found).ok() || found) return false;
  bool member;
  return is_enum_member(first, member).ok() && !member;
}

bool intern_name(EncoderState& codec, PyObject* name, uint32_t& index) {
  if (PyUnicode_CheckExact(name)) return codec.strings.intern_str(name, index).ok();
  // Keys that are not str would be written under their str() text; the
  // general walk takes care of them.
  if (!PyUnicode_Check(name)) return false;
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 == nullptr) return false;
  return codec.strings.intern_text(std::string_view(utf8, static_cast<size_t>(size)), index).ok();
}

bool collect_keys(PyObject* dict, BatchKeys& keys) {
  Py_ssize_t pos = 0;
  PyObject* name;
  PyObject* value;
  while (PyDict_Next(dict, &pos, &name, &value)) {
    keys.names.push_back(PyRef::borrow(name));
  }
  keys.indices.reserve(keys.size());
  return true;
}

bool is_ultra_fast_type_name(std::string_view name) {
  return name == "date" || name == "time" || name == "datetime" || name == "UUID" || name == "Decimal";
}

// The ultra-fast path when the first item holds a date, time, datetime,
// UUID or Decimal; the fast path otherwise.
bool needs_ultra_fast(PyObject* dict) {
  Py_ssize_t pos = 0;
  PyObject* name;
  PyObject* value;
  while (PyDict_Next(dict, &pos, &name, &value)) {
    if (value == Py_None) continue;
    PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(value)));
    Py_ssize_t size;
    const char* utf8 = type_name ? PyUnicode_AsUTF8AndSize(type_name.get(), &size) : nullptr;
    if (utf8 == nullptr) {
      PyErr_Clear();
      continue;
    }
    if (is_ultra_fast_type_name(std::string_view(utf8, static_cast<size_t>(size)))) return true;
  }
  return false;
}

bool same_name(PyObject* name, PyObject* expected) {
  if (name == expected) return true;
  if (!PyUnicode_Check(name)) return false;
  return PyUnicode_Compare(name, expected) == 0 && !PyErr_Occurred();
}

// Exact strings, ints, floats, bools and None are written without any call
// back into Python, so they cannot change the item's mapping.
bool is_plain_scalar(PyObject* value) noexcept {
  PyTypeObject* type = Py_TYPE(value);
  return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || value == Py_None ||
         type == &PyBool_Type;
}

// One item as a dict of its attributes. Other values may call back into
// Python and change the mapping, so each entry is held and the size checked
// after it.
// The first item's names get their indices as its entries are written, so
// the keys enter the table in the order the general walk would meet them.
bool write_item(EncoderState& codec, PyObject* dict, BatchKeys& keys, ValuePath& path) {
  Py_ssize_t expected_size = static_cast<Py_ssize_t>(keys.size());
  if (PyDict_Size(dict) != expected_size) return false;
  DocumentBuffer& out = codec.payload_buffer;
  out.push(TAG_DICT);
  Py_ssize_t pos = 0;
  PyObject* name;
  PyObject* borrowed_value;
  for (size_t j = 0; j < keys.size(); ++j) {
    if (!PyDict_Next(dict, &pos, &name, &borrowed_value)) return false;
    if (!same_name(name, keys.names[j].get())) return false;
    if (j == keys.indices.size() && !intern_name(codec, name, keys.indices.emplace_back())) return false;
    out.append_u32(keys.indices[j]);
    PyRef value = PyRef::borrow(borrowed_value);
    if (!path.write(codec, value.get(), j)) return false;
    if (!is_plain_scalar(value.get()) && PyDict_Size(dict) != expected_size) return false;
  }
  out.push(TAG_DICT_END);
  return true;
}

void reserve_batch(EncoderState& codec, size_t count, size_t fields) {
  codec.payload_buffer.reserve_extra(count * (BATCH_BYTES_PER_FIELD * fields + BATCH_BYTES_PER_ITEM) +
                                     LIST_HEADER_BYTES);
}

// Every item must be of the first item's type; the list may change
// while values call back into Python, so its size is checked per item.
bool write_items(EncoderState& codec, PyObject* list, const AttributeDicts& dicts, PyTypeObject* model_type,
                 BatchKeys& keys, ValuePath& path) {
  Py_ssize_t count = PyList_Size(list);
  if (!check_u32_length(static_cast<size_t>(count), "list").ok()) return false;
  reserve_batch(codec, static_cast<size_t>(count), keys.size());
  codec.payload_buffer.push_unchecked(TAG_LIST);
  codec.payload_buffer.append_u32_unchecked(static_cast<uint32_t>(count));
  DepthScope item_depth(codec);
  if (!item_depth.entered()) return false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (i >= PyList_Size(list)) return false;
    PyRef item = PyRef::borrow(PyList_GetItem(list, i));
    if (!item || Py_TYPE(item.get()) != model_type) return false;
    PyRef dict;
    if (!dicts.read(item.get(), dict)) return false;
    if (!write_item(codec, dict.get(), keys, path)) return false;
  }
  return true;
}

bool write_batch(EncoderState& codec, PyObject* list) {
  DepthScope list_depth(codec);
  if (!list_depth.entered()) return false;
  PyRef first = PyRef::borrow(PyList_GetItem(list, 0));
  if (!first) return false;
  AttributeDicts dicts;
  PyRef first_dict;
  if (!dicts.read_first(first.get(), first_dict)) return false;
  if (!reaches_attribute_dict(first.get())) return false;
  BatchKeys keys;
  if (!collect_keys(first_dict.get(), keys)) return false;
  ValuePath path;
  path.ultra_fast = needs_ultra_fast(first_dict.get());
  if (path.ultra_fast && !path.state.prepare(codec, keys.size()).ok()) return false;
  return write_items(codec, list, dicts, Py_TYPE(first.get()), keys, path);
}

}  // namespace

bool serialize_pydantic_simd_batch(EncoderState& codec, PyObject* list) {
  if (write_batch(codec, list)) return true;
  PyErr_Clear();
  return false;
}

}  // namespace quarl
