#include "encoder/type_decisions.h"

#include "encoder/special_objects.h"

namespace quarl {
namespace {

// Beyond this many types a map finds an entry faster than a scan.
constexpr size_t SCANNED_ENTRIES = 8;

bool matches(PyObject* error) { return PyErr_ExceptionMatches(error) != 0; }

// An attribute of a module that is already imported; null (no error set)
// when the module is not in sys.modules or lacks the attribute.
Status imported_attribute(const char* module_name, const char* name, PyRef& out) {
  out.reset();
  PyObject* module = PyDict_GetItemString(PyImport_GetModuleDict(), module_name);
  if (module == nullptr || module == Py_None) return Status::success();
  out = PyRef::steal(PyObject_GetAttrString(module, name));
  if (out || !matches(PyExc_AttributeError)) return out ? Status::success() : Status::failure();
  PyErr_Clear();
  return Status::success();
}

Status type_attribute(const PyRef& type, const char* name, PyRef& out) {
  out.reset();
  if (!type) return Status::success();
  out = PyRef::steal(PyObject_GetAttrString(type.get(), name));
  if (out || !matches(PyExc_AttributeError)) return out ? Status::success() : Status::failure();
  PyErr_Clear();
  return Status::success();
}

Status intern_names(EncodeNames& n) {
  struct Entry {
    PyRef& slot;
    const char* text;
  };
  Entry entries[] = {
      {n.isoformat, "isoformat"},
      {n.hex, "hex"},
      {n.value, "value"},
      {n.name, "name"},
      {n.enum_value, "_value_"},
      {n.enum_name, "_name_"},
      {n.int_, "int"},
      {n.utcoffset, "utcoffset"},
      {n.mro, "__mro__"},
      {n.dict, "__dict__"},
      {n.getattr, "__getattr__"},
      {n.getattribute, "__getattribute__"},
      {n.private_attributes, "__private_attributes__"},
      {n.pydantic_extra, "__pydantic_extra__"},
      {n.days, "days"},
      {n.tolist, "tolist"},
      {n.item, "item"},
      {n.dataclass_fields, "__dataclass_fields__"},
      {n.seconds, "seconds"},
      {n.microseconds, "microseconds"},
  };
  for (Entry& entry : entries) {
    entry.slot = PyRef::steal(PyUnicode_InternFromString(entry.text));
    if (!entry.slot) return Status::failure();
  }
  n.shift_64 = PyRef::steal(PyLong_FromLong(64));
  return n.shift_64 ? Status::success() : Status::failure();
}

// The value that `owner_class.__dict__` holds under `name`, or null.
Status class_dict_item(PyObject* klass, PyObject* dict_name, PyObject* name, PyRef& value) {
  PyRef dict = PyRef::steal(PyObject_GetAttr(klass, dict_name));
  if (!dict) return Status::failure();
  int found = PySequence_Contains(dict.get(), name);
  if (found < 0) return Status::failure();
  if (found == 0) return Status::success();
  value = PyRef::steal(PyObject_GetItem(dict.get(), name));
  return value ? Status::success() : Status::failure();
}

// Finds attributes along a type's MRO the way the type's own lookup does.
class MroLookup {
 public:
  Status init(PyTypeObject* type, const EncodeNames& names) {
    names_ = &names;
    mro_ = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), names.mro.get()));
    if (!mro_) return Status::failure();
    if (!PyTuple_Check(mro_.get())) return raise(PyExc_TypeError, "__mro__ must be a tuple");
    return Status::success();
  }
  // The first class defining `name` (borrowed from the MRO) and its value,
  // or null.
  Status find(PyObject* name, PyObject*& owner, PyRef& value) const {
    owner = nullptr;
    Py_ssize_t size = PyTuple_Size(mro_.get());
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* klass = PyTuple_GetItem(mro_.get(), i);
      if (klass == nullptr) return Status::failure();
      if (!class_dict_item(klass, names_->dict.get(), name, value).ok()) return Status::failure();
      if (value) {
        owner = klass;
        return Status::success();
      }
    }
    return Status::success();
  }
  Status owner_of(PyObject* name, PyObject*& owner) const {
    PyRef value;
    return find(name, owner, value);
  }

 private:
  const EncodeNames* names_ = nullptr;
  PyRef mro_;
};

// Whether obj's type is named `expected`; only a failure to read the name (MemoryError) is an error.
Status is_named(PyObject* obj, const char* expected, bool& named) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (!name) return Status::failure();
  named = PyUnicode_CompareWithASCIIString(name.get(), expected) == 0;  // raises nothing
  return Status::success();
}

bool is_table_name(std::string_view name) {
  return name == "DataFrame" || name == "LazyFrame" || name == "Series" || name == "Index" || name == "Table" ||
         name == "RecordBatch";
}

bool is_type(PyTypeObject* type, const PyRef& expected) {
  return expected && reinterpret_cast<PyObject*>(type) == expected.get();
}

bool is_subtype(PyTypeObject* type, const PyRef& base) {
  return base && PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(base.get()));
}

// `value` and `name` are the ones enum.Enum defines.
Status uses_enum_value_and_name(const MroLookup& mro, const EncodeNames& names, bool& standard) {
  standard = false;
  for (PyObject* attribute : {names.value.get(), names.name.get()}) {
    PyObject* owner;
    if (!mro.owner_of(attribute, owner).ok()) return Status::failure();
    if (owner != names.enum_type.get()) return Status::success();
  }
  standard = true;
  return Status::success();
}

// Attribute reads of a pydantic model go to pydantic's own __getattr__ only
// when the ordinary lookup fails; it serves private attributes (named by the
// type) and extra fields (held by each object), and nothing else.
Status is_pydantic_lookup(const MroLookup& mro, const EncodeNames& names, bool& pydantic) {
  pydantic = false;
  if (!names.pydantic_model_getattr) return Status::success();
  PyObject* owner;
  PyRef getattr;
  if (!mro.find(names.getattr.get(), owner, getattr).ok()) return Status::failure();
  if (getattr.get() != names.pydantic_model_getattr.get()) return Status::success();
  if (!mro.owner_of(names.getattribute.get(), owner).ok()) return Status::failure();
  pydantic = owner == reinterpret_cast<PyObject*>(&PyBaseObject_Type);
  return Status::success();
}

// Objects of a model whose configuration does not allow extra fields never
// have any, and need no check of their own.
Status allows_extra_fields(PyTypeObject* type, bool& extra) {
  extra = true;
  PyRef config = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "model_config"));
  if (!config) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Status::failure();
    PyErr_Clear();
    return Status::success();
  }
  if (!PyDict_CheckExact(config.get())) return Status::success();
  PyObject* setting = PyDict_GetItemString(config.get(), "extra");
  extra = setting != nullptr && (!PyUnicode_Check(setting) || PyUnicode_CompareWithASCIIString(setting, "allow") == 0);
  return Status::success();
}

Status names_private_attribute(PyTypeObject* type, PyObject* attribute, const EncodeNames& names, bool& named) {
  named = true;
  PyRef privates = PyRef::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), names.private_attributes.get()));
  if (!privates) return Status::failure();
  int found = PySequence_Contains(privates.get(), attribute);
  if (found < 0) return Status::failure();
  named = found == 1;
  return Status::success();
}

// Instances whose `__dict__` is the instance dict of an ordinary class.
Status has_instance_dict(const MroLookup& mro, const EncodeNames& names, bool& has_dict, bool& standard) {
  PyObject* owner;
  PyRef descriptor;
  if (!mro.find(names.dict.get(), owner, descriptor).ok()) return Status::failure();
  has_dict = owner != nullptr;
  standard = false;
  if (!has_dict || !(PyType_GetFlags(reinterpret_cast<PyTypeObject*>(owner)) & Py_TPFLAGS_HEAPTYPE)) {
    return Status::success();
  }
  return is_named(descriptor.get(), "getset_descriptor", standard);
}

// The general walk's steps from the array step to the __dict__ step, as far
// as the type answers them for all its objects.
bool is_builtin_subclass(PyTypeObject* type) {
  for (PyTypeObject* base : {&PyLong_Type, &PyFloat_Type, &PyUnicode_Type, &PyDict_Type, &PyList_Type,
                             &PyTuple_Type, &PySet_Type, &PyFrozenSet_Type, &PyBytes_Type}) {
    if (PyType_IsSubtype(type, base)) return true;
  }
  return false;
}

// The plain values some libraries' types stand for: decided
// before the general steps, by the type alone. Returns false when `type` is
// none of them.
bool decide_library_type(PyTypeObject* type, const EncodeNames& names, Decision& decision) {
  struct ByBase {
    const PyRef& base;
    Kind kind;
  };
  const ByBase bases[] = {
      {names.numpy_generic_type, Kind::numpy_scalar},   {names.pandas_index_type, Kind::values_list},
      {names.pandas_categorical_type, Kind::values_list}, {names.secret_base_type, Kind::secret},
      {names.base_datetime_type, Kind::base_datetime}, {names.base_date_type, Kind::base_date},
      {names.base_time_type, Kind::base_time},
  };
  if (is_type(type, names.pandas_na_type) || is_type(type, names.pandas_nat_type)) {
    decision.kind = Kind::missing;
    return true;
  }
  // The standard types themselves are written from their fields.
  if (is_type(type, names.base_datetime_type) || is_type(type, names.base_date_type) ||
      is_type(type, names.base_time_type)) {
    return false;
  }
  for (const ByBase& by : bases) {
    if (is_subtype(type, by.base)) {
      decision.kind = by.kind;
      return true;
    }
  }
  return false;
}

Status decide_type(PyTypeObject* type, const EncodeNames& names, Decision& decision) {
  decision = Decision();
  if (is_subtype(type, names.ordered_dict_type)) {
    decision.kind = Kind::ordered_dict;
    return Status::success();
  }
  if (is_builtin_subclass(type)) {
    decision.kind = Kind::builtin_subclass;
    return Status::success();
  }
  if (is_subtype(type, names.ndarray_type)) return Status::success();
  if (decide_library_type(type, names, decision)) return Status::success();
  PyRef qualname = PyRef::steal(PyType_GetQualName(type));
  if (!qualname) return Status::failure();
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(qualname.get(), &size);
  if (utf8 == nullptr) return Status::failure();
  std::string_view name(utf8, static_cast<size_t>(size));
  if (name == "Decimal") {
    decision.kind = Kind::decimal;
    return Status::success();
  }
  if (is_table_name(name)) return Status::success();
  MroLookup mro;
  if (!mro.init(type, names).ok()) return Status::failure();
  bool generic = PyType_GetSlot(type, Py_tp_getattro) == reinterpret_cast<void*>(PyObject_GenericGetAttr);
  if (!generic) {
    if (!is_pydantic_lookup(mro, names, decision.pydantic).ok()) return Status::failure();
    if (!decision.pydantic) return Status::success();
    if (!allows_extra_fields(type, decision.pydantic).ok()) return Status::failure();
    bool private_isoformat;
    if (!names_private_attribute(type, names.isoformat.get(), names, private_isoformat).ok()) {
      return Status::failure();
    }
    if (private_isoformat) return Status::success();
  }
  PyObject* isoformat_owner;
  if (!mro.owner_of(names.isoformat.get(), isoformat_owner).ok()) return Status::failure();
  if (isoformat_owner != nullptr) {
    if (!generic) return Status::success();
    if (is_type(type, names.date_type)) decision.kind = Kind::standard_date;
    if (is_type(type, names.time_type)) decision.kind = Kind::standard_time;
    if (is_type(type, names.datetime_type)) decision.kind = Kind::standard_datetime;
    return Status::success();
  }
  if (name == "UUID") {
    if (generic && is_type(type, names.uuid_type)) decision.kind = Kind::standard_uuid;
    return Status::success();
  }
  if (is_subtype(type, names.enum_type)) {
    bool standard;
    if (!uses_enum_value_and_name(mro, names, standard).ok()) return Status::failure();
    bool has_dict, ordinary_dict;
    if (!has_instance_dict(mro, names, has_dict, ordinary_dict).ok()) return Status::failure();
    if (generic && standard && ordinary_dict) decision.kind = Kind::enum_member;
    return Status::success();
  }
  bool has_dict, ordinary_dict;
  if (!has_instance_dict(mro, names, has_dict, ordinary_dict).ok()) return Status::failure();
  if (!has_dict) {
    PyObject* fields_owner;
    if (!mro.owner_of(names.dataclass_fields.get(), fields_owner).ok()) return Status::failure();
    if (fields_owner != nullptr && names.dataclass_fields_function) {
      decision.kind = Kind::dataclass_fields;
    } else if (generic) {
      decision.kind = Kind::unhandled;
    }
    return Status::success();
  }
  if (ordinary_dict) decision.kind = Kind::model;
  return Status::success();
}

bool is_immutable(PyTypeObject* type) {
  unsigned long flags = PyType_GetFlags(type);
  return !(flags & Py_TPFLAGS_HEAPTYPE) || (flags & Py_TPFLAGS_IMMUTABLETYPE);
}

}  // namespace

Status TypeDecisions::prepare(const ObjectLayout& layout) {
  EncodeNames& n = names_;
  if (!intern_names(n).ok()) return Status::failure();
  struct Imported {
    PyRef& slot;
    const char* module;
    const char* name;
  };
  Imported imported[] = {
      {n.datetime_type, "datetime", "datetime"}, {n.date_type, "datetime", "date"},
      {n.time_type, "datetime", "time"},         {n.timedelta_type, "datetime", "timedelta"},
      {n.timezone_type, "datetime", "timezone"}, {n.uuid_type, "uuid", "UUID"},
      {n.enum_type, "enum", "Enum"},             {n.ndarray_type, "numpy", "ndarray"},
      {n.ordered_dict_type, "collections", "OrderedDict"},
      {n.numpy_generic_type, "numpy", "generic"},
      {n.pandas_index_type, "pandas", "Index"},
      {n.pandas_categorical_type, "pandas", "Categorical"},
      {n.secret_base_type, "pydantic.types", "_SecretBase"},
      {n.base_datetime_type, "datetime", "datetime"},
      {n.base_date_type, "datetime", "date"},
      {n.base_time_type, "datetime", "time"},
      {n.dataclass_fields_function, "dataclasses", "fields"},
  };
  for (Imported& entry : imported) {
    if (!imported_attribute(entry.module, entry.name, entry.slot).ok()) return Status::failure();
  }
  for (PyRef* type : {&n.ndarray_type, &n.ordered_dict_type, &n.numpy_generic_type, &n.pandas_index_type,
                      &n.pandas_categorical_type, &n.secret_base_type, &n.base_datetime_type, &n.base_date_type,
                      &n.base_time_type}) {
    if (*type && !PyType_Check(type->get())) type->reset();
  }
  n.pydantic_model_getattr.reset();
  n.pandas_na_type.reset();
  PyRef na;
  if (!imported_attribute("pandas", "NA", na).ok()) return Status::failure();
  if (na) n.pandas_na_type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(na.get())));
  n.pandas_nat_type.reset();
  if (!imported_attribute("pandas", "NaT", na).ok()) return Status::failure();
  if (na) n.pandas_nat_type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(na.get())));
  PyRef base_model;
  if (!imported_attribute("pydantic.main", "BaseModel", base_model).ok()) return Status::failure();
  if (base_model && PyType_Check(base_model.get())) {
    if (!class_dict_item(base_model.get(), n.dict.get(), n.getattr.get(), n.pydantic_model_getattr).ok()) {
      return Status::failure();
    }
  }
  if (!type_attribute(n.datetime_type, "__reduce__", n.datetime_reduce).ok() ||
      !type_attribute(n.date_type, "__reduce__", n.date_reduce).ok() ||
      !type_attribute(n.time_type, "__reduce__", n.time_reduce).ok()) {
    return Status::failure();
  }
  // Without their methods the types are not written from their state.
  if (!n.datetime_reduce) n.datetime_type.reset();
  if (!n.date_reduce) n.date_type.reset();
  if (!n.time_reduce) n.time_type.reset();
  n.in_memory = find_readable_layouts({n.date_type.get(), n.time_type.get(), n.datetime_type.get()}, layout);
  prepared_ = true;
  return Status::success();
}

TypeDecisions::Entry* TypeDecisions::find(PyTypeObject* type) noexcept {
  Entry*& recent = recent_[slot_of(type)];
  if (recent != nullptr && recent->type.get() == reinterpret_cast<PyObject*>(type)) return recent;
  Entry* entry = find_slow(type);
  if (entry != nullptr) recent = entry;
  return entry;
}

TypeDecisions::Entry* TypeDecisions::find_slow(PyTypeObject* type) noexcept {
  if (entries_.size() > SCANNED_ENTRIES) {
    auto found = index_.find(type);
    return found == index_.end() ? nullptr : found->second;
  }
  for (const std::unique_ptr<Entry>& entry : entries_) {
    if (entry->type.get() == reinterpret_cast<PyObject*>(type)) return entry.get();
  }
  return nullptr;
}

Status TypeDecisions::decide(PyObject* obj, uint64_t python_calls, const ObjectLayout& layout, Decision& out) {
  PyTypeObject* type = Py_TYPE(obj);
  Entry* entry = find(type);
  if (entry != nullptr && (entry->immutable || entry->made_at == python_calls)) {
    out = entry->decision;
    return Status::success();
  }
  // The names are looked up again only when a module was imported (or
  // removed) since: the libraries' types can only appear with their modules.
  Py_ssize_t modules = PyDict_Size(PyImport_GetModuleDict());
  if (!prepared_ || modules != prepared_modules_) {
    prepared_ = false;
    if (!prepare(layout).ok()) return Status::failure();
    prepared_modules_ = modules;
  }
  if (entry == nullptr) {
    auto made = std::make_unique<Entry>();
    made->type = PyRef::borrow(reinterpret_cast<PyObject*>(type));
    made->immutable = is_immutable(type);
    entry = made.get();
    entries_.push_back(std::move(made));
    recent_[slot_of(type)] = entry;
    if (entries_.size() == SCANNED_ENTRIES + 1) {
      for (const std::unique_ptr<Entry>& e : entries_) index_.emplace(reinterpret_cast<PyTypeObject*>(e->type.get()), e.get());
    } else if (entries_.size() > SCANNED_ENTRIES + 1) {
      index_.emplace(type, entry);
    }
  }
  const KeyHint* keys = entry->decision.keys;
  Decision decision;
  if (!decide_type(type, names_, decision).ok()) return Status::failure();
  if (decision.kind == Kind::dataclass_fields && !dataclass_field_names(type, decision).ok()) {
    return Status::failure();
  }
  // A key hint stays true whatever the type becomes: it only pairs key
  // objects with their indices.
  decision.keys = keys;
  decision.immutable = entry->immutable;
  entry->decision = decision;
  entry->made_at = python_calls;
  out = decision;
  return Status::success();
}

// The names dataclasses.fields() gives for the type, in order.
Status TypeDecisions::dataclass_field_names(PyTypeObject* type, Decision& decision) {
  PyRef fields = PyRef::steal(
      PyObject_CallFunctionObjArgs(names_.dataclass_fields_function.get(), reinterpret_cast<PyObject*>(type), nullptr));
  if (!fields) return Status::failure();
  PyRef iterator = PyRef::steal(PyObject_GetIter(fields.get()));
  if (!iterator) return Status::failure();
  auto list = std::make_unique<std::vector<PyRef>>();
  while (PyRef field = PyRef::steal(PyIter_Next(iterator.get()))) {
    PyRef name = PyRef::steal(PyObject_GetAttr(field.get(), names_.name.get()));
    if (!name) return Status::failure();
    if (!PyUnicode_Check(name.get())) return raise(PyExc_TypeError, "a dataclass field's name must be a str");
    list->push_back(std::move(name));
  }
  if (PyErr_Occurred()) return Status::failure();
  decision.fields = list.get();
  field_lists_.push_back(std::move(list));
  return Status::success();
}

void TypeDecisions::set_key_hint(PyTypeObject* type, std::unique_ptr<KeyHint> hint) {
  Entry* entry = find(type);
  if (entry == nullptr || entry->hint_tried) return;
  entry->hint_tried = true;
  if (!hint) return;
  entry->decision.keys = hint.get();
  hints_.push_back(std::move(hint));
}

bool TypeDecisions::wants_key_hint(PyTypeObject* type) noexcept {
  Entry* entry = find(type);
  return entry != nullptr && !entry->hint_tried;
}

void TypeDecisions::clear() noexcept {
  // Releasing a type can run Python code that encodes on another codec;
  // nothing here is reached from there. The names and the standard and
  // library types stay for the next encode. An encode that met no object
  // of another type left nothing to drop.
  if (entries_.empty()) return;
  for (Entry*& recent : recent_) recent = nullptr;
  index_.clear();
  entries_.clear();
  hints_.clear();
  field_lists_.clear();
  timezone_ = TimezoneMemo();
}

}  // namespace quarl
