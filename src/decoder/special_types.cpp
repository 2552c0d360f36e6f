// Dates, times, datetimes, UUIDs and decimals travel as text. The standard
// constructors read any text; the canonical text that the encoder writes is
// read here and the objects are built as pickling builds them.
#include "decoder/special_types.h"

#include <cstring>

#include "common/utf8.h"
#include "format/tags.h"

namespace quarl {
namespace {

struct KindInfo {
  const char* module;
  const char* attribute;
  const char* context;  // names the text in UTF-8 errors
};

// Indexed by tag - TAG_DATETIME.
constexpr std::array<KindInfo, 5> KINDS = {{
    {"datetime", "datetime", "datetime string"},
    {"datetime", "date", "date string"},
    {"datetime", "time", "time string"},
    {"uuid", "UUID", "UUID string"},
    {"decimal", "Decimal", "Decimal string"},
}};
static_assert(TAG_DATE == TAG_DATETIME + 1 && TAG_TIME == TAG_DATETIME + 2 &&
              TAG_UUID == TAG_DATETIME + 3 && TAG_DECIMAL == TAG_DATETIME + 4);

constexpr uint8_t ASCII_LIMIT = 0x80;

PyRef look_up(const KindInfo& kind) {
  PyRef module = PyRef::steal(PyImport_ImportModule(kind.module));
  if (!module) return module;
  return PyRef::steal(PyObject_GetAttrString(module.get(), kind.attribute));
}

bool is_ascii(std::span<const uint8_t> text) noexcept {
  uint8_t bits = 0;
  for (uint8_t byte : text) bits |= byte;
  return bits < ASCII_LIMIT;
}

// The bytes of `text`: `held` rewritten when it is bytes of that size that
// nothing but its one holder sees, so no one can see it change; else new bytes.
PyRef rewritten_bytes(PyObject* held, std::span<const uint8_t> text) {
  auto size = static_cast<Py_ssize_t>(text.size());
  if (held != nullptr && PyBytes_CheckExact(held) && Py_REFCNT(held) == 1 && PyBytes_Size(held) == size) {
    std::memcpy(PyBytes_AsString(held), text.data(), text.size());
    return PyRef::borrow(held);
  }
  return PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(text.data()), size));
}

PyTypeObject* as_type(const PyRef& cls) noexcept { return reinterpret_cast<PyTypeObject*>(cls.get()); }

// An attribute that may be missing: when it is, `value` stays empty.
Status optional_attribute(PyObject* obj, const char* name, PyRef& value) {
  value = PyRef::steal(PyObject_GetAttrString(obj, name));
  if (value) return Status::success();
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Status::failure();
  PyErr_Clear();
  return Status::success();
}

// The setter of a __slots__ member, read from the class: what
// object.__setattr__ calls for that name. Stays empty for anything else.
Status slot_setter(PyObject* descriptor, descrsetfunc& setter) {
  setter = nullptr;
  if (descriptor == nullptr) return Status::success();
  PyTypeObject* type = Py_TYPE(descriptor);
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) return Status::failure();
  if (PyUnicode_CompareWithASCIIString(name.get(), "member_descriptor") == 0) {
    setter = reinterpret_cast<descrsetfunc>(PyType_GetSlot(type, Py_tp_descr_set));
  }
  return Status::success();
}

// Whether `text` is a str equal to `expected`.
bool is_text(const PyRef& text, const char* expected) noexcept {
  return text && PyUnicode_Check(text.get()) && PyUnicode_CompareWithASCIIString(text.get(), expected) == 0;
}

// Whether the class's __init__ is the one the uuid module defines for UUID.
Status is_standard_uuid_init(PyObject* cls, bool& standard) {
  standard = false;
  PyRef init;
  if (!optional_attribute(cls, "__init__", init).ok()) return Status::failure();
  if (!init) return Status::success();
  PyRef module;
  PyRef qualname;
  if (!optional_attribute(init.get(), "__module__", module).ok() ||
      !optional_attribute(init.get(), "__qualname__", qualname).ok()) {
    return Status::failure();
  }
  standard = is_text(module, "uuid") && is_text(qualname, "UUID.__init__");
  return Status::success();
}

}  // namespace

PyObject* SpecialTypes::rebuild(uint8_t tag, std::span<const uint8_t> text, CollectorPause& pause) {
  auto kind = static_cast<Kind>(tag - TAG_DATETIME);
  Canonical canonical;
  bool is_canonical = read_canonical(kind, text, canonical);
  if (is_canonical && usable(kind)) {
    const UtcOffset& offset = canonical.fields.offset;
    PyObject* tzinfo = offset.present ? find_zone(offset) : Py_None;
    if (tzinfo != nullptr) {
      if (shortcuts_[kind] == Shortcut::native) return build(kind, text, canonical, tzinfo);
      CollectorPause::Resumed resumed(pause);
      return build(kind, text, canonical, tzinfo);
    }
  }
  // Constructors, imports and lookups run Python code.
  CollectorPause::Resumed resumed(pause);
  PyRef value = PyRef::steal(construct(kind, text));
  if (!value || !is_canonical) return value.release();
  if (!learn_from(kind, value.get(), canonical.fields.offset).ok()) return nullptr;
  return value.release();
}

PyObject* SpecialTypes::build(Kind kind, std::span<const uint8_t> text, const Canonical& canonical,
                              PyObject* tzinfo) {
  switch (kind) {
    case UUID:
      return build_uuid(canonical.uuid);
    case DECIMAL:
      return build_decimal(text);
    default:
      return build_iso(kind, canonical.fields, tzinfo);
  }
}

bool SpecialTypes::read_canonical(Kind kind, std::span<const uint8_t> text, Canonical& out) noexcept {
  switch (kind) {
    case DATETIME:
      return read_iso_datetime(text, out.fields);
    case DATE:
      return read_iso_date(text, out.fields);
    case TIME:
      return read_iso_time(text, out.fields);
    case UUID:
      return read_uuid_hex(text, out.uuid);
    case DECIMAL:
      return true;  // Decimal(text) reads every text
    default:
      return false;
  }
}

// As pickling does: the class called with the packed fields and, for times
// and datetimes, the time zone.
PyObject* SpecialTypes::build_iso(Kind kind, const IsoFields& fields, PyObject* tzinfo) {
  std::span<const uint8_t> packed = fields.packed();
  Arguments& arguments = kind == DATE ? one_argument_ : two_arguments_;
  // Only a class built in C sees the state, and keeps no hash of it, so the
  // state can be rewritten for the next value once the call has let it go.
  PyRef state = shortcuts_[kind] == Shortcut::native
                    ? arguments.first_bytes(packed)
                    : PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(packed.data()),
                                                             static_cast<Py_ssize_t>(packed.size())));
  if (!state) return nullptr;
  PyObject* args = kind == DATE ? arguments.fill({state.get()}) : arguments.fill({state.get(), tzinfo});
  if (args == nullptr) return nullptr;
  return new_objects_[kind](as_type(classes_[kind]), args, nullptr);
}

PyObject* SpecialTypes::build_decimal(std::span<const uint8_t> text) {
  DecimalParts parts;
  if (writable_decimal_.type != nullptr && read_decimal_text(text, parts)) {
    return new_small_decimal(writable_decimal_, parts.negative, parts.coefficient, parts.digits, parts.exponent);
  }
  PyRef str = checked_str(DECIMAL, text);
  if (!str) return nullptr;
  PyObject* args = one_argument_.fill({str.get()});
  if (args == nullptr) return nullptr;
  return new_objects_[DECIMAL](as_type(classes_[DECIMAL]), args, nullptr);
}

PyObject* SpecialTypes::Arguments::fill(std::initializer_list<PyObject*> items) {
  if (!tuple_ || Py_REFCNT(tuple_.get()) != 1) {
    tuple_ = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple_) return nullptr;
  }
  Py_ssize_t index = 0;
  for (PyObject* item : items) PyTuple_SetItem(tuple_.get(), index++, PyRef::borrow(item).release());
  return tuple_.get();
}

PyRef SpecialTypes::Arguments::first_bytes(std::span<const uint8_t> text) {
  PyObject* held = tuple_ && Py_REFCNT(tuple_.get()) == 1 ? PyTuple_GetItem(tuple_.get(), 0) : nullptr;
  return rewritten_bytes(held, text);
}

// As pickling does: __new__, then `int` and `is_safe` set as
// object.__setattr__ sets them.
PyObject* SpecialTypes::build_uuid(const UuidBytes& bytes) {
  PyRef value = uuid_int(bytes);
  if (!value) return nullptr;
  PyRef uuid = PyRef::steal(new_objects_[UUID](as_type(classes_[UUID]), uuid_.empty_args.get(), nullptr));
  if (!uuid) return nullptr;
  if (uuid_.set_int(uuid_.int_slot.get(), uuid.get(), value.get()) < 0 ||
      uuid_.set_is_safe(uuid_.is_safe_slot.get(), uuid.get(), uuid_.is_safe.get()) < 0) {
    return nullptr;
  }
  return uuid.release();
}

// The 128 bits as an int: int.from_bytes of their big-endian bytes.
PyRef SpecialTypes::uuid_int(const UuidBytes& big_endian) {
  PyRef bytes = rewritten_bytes(uuid_.int_bytes.get(), big_endian);
  if (!bytes) return bytes;
  if (bytes.get() != uuid_.int_bytes.get()) uuid_.int_bytes = PyRef::borrow(bytes.get());
  // Big-endian is the byte order int.from_bytes takes by default.
  PyObject* args[] = {bytes.get()};
  return PyRef::steal(uuid_.int_from_bytes(reinterpret_cast<PyObject*>(&PyLong_Type), args, 1, nullptr));
}

PyObject* SpecialTypes::construct(Kind kind, std::span<const uint8_t> text) {
  // The text is checked before anything is imported.
  PyRef str = checked_str(kind, text);
  if (!str) return nullptr;
  PyObject* callable = standard_constructor(kind);
  if (callable == nullptr) return nullptr;
  return PyObject_CallFunctionObjArgs(callable, str.get(), nullptr);
}

PyRef SpecialTypes::checked_str(Kind kind, std::span<const uint8_t> text) {
  // ASCII, the usual text, is also Latin-1, whose decoder makes the same str
  // with less work than the UTF-8 one.
  if (is_ascii(text)) {
    return PyRef::steal(
        PyUnicode_DecodeLatin1(reinterpret_cast<const char*>(text.data()), static_cast<Py_ssize_t>(text.size()), nullptr));
  }
  Utf8Error error;
  if (!validate_utf8(text.data(), text.size(), error)) {
    static_cast<void>(raise_invalid_utf8(KINDS[kind].context, error));
    return PyRef();
  }
  return PyRef::steal(
      PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(text.data()), static_cast<Py_ssize_t>(text.size())));
}

// `value` was built by the constructor from canonical text.
Status SpecialTypes::learn_from(Kind kind, PyObject* value, const UtcOffset& offset) {
  if (shortcuts_[kind] == Shortcut::unmet) {
    shortcuts_[kind] = Shortcut::met_once;
    return Status::success();
  }
  if (shortcuts_[kind] == Shortcut::met_once) {
    shortcuts_[kind] = Shortcut::refused;
    Status learned = kind == UUID ? learn_uuid_parts(value) : learn_class(kind, value);
    if (!learned.ok()) return learned;
  }
  if (!usable(kind) || !offset.present) return Status::success();
  return learn_zone(kind, value, offset);
}

// The class must be the one looked up, and its __init__ object's: then
// calling its __new__ is what calling the class does. For dates and times,
// fromisoformat and __new__ must be built in C, as the standard ones are, so
// that the packed fields make what fromisoformat makes of the text.
Status SpecialTypes::learn_class(Kind kind, PyObject* value) {
  PyTypeObject* cls = as_type(classes_[kind]);
  if (Py_TYPE(value) != cls || PyType_GetSlot(cls, Py_tp_init) != PyType_GetSlot(&PyBaseObject_Type, Py_tp_init)) {
    return Status::success();
  }
  bool heap_type = (PyType_GetFlags(cls) & Py_TPFLAGS_HEAPTYPE) != 0;
  // A class that is not a heap type was built in C whole.
  if (kind < ISO_KIND_COUNT && heap_type) {
    PyRef new_method;
    if (!optional_attribute(classes_[kind].get(), "__new__", new_method).ok()) return Status::failure();
    if (!new_method || !PyCFunction_Check(new_method.get()) || !PyCFunction_Check(fromisoformat_[kind].get())) {
      return Status::success();
    }
  }
  new_objects_[kind] = reinterpret_cast<newfunc>(PyType_GetSlot(cls, Py_tp_new));
  if (new_objects_[kind] == nullptr) return Status::success();
  shortcuts_[kind] = heap_type ? Shortcut::may_run_python : Shortcut::native;
  if (kind != DECIMAL) return Status::success();
  WritableDecimal writable;
  if (!writable_decimal(layout_, writable).ok()) return Status::failure();
  // The C Decimal is built in C whole, whether or not it is a heap type.
  if (writable.type == classes_[kind].get()) {
    writable_decimal_ = writable;
    shortcuts_[kind] = Shortcut::native;
  }
  return Status::success();
}

// The class must keep `int` and `is_safe` in __slots__, take object's
// __new__ and uuid's own __init__, which sets nothing else, as the standard
// one does, so that no Python code runs; `is_safe` is copied from the value
// the constructor made.
Status SpecialTypes::learn_uuid_parts(PyObject* value) {
  PyObject* cls = classes_[UUID].get();
  if (Py_TYPE(value) != as_type(classes_[UUID])) return Status::success();
  bool standard_init;
  if (!is_standard_uuid_init(cls, standard_init).ok()) return Status::failure();
  if (!standard_init) return Status::success();
  UuidParts parts;
  if (!optional_attribute(cls, "int", parts.int_slot).ok() ||
      !optional_attribute(cls, "is_safe", parts.is_safe_slot).ok() ||
      !optional_attribute(value, "is_safe", parts.is_safe).ok()) {
    return Status::failure();
  }
  // Both slots are read through descriptors of one type, whose setter serves both.
  bool one_kind = parts.int_slot && parts.is_safe_slot &&
                  Py_TYPE(parts.int_slot.get()) == Py_TYPE(parts.is_safe_slot.get());
  if (one_kind && !slot_setter(parts.int_slot.get(), parts.set_int).ok()) return Status::failure();
  parts.set_is_safe = parts.set_int;
  auto new_object = reinterpret_cast<newfunc>(PyType_GetSlot(as_type(classes_[UUID]), Py_tp_new));
  bool object_new = new_object == PyType_GetSlot(&PyBaseObject_Type, Py_tp_new);
  if (!parts.set_int || !parts.set_is_safe || !parts.is_safe || !object_new) return Status::success();
  parts.empty_args = PyRef::steal(PyTuple_New(0));
  if (!parts.empty_args || !learn_int_from_bytes(parts).ok()) return Status::failure();
  if (parts.int_from_bytes == nullptr) return Status::success();
  uuid_ = std::move(parts);
  new_objects_[UUID] = new_object;
  shortcuts_[UUID] = Shortcut::native;
  return Status::success();
}

// CPython's int.from_bytes is a class method built in C that takes its
// arguments as an array; anything else leaves `int_from_bytes` empty.
Status SpecialTypes::learn_int_from_bytes(UuidParts& parts) {
  auto* int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
  PyRef method = PyRef::steal(PyObject_GetAttrString(int_type, "from_bytes"));
  if (!method) return Status::failure();
  constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;
  if (!PyCFunction_Check(method.get()) || (PyCFunction_GetFlags(method.get()) & ~METH_CLASS) != FAST ||
      PyCFunction_GetSelf(method.get()) != int_type) {
    return Status::success();
  }
  // The function was cast to the common PyCFunction type for the method
  // table; its flags say what it really is.
  auto function = reinterpret_cast<void (*)()>(PyCFunction_GetFunction(method.get()));
  parts.int_from_bytes = reinterpret_cast<FastCall>(function);
  return Status::success();
}

Status SpecialTypes::learn_zone(Kind kind, PyObject* value, const UtcOffset& offset) {
  if (zones_.size() == MAX_ZONES || find_zone(offset) != nullptr) return Status::success();
  PyRef tzinfo;
  if (!optional_attribute(value, "tzinfo", tzinfo).ok()) return Status::failure();
  if (!tzinfo) {
    shortcuts_[kind] = Shortcut::refused;
    return Status::success();
  }
  zones_.push_back({offset.key, std::move(tzinfo)});
  return Status::success();
}

PyObject* SpecialTypes::find_zone(const UtcOffset& offset) const noexcept {
  for (const Zone& zone : zones_) {
    if (zone.key == offset.key) return zone.tzinfo.get();
  }
  return nullptr;
}

// Each class is fetched once per decode, however many values need it.
PyObject* SpecialTypes::standard_class(Kind kind) {
  PyRef& cached = classes_[kind];
  if (!cached) cached = look_up(KINDS[kind]);
  return cached.get();
}

PyObject* SpecialTypes::standard_constructor(Kind kind) {
  if (kind >= ISO_KIND_COUNT) return standard_class(kind);
  PyRef& cached = fromisoformat_[kind];
  if (!cached) {
    PyObject* cls = standard_class(kind);
    if (cls == nullptr) return nullptr;
    cached = PyRef::steal(PyObject_GetAttrString(cls, "fromisoformat"));
  }
  return cached.get();
}

}  // namespace quarl
