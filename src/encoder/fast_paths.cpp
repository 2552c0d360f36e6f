// The reduced walks used for the field values of a model batch. They write
// the common types inline and hand everything else to the general walk; for
// every value they write exactly the bytes the general walk would.
#include "encoder/fast_paths.h"

#include <string_view>

#include "encoder/encoder.h"
#include "encoder/special_objects.h"
#include "encoder/writers.h"

namespace quarl {
namespace {

enum class Inline { written, not_inline, failed };

Inline inline_from(Status status) { return status.ok() ? Inline::written : Inline::failed; }

// Ints that need more than 64 bits fail with OverflowError; the batch then
// leaves the whole list to the general walk, which writes them as text.
Status write_int_in_range(EncoderState& codec, PyObject* obj) {
  long long value = PyLong_AsLongLong(obj);
  if (value == -1 && PyErr_Occurred()) return Status::failure();
  write_int64(codec, value);
  return Status::success();
}

// None, bools, ints, strings and floats, by exact type.
Inline write_exact_scalar(EncoderState& codec, PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyUnicode_Type) return inline_from(write_str(codec, TAG_STRING, obj));
  if (type == &PyLong_Type) return inline_from(write_int_in_range(codec, obj));
  if (type == &PyFloat_Type) {
    write_float(codec, PyFloat_AsDouble(obj));
    return Inline::written;
  }
  if (obj == Py_None) {
    write_none(codec);
    return Inline::written;
  }
  if (type == &PyBool_Type) {
    write_bool(codec, obj == Py_True);
    return Inline::written;
  }
  return Inline::not_inline;
}

// Subclasses of int, str and float (int and str enumerations among them).
Inline write_scalar_subclass(EncoderState& codec, PyObject* obj) {
  if (PyLong_Check(obj)) return inline_from(write_int_in_range(codec, obj));
  if (PyUnicode_Check(obj)) return inline_from(write_str(codec, TAG_STRING, obj));
  if (PyFloat_Check(obj)) return inline_from(write_float_object(codec, obj));
  return Inline::not_inline;
}

// Scalars of any class, written without any attribute lookup. The caller
// has checked the depth.
Inline write_scalar(EncoderState& codec, PyObject* obj) {
  Inline written = write_exact_scalar(codec, obj);
  return written == Inline::not_inline ? write_scalar_subclass(codec, obj) : written;
}

Status status_of(Inline written) { return written == Inline::written ? Status::success() : Status::failure(); }

// A value at the depth limit goes to the general walk, which refuses it.
bool below_depth_limit(const EncoderState& codec) noexcept { return codec.encode_depth < MAX_DEPTH; }

// Items are read by position, like the general walk's lists. Exact floats
// are written inline; every other item goes through `write_item`, so ints
// and bools keep their own tags.
template <typename WriteItem>
Status write_list(EncoderState& codec, PyObject* list, WriteItem write_item) {
  DepthScope depth(codec);
  if (!depth.entered()) return Status::failure();
  Py_ssize_t count = PyList_Size(list);
  if (count < 0) return ensure_error_set();
  if (!check_u32_length(static_cast<size_t>(count), "list").ok()) return Status::failure();
  DocumentBuffer& out = codec.payload_buffer;
  out.reserve_extra(5);
  out.push_unchecked(TAG_LIST);
  out.append_u32_unchecked(static_cast<uint32_t>(count));
  if (count == 0) return Status::success();
  bool items_inline = below_depth_limit(codec);
  if (PyFloat_CheckExact(PyList_GetItem(list, 0))) out.reserve_extra(9 * static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (i >= PyList_Size(list)) return raise(PyExc_RuntimeError, "list changed size during iteration");
    PyObject* item = PyList_GetItem(list, i);
    if (item == nullptr) return ensure_error_set();
    if (items_inline && PyFloat_CheckExact(item)) {
      write_float(codec, PyFloat_AsDouble(item));
      continue;
    }
    PyRef held = PyRef::borrow(item);
    if (!write_item(held.get()).ok()) return Status::failure();
  }
  return Status::success();
}

Status write_list_fast(EncoderState& codec, PyObject* list) {
  return write_list(codec, list, [&codec](PyObject* item) { return serialize_value_fast(codec, item); });
}

// The items share a memo one level below the list's own.
Status write_list_ultra_fast(EncoderState& codec, PyObject* list, const ValueNames& names, FieldMemo& memo) {
  FieldMemo& items = memo.inner();
  return write_list(codec, list, [&](PyObject* item) {
    return serialize_value_ultra_fast(codec, item, names, items);
  });
}

// --- Objects of the ultra-fast path -------------------------------------

PyRef interned(const char* text) { return PyRef::steal(PyUnicode_InternFromString(text)); }

// An attribute of a module that is already imported; null (no error set)
// when the module is not in sys.modules or lacks the attribute.
PyRef imported_attribute(const char* module_name, const char* name) {
  PyObject* module = PyDict_GetItemString(PyImport_GetModuleDict(), module_name);
  if (module == nullptr || module == Py_None) return PyRef();
  PyRef attribute = PyRef::steal(PyObject_GetAttrString(module, name));
  if (!attribute) PyErr_Clear();
  return attribute;
}

PyRef type_attribute(const PyRef& type, const char* name) {
  if (!type) return PyRef();
  PyRef attribute = PyRef::steal(PyObject_GetAttrString(type.get(), name));
  if (!attribute) PyErr_Clear();
  return attribute;
}

struct KindDecision {
  ObjectKind kind = ObjectKind::general;
  uint8_t tag = 0;
};

Status decide_by_attributes(PyObject* obj, std::string_view type_name, const ValueNames& names,
                            KindDecision& decision) {
  PyRef attribute;
  bool found;
  if (!read_optional_attribute(obj, names.isoformat.get(), attribute, found).ok()) return Status::failure();
  if (found) {
    decision = {ObjectKind::isoformat, isoformat_tag(type_name)};
    return Status::success();
  }
  if (!read_optional_attribute(obj, names.hex.get(), attribute, found).ok()) return Status::failure();
  if (found && type_name == "UUID") {
    decision = {ObjectKind::uuid, TAG_UUID};
    return Status::success();
  }
  bool member;
  if (!is_enum_member(obj, member).ok()) return Status::failure();
  if (member) decision = {ObjectKind::enum_value, 0};
  return Status::success();
}

bool is_type(PyObject* obj, const PyRef& type) { return reinterpret_cast<PyObject*>(Py_TYPE(obj)) == type.get(); }

// The standard library's own types among the decided kinds.
ObjectKind standard_kind(PyObject* obj, KindDecision decision, const ValueNames& names) {
  switch (decision.kind) {
    case ObjectKind::isoformat:
      if (decision.tag == TAG_DATE && is_type(obj, names.date_type)) return ObjectKind::standard_date;
      if (decision.tag == TAG_TIME && is_type(obj, names.time_type)) return ObjectKind::standard_time;
      if (decision.tag == TAG_DATETIME && is_type(obj, names.datetime_type)) {
        return ObjectKind::standard_datetime;
      }
      break;
    case ObjectKind::uuid:
      if (is_type(obj, names.uuid_type)) return ObjectKind::standard_uuid;
      break;
    case ObjectKind::enum_value:
      if (uses_enum_value_and_name(Py_TYPE(obj), names)) return ObjectKind::standard_enum;
      break;
    default:
      break;
  }
  return decision.kind;
}

// The general walk's tests from the array step to the enumeration step, run
// once for a type on its first object (objects of one type are taken to
// answer them alike). Whatever cannot be decided here, a failing test
// included, is left to the general walk.
KindDecision decide_kind(PyObject* obj, const ValueNames& names) {
  KindDecision decision;
  // Buffer exporters may be float64 arrays, which the general walk handles.
  if (PyObject_CheckBuffer(obj)) return decision;
  PyRef name;
  std::string_view type_name;
  if (type_qualname(obj, name, type_name).ok()) {
    if (type_name == "Decimal") return {ObjectKind::decimal, TAG_DECIMAL};
    if (decide_by_attributes(obj, type_name, names, decision).ok()) {
      decision.kind = standard_kind(obj, decision, names);
      return decision;
    }
  }
  PyErr_Clear();
  return KindDecision();
}

// The value an enumeration member is written as; `value` stays null (no
// error set) for a member without a readable value or name, which is left
// to the general walk.
Status read_member_value(PyObject* obj, PyObject* value_name, PyObject* name_name, PyRef& value) {
  value = PyRef::steal(PyObject_GetAttr(obj, value_name));
  if (!value) {
    PyErr_Clear();
    return Status::success();
  }
  PyRef name;
  bool found;
  if (!read_optional_attribute(obj, name_name, name, found).ok()) return Status::failure();
  if (!found) value.reset();
  return Status::success();
}

// The value is written one level below the member, as the general walk does.
Status write_member_value(EncoderState& codec, PyObject* obj, const PyRef& value, const ValueNames& names,
                          FieldMemo& memo) {
  if (!value) return serialize_any_optimized(codec, obj);
  DepthScope depth(codec);
  if (!depth.entered()) return Status::failure();
  return serialize_value_ultra_fast(codec, value.get(), names, memo.inner());
}

Status write_enum_member(EncoderState& codec, PyObject* obj, const ValueNames& names, FieldMemo& memo) {
  PyRef value;
  if (!read_member_value(obj, names.value.get(), names.name.get(), value).ok()) return Status::failure();
  return write_member_value(codec, obj, value, names, memo);
}

// Members whose `value` and `name` are enum.Enum's own read them from
// `_value_` and `_name_`; the field remembers the values of the last few
// members it met, since a few members recur throughout a batch.
Status write_standard_enum_member(EncoderState& codec, PyObject* obj, const ValueNames& names, FieldMemo& memo) {
  PyRef value = PyRef::borrow(memo.remembered_value(obj));
  if (!value) {
    if (!read_member_value(obj, names.enum_value.get(), names.enum_name.get(), value).ok()) {
      return Status::failure();
    }
    if (value) memo.remember_member(obj, value.get());
  }
  return write_member_value(codec, obj, value, names, memo);
}

Status write_object(EncoderState& codec, PyObject* obj, const ValueNames& names, FieldMemo& memo) {
  if (!below_depth_limit(codec)) return serialize_any_optimized(codec, obj);
  switch (memo.kind) {
    case ObjectKind::general:
      break;
    case ObjectKind::isoformat:
      return write_isoformat(codec, obj, memo.tag, names);
    case ObjectKind::uuid:
      return write_uuid_hex(codec, obj, names);
    case ObjectKind::decimal:
      return write_returned_text(codec, TAG_DECIMAL, PyRef::steal(PyObject_Str(obj)));
    case ObjectKind::enum_value:
      return write_enum_member(codec, obj, names, memo);
    case ObjectKind::standard_date:
      return write_standard_date(codec, obj, names, memo);
    case ObjectKind::standard_time:
      return write_standard_time(codec, obj, names, memo);
    case ObjectKind::standard_datetime:
      return write_standard_datetime(codec, obj, names, memo);
    case ObjectKind::standard_uuid:
      return write_standard_uuid(codec, obj, names);
    case ObjectKind::standard_enum:
      return write_standard_enum_member(codec, obj, names, memo);
  }
  return serialize_any_optimized(codec, obj);
}

Status intern_names(ValueNames& n) {
  struct Entry {
    PyRef& slot;
    const char* text;
  };
  Entry entries[] = {
      {n.isoformat, "isoformat"}, {n.hex, "hex"},           {n.value, "value"},
      {n.name, "name"},           {n.enum_value, "_value_"}, {n.enum_name, "_name_"},
      {n.int_, "int"},            {n.utcoffset, "utcoffset"}, {n.mro, "__mro__"},
      {n.dict, "__dict__"},       {n.days, "days"},         {n.seconds, "seconds"},
      {n.microseconds, "microseconds"},
  };
  for (Entry& entry : entries) {
    entry.slot = interned(entry.text);
    if (!entry.slot) return Status::failure();
  }
  n.shift_64 = PyRef::steal(PyLong_FromLong(64));
  return n.shift_64 ? Status::success() : Status::failure();
}

void find_standard_types(ValueNames& n, LayoutVerdicts& verdicts) {
  n.datetime_type = imported_attribute("datetime", "datetime");
  n.date_type = imported_attribute("datetime", "date");
  n.time_type = imported_attribute("datetime", "time");
  n.timedelta_type = imported_attribute("datetime", "timedelta");
  n.timezone_type = imported_attribute("datetime", "timezone");
  n.uuid_type = imported_attribute("uuid", "UUID");
  n.enum_type = imported_attribute("enum", "Enum");
  n.datetime_reduce = type_attribute(n.datetime_type, "__reduce__");
  n.date_reduce = type_attribute(n.date_type, "__reduce__");
  n.time_reduce = type_attribute(n.time_type, "__reduce__");
  // Without their methods the types are not written from their state.
  if (!n.datetime_reduce) n.datetime_type.reset();
  if (!n.date_reduce) n.date_type.reset();
  if (!n.time_reduce) n.time_type.reset();
  n.in_memory = find_readable_layouts({n.date_type.get(), n.time_type.get(), n.datetime_type.get(),
                                       n.timedelta_type.get(), n.timezone_type.get()},
                                      verdicts);
}

}  // namespace

Status UltraFastState::prepare(EncoderState& codec, size_t fields) {
  if (!intern_names(names_).ok()) return Status::failure();
  find_standard_types(names_, codec.datetime_layouts);
  fields_.resize(fields);
  return Status::success();
}

Status serialize_value_fast(EncoderState& codec, PyObject* obj) {
  if (!below_depth_limit(codec)) return serialize_any_optimized(codec, obj);
  Inline scalar = write_scalar(codec, obj);
  if (scalar != Inline::not_inline) return status_of(scalar);
  if (PyList_Check(obj)) return write_list_fast(codec, obj);
  return serialize_any_optimized(codec, obj);
}

// The field's memo is consulted first: the type it holds is never a
// scalar's or a list's. Lists are written like the fast path's, which gives
// the general walk's bytes.
Status serialize_value_ultra_fast(EncoderState& codec, PyObject* obj, const ValueNames& names, FieldMemo& memo) {
  if (!below_depth_limit(codec)) return serialize_any_optimized(codec, obj);
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  if (memo.type.get() == type) return write_object(codec, obj, names, memo);
  Inline scalar = write_exact_scalar(codec, obj);
  if (scalar == Inline::not_inline) scalar = write_scalar_subclass(codec, obj);
  if (scalar != Inline::not_inline) return status_of(scalar);
  if (PyList_Check(obj)) return write_list_ultra_fast(codec, obj, names, memo);
  KindDecision decision = decide_kind(obj, names);
  memo.type = PyRef::borrow(type);
  memo.kind = decision.kind;
  memo.tag = decision.tag;
  return write_object(codec, obj, names, memo);
}

Status serialize_value_ultra_fast(EncoderState& codec, PyObject* obj) {
  UltraFastState state;
  if (!state.prepare(codec, 1).ok()) return Status::failure();
  return serialize_value_ultra_fast(codec, obj, state.names(), state.field(0));
}

}  // namespace quarl
