// Objects that are none of the built-in types: what their type becomes is
// asked of the codec's decision cache (encoder/type_decisions.h); objects
// whose type cannot answer for them go through the walk's attribute steps
// one by one.
#include "encoder/special_objects.h"

#include "encoder/encoder.h"
#include "encoder/standard_values.h"
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

// An enum member is written as its value, at the member's depth (a value
// that is itself replaced goes deeper, so endless chains end at the depth
// limit). Reading a
// missing `value` or `name` (AttributeError) leaves the member to the later
// steps; any other error ends the encode.
Step try_write_enum_value(EncoderState& codec, PyObject* obj) {
  bool member;
  if (!is_enum_member(obj, member).ok()) return Step::failed;
  if (!member) return Step::not_matched;
  PyRef value;
  bool found;
  if (!read_optional_attribute(obj, "value", value, found).ok()) return Step::failed;
  if (!found) return Step::not_matched;
  PyRef name;
  if (!read_optional_attribute(obj, "name", name, found).ok()) return Step::failed;
  if (!found) return Step::not_matched;
  return step_from(write_replacement(codec, value.get()));
}

// Instances of ordinary classes and dataclasses: the dict of their attributes,
// at the depth of the object itself. A missing __dict__ (AttributeError)
// leaves the object to the last step.
Step try_write_attribute_dict(EncoderState& codec, PyObject* obj) {
  PyRef dict;
  bool found;
  if (!read_optional_attribute(obj, "__dict__", dict, found).ok()) return Step::failed;
  if (!found || !PyDict_Check(dict.get())) return Step::not_matched;
  return step_from(write_dict(codec, dict.get()));
}

// The attribute steps, from the array step to str(), on one object.
Status write_per_object(EncoderState& codec, PyObject* obj) {
  ++codec.python_calls;
  Step step = try_write_float_array(codec, obj);
  if (step == Step::not_matched) {
    PyRef name;
    std::string_view type_name;
    if (!type_qualname(obj, name, type_name).ok()) return Status::failure();
    if (type_name == "Decimal") return write_str_of(codec, TAG_DECIMAL, obj);
    step = try_write_isoformat(codec, obj, type_name);
    if (step == Step::not_matched) step = try_write_uuid(codec, obj, type_name);
    if (step == Step::not_matched) step = try_write_enum_value(codec, obj);
    if (step == Step::not_matched) step = try_write_table(codec, obj, type_name);
    if (step == Step::not_matched) step = try_write_attribute_dict(codec, obj);
  }
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

// The instance dict of an object of a type decided as a model or an
// enumeration, or null (no error) when this object holds an attribute of its
// own that one of the steps before the __dict__ step would find: such an
// object goes through the steps one by one.
Status instance_dict(PyObject* obj, const EncodeNames& names, bool pydantic, PyRef& dict) {
  dict = PyRef::steal(PyObject_GenericGetDict(obj, nullptr));
  if (!dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Status::failure();
    PyErr_Clear();
    return Status::success();
  }
  int own = PyDict_Contains(dict.get(), names.isoformat.get());
  if (own < 0) return Status::failure();
  if (own == 0 && pydantic) {
    PyRef extra = PyRef::steal(PyObject_GenericGetAttr(obj, names.pydantic_extra.get()));
    if (!extra) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Status::failure();
      PyErr_Clear();
    } else if (extra.get() != Py_None) {
      own = PyDict_Check(extra.get()) ? PyDict_Contains(extra.get(), names.isoformat.get()) : 1;
      if (own < 0) return Status::failure();
    }
  }
  if (own != 0) dict.reset();
  return Status::success();
}

Status write_model(EncoderState& codec, PyObject* obj, const Decision& decision) {
  PyRef dict;
  if (!instance_dict(obj, codec.decisions.names(), decision.pydantic, dict).ok()) return Status::failure();
  if (!dict) return write_per_object(codec, obj);
  return write_model_dict(codec, Py_TYPE(obj), dict.get(), decision.keys);
}

// A member is written as its `_value_`, read from the member itself: a
// callback may change it between two objects.
Status write_enum_member(EncoderState& codec, PyObject* obj) {
  const EncodeNames& names = codec.decisions.names();
  PyRef dict;
  if (!instance_dict(obj, names, false, dict).ok()) return Status::failure();
  if (!dict) return write_per_object(codec, obj);
  PyObject* value = PyDict_GetItemWithError(dict.get(), names.enum_value.get());
  if (value == nullptr && PyErr_Occurred()) return Status::failure();
  int named = PyDict_Contains(dict.get(), names.enum_name.get());
  if (named < 0) return Status::failure();
  if (value == nullptr || named == 0) return write_per_object(codec, obj);
  return write_replacement(codec, value);
}

// The value a library's object stands for, from one of its methods,
// written in its place.
Status write_method_result(EncoderState& codec, PyObject* obj, PyObject* method) {
  ++codec.python_calls;
  PyRef value = PyRef::steal(PyObject_CallMethodObjArgs(obj, method, nullptr));
  if (!value) return Status::failure();
  return write_replacement(codec, value.get());
}

// A subclass of a standard date type, as its base type writes it: the
// base's tag and the text of the base's own isoformat().
Status write_as_base(EncoderState& codec, PyObject* obj, const PyRef& base, uint8_t tag) {
  ++codec.python_calls;
  PyRef text = PyRef::steal(
      PyObject_CallMethodObjArgs(base.get(), codec.decisions.names().isoformat.get(), obj, nullptr));
  if (!text) return Status::failure();
  return write_text_result(codec, tag, text.get(), "isoformat()");
}

// A dataclass without an instance dict: the dict of its fields, in order.
Status write_dataclass_fields(EncoderState& codec, PyObject* obj, const Decision& decision) {
  ++codec.python_calls;
  codec.payload_buffer.push(TAG_DICT);
  for (const PyRef& name : *decision.fields) {
    PyRef value = PyRef::steal(PyObject_GetAttr(obj, name.get()));
    if (!value) return Status::failure();
    uint32_t index;
    Status interned = PyUnicode_CheckExact(name.get()) ? codec.strings.intern_str(name.get(), index)
                                                        : Status::failure();
    if (!interned.ok()) return PyErr_Occurred() ? Status::failure() : raise(PyExc_TypeError, "field name");
    codec.payload_buffer.append_u32(index);
    if (!serialize_any_optimized(codec, value.get()).ok()) return Status::failure();
  }
  codec.payload_buffer.push(TAG_DICT_END);
  return Status::success();
}

Status write_decimal(EncoderState& codec, PyObject* obj, const Decision& decision) {
  if (!decision.immutable) ++codec.python_calls;
  return write_str_of(codec, TAG_DECIMAL, obj);
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
  PyRef enum_class;
  bool found;
  if (!read_optional_attribute(enum_module, "Enum", enum_class, found).ok()) return Status::failure();
  if (!found) return Status::success();
  int result = PyObject_IsInstance(obj, enum_class.get());
  if (result < 0) return Status::failure();
  member = result == 1;
  return Status::success();
}

Status write_special_object(EncoderState& codec, PyObject* obj) {
  Decision decision;
  if (!codec.decisions.decide(obj, codec.python_calls, codec.layout, decision).ok()) {
    return Status::failure();
  }
  const EncodeNames& names = codec.decisions.names();
  switch (decision.kind) {
    case Kind::builtin_subclass:
      return write_builtin_subclass(codec, obj);
    case Kind::per_object:
      break;
    case Kind::decimal:
      return write_decimal(codec, obj, decision);
    case Kind::standard_date:
      return write_standard_date(codec, obj, names, codec.decisions.timezone_memo());
    case Kind::standard_time:
      return write_standard_time(codec, obj, names, codec.decisions.timezone_memo());
    case Kind::standard_datetime:
      return write_standard_datetime(codec, obj, names, codec.decisions.timezone_memo());
    case Kind::standard_uuid:
      return write_standard_uuid(codec, obj, names);
    case Kind::enum_member:
      return write_enum_member(codec, obj);
    case Kind::model:
      return write_model(codec, obj, decision);
    case Kind::unhandled:
      return write_unhandled(codec, obj);
    case Kind::ordered_dict:
      return write_ordered_dict(codec, obj);
    case Kind::missing:
      write_none(codec);
      return Status::success();
    case Kind::numpy_scalar:
      return write_method_result(codec, obj, names.item.get());
    case Kind::values_list:
      return write_method_result(codec, obj, names.tolist.get());
    case Kind::base_datetime:
      return write_as_base(codec, obj, names.base_datetime_type, TAG_DATETIME);
    case Kind::base_date:
      return write_as_base(codec, obj, names.base_date_type, TAG_DATE);
    case Kind::base_time:
      return write_as_base(codec, obj, names.base_time_type, TAG_TIME);
    case Kind::secret:
      ++codec.python_calls;
      return write_str_of(codec, TAG_STRING, obj);
    case Kind::dataclass_fields:
      return write_dataclass_fields(codec, obj, decision);
  }
  return write_per_object(codec, obj);
}

Status write_unhandled(EncoderState& codec, PyObject* obj) {
  ++codec.python_calls;
  if (!codec.default_hook) return write_str_of(codec, TAG_STRING, obj);
  // The hook may drop the codec's reference to itself (a codec is never
  // re-entered, but the hook may be cleared by the collector meanwhile).
  PyRef hook = PyRef::borrow(codec.default_hook.get());
  PyRef replacement = PyRef::steal(PyObject_CallFunctionObjArgs(hook.get(), obj, nullptr));
  if (!replacement) return Status::failure();
  return serialize_any_optimized(codec, replacement.get());
}

}  // namespace quarl
