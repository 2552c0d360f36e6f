#include "encoder/special_objects.h"

#include "encoder/encoder.h"
#include "encoder/writers.h"

namespace quarl {
namespace {

Status write_text_result(EncoderState& codec, uint8_t tag, PyObject* text, const char* source) {
  if (!PyUnicode_Check(text)) {
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(text)));
    if (!type_name) return Status::failure();
    return raise_format(PyExc_TypeError, "%s must be str, not %U", source, type_name.get());
  }
  return write_str(codec, tag, text);
}

Status write_str_of(EncoderState& codec, uint8_t tag, PyObject* obj) {
  PyRef text = PyRef::steal(PyObject_Str(obj));
  if (!text) return Status::failure();
  return write_str(codec, tag, text.get());
}

// Objects with an isoformat() method: dates, times, datetimes by type name,
// anything else as a plain string.
Step try_write_isoformat(EncoderState& codec, PyObject* obj, std::string_view type_name) {
  PyRef method;
  bool found;
  if (!read_optional_attribute(obj, "isoformat", method, found).ok()) return Step::failed;
  if (!found) return Step::not_matched;
  PyRef text = PyRef::steal(PyObject_CallNoArgs(method.get()));
  if (!text) return Step::failed;
  return step_from(write_text_result(codec, isoformat_tag(type_name), text.get(), "isoformat()"));
}

Step try_write_uuid(EncoderState& codec, PyObject* obj, std::string_view type_name) {
  PyRef hex;
  bool found;
  if (!read_optional_attribute(obj, "hex", hex, found).ok()) return Step::failed;
  if (!found || type_name != "UUID") return Step::not_matched;
  return step_from(write_text_result(codec, TAG_UUID, hex.get(), "UUID.hex"));
}

// An enum member is written as its value, one level deeper than the member,
// so a value that leads back to a member ends at the depth limit.
Step try_write_enum_value(EncoderState& codec, PyObject* obj) {
  bool member;
  if (!is_enum_member(obj, member).ok()) return Step::failed;
  if (!member) return Step::not_matched;
  PyRef value = PyRef::steal(PyObject_GetAttrString(obj, "value"));
  if (!value) {
    PyErr_Clear();
    return Step::not_matched;
  }
  PyRef name;
  bool found;
  if (!read_optional_attribute(obj, "name", name, found).ok()) return Step::failed;
  if (!found) return Step::not_matched;
  return step_from(serialize_any_optimized(codec, value.get()));
}

// Instances of ordinary classes and dataclasses: the dict of their attributes,
// at the depth of the object itself.
Step try_write_attribute_dict(EncoderState& codec, PyObject* obj) {
  PyRef dict = PyRef::steal(PyObject_GetAttrString(obj, "__dict__"));
  if (!dict) {
    PyErr_Clear();
    return Step::not_matched;
  }
  if (!PyDict_Check(dict.get())) return Step::not_matched;
  return step_from(write_dict(codec, dict.get()));
}

Step try_attribute_steps(EncoderState& codec, PyObject* obj) {
  PyRef name;
  std::string_view type_name;
  if (!type_qualname(obj, name, type_name).ok()) return Step::failed;
  if (type_name == "Decimal") return step_from(write_str_of(codec, TAG_DECIMAL, obj));
  Step step = try_write_isoformat(codec, obj, type_name);
  if (step == Step::not_matched) step = try_write_uuid(codec, obj, type_name);
  if (step == Step::not_matched) step = try_write_enum_value(codec, obj);
  if (step == Step::not_matched) step = try_write_table(codec, obj, type_name);
  if (step == Step::not_matched) step = try_write_attribute_dict(codec, obj);
  return step;
}

}  // namespace

Status type_qualname(PyObject* obj, PyRef& name, std::string_view& text) {
  name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) return Status::failure();
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (utf8 == nullptr) return Status::failure();
  text = std::string_view(utf8, static_cast<size_t>(size));
  return Status::success();
}

uint8_t isoformat_tag(std::string_view type_name) {
  if (type_name == "datetime") return TAG_DATETIME;
  if (type_name == "date") return TAG_DATE;
  if (type_name == "time") return TAG_TIME;
  return TAG_STRING;
}

namespace {

// Turns the result of an attribute read into hasattr()'s answer.
Status found_or_absent(PyRef& value, bool& found) {
  found = static_cast<bool>(value);
  if (found) return Status::success();
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Status::failure();
  PyErr_Clear();
  return Status::success();
}

}  // namespace

Status read_optional_attribute(PyObject* obj, const char* name, PyRef& value, bool& found) {
  value = PyRef::steal(PyObject_GetAttrString(obj, name));
  return found_or_absent(value, found);
}

Status read_optional_attribute(PyObject* obj, PyObject* name, PyRef& value, bool& found) {
  value = PyRef::steal(PyObject_GetAttr(obj, name));
  return found_or_absent(value, found);
}

Status is_enum_member(PyObject* obj, bool& member) {
  member = false;
  PyObject* enum_module = PyDict_GetItemString(PyImport_GetModuleDict(), "enum");
  if (enum_module == nullptr) return Status::success();
  PyRef enum_class = PyRef::steal(PyObject_GetAttrString(enum_module, "Enum"));
  if (!enum_class) {
    PyErr_Clear();
    return Status::success();
  }
  int result = PyObject_IsInstance(obj, enum_class.get());
  if (result < 0) return Status::failure();
  member = result == 1;
  return Status::success();
}

Status write_special_object(EncoderState& codec, PyObject* obj) {
  ++codec.python_calls;
  Step step = try_write_float_array(codec, obj);
  if (step == Step::not_matched) step = try_attribute_steps(codec, obj);
  switch (step) {
    case Step::written:
      return Status::success();
    case Step::failed:
      return Status::failure();
    case Step::not_matched:
      break;
  }
  return write_unhandled(codec, obj);
}

Status write_unhandled(EncoderState& codec, PyObject* obj) {
  if (!codec.default_hook) return write_str_of(codec, TAG_STRING, obj);
  // The hook may drop the codec's reference to itself (a codec is never
  // re-entered, but the hook may be cleared by the collector meanwhile).
  PyRef hook = PyRef::borrow(codec.default_hook.get());
  ++codec.python_calls;
  PyRef replacement = PyRef::steal(PyObject_CallFunctionObjArgs(hook.get(), obj, nullptr));
  if (!replacement) return Status::failure();
  return serialize_any_optimized(codec, replacement.get());
}

}  // namespace quarl
