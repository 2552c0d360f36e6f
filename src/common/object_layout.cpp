#include "common/object_layout.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/pyref.h"

namespace quarl {
namespace {

// --- The gate --------------------------------------------------------------

// The feature releases whose object layouts were checked against their
// headers and probed: 3.11.7, 3.12.1 and 3.13.0 (every release of a feature
// line shares its layouts). Pre-releases and later versions are refused
// whatever the probes say.
constexpr unsigned long FIRST_VERIFIED_MINOR = 11;
constexpr unsigned long LAST_VERIFIED_MINOR = 13;
constexpr unsigned long FINAL_RELEASE = 0xF;

bool forced_safe() {
  const char* value = std::getenv("QUARL_SAFE_PATHS");
  return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

// Why no shortcut may be taken here, or null. A debug build (sys.gettotalrefcount,
// Py_REF_DEBUG) counts every reference and a trace-refs build
// (sys.getobjects, Py_TRACE_REFS) tracks every object by its address, which
// moving a bytes object behind their backs would corrupt, and either may
// lay objects out otherwise.
const char* refusal() {
  if (forced_safe()) return "forced by QUARL_SAFE_PATHS";
  unsigned long major = Py_Version >> 24 & 0xFF;
  unsigned long minor = Py_Version >> 16 & 0xFF;
  unsigned long level = Py_Version >> 4 & 0xF;
  if (major != 3 || minor < FIRST_VERIFIED_MINOR || minor > LAST_VERIFIED_MINOR || level != FINAL_RELEASE) {
    return "layouts not verified on this CPython version";
  }
  if (PySys_GetObject("gettotalrefcount") != nullptr) return "debug build (Py_REF_DEBUG)";
  if (PySys_GetObject("getobjects") != nullptr) return "trace-refs build (Py_TRACE_REFS)";
  return nullptr;
}

// --- Probes of list, float and bytes ---------------------------------------

// A probe that could not be made counts as a mismatch, and its exception is
// cleared; false, with the exception kept, for one that must reach the
// caller (KeyboardInterrupt, MemoryError and the like).
bool clear_probe_failure() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
  PyErr_Clear();
  return true;
}

// The instance size a type declares, or -1; the fields are only ever read
// when the size shows they exist.
Py_ssize_t type_size(PyTypeObject* type, const char* name) {
  PyRef size = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), name));
  Py_ssize_t value = size ? PyLong_AsSsize_t(size.get()) : -1;
  if (value == -1 && PyErr_Occurred()) clear_probe_failure();
  return value;
}

// A list made with two slots holds its item pointer and then its allocation
// count (2) behind the header; the item pointer is followed only once the
// count sits where it should.
bool list_layout_holds() {
  constexpr Py_ssize_t fields = sizeof(PyObject**) + sizeof(Py_ssize_t);
  if (type_size(&PyList_Type, "__basicsize__") != static_cast<Py_ssize_t>(sizeof(PyVarObject)) + fields) {
    return false;
  }
  PyRef list = PyRef::steal(PyList_New(2));
  if (!list) return false;
  PyList_SetItem(list.get(), 0, PyRef::borrow(Py_None).release());
  PyList_SetItem(list.get(), 1, PyRef::borrow(Py_True).release());
  const char* base = reinterpret_cast<const char*>(list.get()) + sizeof(PyVarObject);
  Py_ssize_t allocated;
  std::memcpy(&allocated, base + sizeof(PyObject**), sizeof allocated);
  if (allocated != 2) return false;
  PyObject** items;
  std::memcpy(&items, base, sizeof items);
  return items != nullptr && items[0] == Py_None && items[1] == Py_True;
}

bool float_layout_holds() {
  if (type_size(&PyFloat_Type, "__basicsize__") != static_cast<Py_ssize_t>(sizeof(PyObject) + sizeof(double))) {
    return false;
  }
  ObjectLayout direct;
  direct.float_value = true;
  for (double probe : {1.5, -0.0, 1e300, 5e-324}) {
    PyRef value = PyRef::steal(PyFloat_FromDouble(probe));
    if (!value) return false;
    double read = exact_float_value(direct, value.get());
    if (std::memcmp(&read, &probe, sizeof read) != 0) return false;
  }
  return true;
}

// The fixed part of a bytes object ends with its text's first byte (the
// closing NUL of an empty one), and every object's text starts there.
size_t measured_bytes_text_offset() {
  Py_ssize_t fixed = type_size(&PyBytes_Type, "__basicsize__");
  if (fixed <= 1 || type_size(&PyBytes_Type, "__itemsize__") != 1) return 0;
  size_t offset = static_cast<size_t>(fixed - 1);
  for (Py_ssize_t size : {64, 4096}) {
    PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, size));
    if (!bytes) return 0;
    auto* text = reinterpret_cast<const char*>(PyBytes_AsString(bytes.get()));
    if (text != reinterpret_cast<const char*>(bytes.get()) + offset) return 0;
  }
  return offset;
}

// --- date, time and datetime -----------------------------------------------

// CPython's date, time and datetime objects: the object header, a cached
// hash, the flag telling whether a tzinfo follows, and the packed fields.
// An object without a tzinfo is allocated without the last two members.
struct StoredDate {
  PyObject base;
  Py_hash_t hash;
  char has_tzinfo;
  uint8_t packed[4];
};

struct StoredTime {
  PyObject base;
  Py_hash_t hash;
  char has_tzinfo;
  uint8_t packed[6];
  uint8_t fold;
  PyObject* tzinfo;
};

struct StoredDatetime {
  PyObject base;
  Py_hash_t hash;
  char has_tzinfo;
  uint8_t packed[10];
  uint8_t fold;
  PyObject* tzinfo;
};

constexpr size_t DATE_BYTES = 4;
constexpr size_t TIME_BYTES = 6;

template <typename Stored>
StoredFields read_aware(PyObject* obj) noexcept {
  const Stored* stored = reinterpret_cast<const Stored*>(obj);
  return {stored->packed, stored->has_tzinfo ? stored->tzinfo : Py_None};
}

enum class Zone : uint8_t { none, utc, west };

// Values whose every field byte differs from its neighbours' and from the
// others' at the same place, aware ones (allocated in full) first; fold and
// the tzinfo must not move any field.
struct Probe {
  int year, month, day, hour, minute, second, microsecond;
  Zone zone;
  int fold;
};

constexpr std::array<Probe, 4> PROBES = {{
    {9999, 12, 31, 23, 59, 59, 999999, Zone::west, 1},
    {2024, 2, 29, 13, 7, 42, 123456, Zone::utc, 0},
    {1, 1, 1, 0, 0, 0, 0, Zone::none, 0},
    {1970, 7, 15, 1, 2, 3, 0x010203, Zone::none, 1},
}};

// UTC-05:30, built as timedelta(0, -19800).
constexpr int WEST_OFFSET_SECONDS = -19800;

std::array<uint8_t, 10> packed_fields(const Probe& p) {
  return {static_cast<uint8_t>(p.year >> 8), static_cast<uint8_t>(p.year & 0xFF), static_cast<uint8_t>(p.month),
          static_cast<uint8_t>(p.day),       static_cast<uint8_t>(p.hour),       static_cast<uint8_t>(p.minute),
          static_cast<uint8_t>(p.second),    static_cast<uint8_t>(p.microsecond >> 16),
          static_cast<uint8_t>(p.microsecond >> 8 & 0xFF), static_cast<uint8_t>(p.microsecond & 0xFF)};
}

// The datetime module's types and the time zones the probes carry.
struct ProbeTypes {
  std::array<PyRef, 3> by_layout;  // date, time, datetime
  PyRef utc;
  PyRef west;

  PyObject* zone(Zone zone) const noexcept {
    switch (zone) {
      case Zone::utc:
        return utc.get();
      case Zone::west:
        return west.get();
      case Zone::none:
        break;
    }
    return Py_None;
  }
};

bool find_probe_types(ProbeTypes& types) {
  PyRef module = PyRef::steal(PyImport_ImportModule("datetime"));
  if (!module) return false;
  const char* names[] = {"date", "time", "datetime"};
  for (size_t i = 0; i < types.by_layout.size(); ++i) {
    types.by_layout[i] = PyRef::steal(PyObject_GetAttrString(module.get(), names[i]));
    if (!types.by_layout[i]) return false;
  }
  PyRef timedelta = PyRef::steal(PyObject_GetAttrString(module.get(), "timedelta"));
  PyRef timezone = PyRef::steal(PyObject_GetAttrString(module.get(), "timezone"));
  if (!timedelta || !timezone) return false;
  types.utc = PyRef::steal(PyObject_GetAttrString(timezone.get(), "utc"));
  PyRef offset = PyRef::steal(PyObject_CallFunction(timedelta.get(), "ii", 0, WEST_OFFSET_SECONDS));
  if (!types.utc || !offset) return false;
  types.west = PyRef::steal(PyObject_CallFunctionObjArgs(timezone.get(), offset.get(), nullptr));
  return static_cast<bool>(types.west);
}

PyRef make_probe(Layout layout, PyObject* type, const Probe& p, PyObject* tzinfo) {
  PyRef args;
  switch (layout) {
    case Layout::date:
      return PyRef::steal(PyObject_CallFunction(type, "iii", p.year, p.month, p.day));
    case Layout::time:
      args = PyRef::steal(Py_BuildValue("(iiii)", p.hour, p.minute, p.second, p.microsecond));
      break;
    case Layout::datetime:
      args = PyRef::steal(
          Py_BuildValue("(iiiiiii)", p.year, p.month, p.day, p.hour, p.minute, p.second, p.microsecond));
      break;
  }
  PyRef keywords = PyRef::steal(Py_BuildValue("{s:O,s:i}", "tzinfo", tzinfo, "fold", p.fold));
  if (!args || !keywords) return PyRef();
  return PyRef::steal(PyObject_Call(type, args.get(), keywords.get()));
}

// The flag is checked before the tzinfo is read, which a naive value is
// allocated without.
bool fields_match(Layout layout, PyObject* obj, const Probe& p, PyObject* tzinfo) {
  if (layout != Layout::date) {
    bool flagged = reinterpret_cast<const StoredTime*>(obj)->has_tzinfo != 0;
    if (flagged != (tzinfo != Py_None)) return false;
  }
  std::array<uint8_t, 10> expected = packed_fields(p);
  StoredFields read = read_stored_fields(obj, layout);
  switch (layout) {
    case Layout::date:
      return std::memcmp(read.packed, expected.data(), DATE_BYTES) == 0;
    case Layout::time:
      return std::memcmp(read.packed, expected.data() + DATE_BYTES, TIME_BYTES) == 0 && read.tzinfo == tzinfo;
    case Layout::datetime:
      return std::memcmp(read.packed, expected.data(), expected.size()) == 0 && read.tzinfo == tzinfo;
  }
  return false;
}

constexpr std::array<size_t, 3> STORED_SIZES = {sizeof(StoredDate), sizeof(StoredTime), sizeof(StoredDatetime)};

// The type must have the size of the layout above (so that no read of an
// object allocated in full leaves it) and give back every probe's fields.
bool probes_match(Layout layout, const ProbeTypes& types) {
  PyObject* type = types.by_layout[static_cast<size_t>(layout)].get();
  auto* type_object = reinterpret_cast<PyTypeObject*>(type);
  if (type_size(type_object, "__basicsize__") != static_cast<Py_ssize_t>(STORED_SIZES[static_cast<size_t>(layout)]) ||
      type_size(type_object, "__itemsize__") != 0) {
    return false;
  }
  for (const Probe& p : PROBES) {
    PyObject* tzinfo = layout == Layout::date ? Py_None : types.zone(p.zone);
    PyRef obj = make_probe(layout, type, p, tzinfo);
    if (!obj || Py_TYPE(obj.get()) != type_object) return false;
    if (!fields_match(layout, obj.get(), p, tzinfo)) return false;
  }
  return true;
}

// The verified types, each with a new reference that the verdict keeps.
std::array<PyObject*, 3> readable_datetime_types() {
  std::array<PyObject*, 3> readable{};
  ProbeTypes types;
  if (!find_probe_types(types)) return readable;
  for (Layout layout : {Layout::date, Layout::time, Layout::datetime}) {
    size_t i = static_cast<size_t>(layout);
    if (probes_match(layout, types)) readable[i] = types.by_layout[i].get();
  }
  return readable;
}

// --- decimal ----------------------------------------------------------------

// CPython's C Decimal: the object header, a cached hash, libmpdec's number
// (flags, exponent, digits, limbs used, limbs allocated, the limbs) and the
// four limbs the number starts with.
struct StoredDecimal {
  PyObject base;
  Py_hash_t hash;
  uint8_t flags;
  int64_t exponent;
  int64_t digits;
  int64_t length;
  int64_t allocated;
  uint64_t* limbs;
  uint64_t own_limbs[4];
};

constexpr uint8_t DECIMAL_NEGATIVE = 1;
// Neither the number nor its limbs were allocated apart from the object,
// so neither is freed apart from it.
constexpr uint8_t DECIMAL_STATIC = 16 | 32;
constexpr int64_t DECIMAL_OWN_LIMBS = 4;

struct DecimalProbe {
  const char* text;
  bool negative;
  uint64_t coefficient;
  int64_t digits;
  int64_t exponent;
};

constexpr std::array<DecimalProbe, 5> DECIMAL_PROBES = {{
    {"-12.34", true, 1234, 4, -2},
    {"0", false, 0, 1, 0},
    {"-0E-7", true, 0, 1, -7},
    {"9999999999999999999", false, 9999999999999999999ULL, 19, 0},
    {"1.000E+8", false, 1000, 4, 5},
}};

bool decimal_fields_match(PyObject* obj, const DecimalProbe& p) {
  const auto* stored = reinterpret_cast<const StoredDecimal*>(obj);
  uint8_t flags = static_cast<uint8_t>((p.negative ? DECIMAL_NEGATIVE : 0) | DECIMAL_STATIC);
  return stored->hash == -1 && stored->flags == flags && stored->exponent == p.exponent &&
         stored->digits == p.digits && stored->length == 1 && stored->allocated == DECIMAL_OWN_LIMBS &&
         stored->limbs == stored->own_limbs && stored->own_limbs[0] == p.coefficient;
}

// The constructor's value must have the fields above, and the one written
// in place must equal it and print as the text it came from.
bool decimal_probe_holds(const WritableDecimal& decimal, const DecimalProbe& p) {
  PyRef made = PyRef::steal(PyObject_CallFunction(decimal.type, "s", p.text));
  if (!made || Py_TYPE(made.get()) != reinterpret_cast<PyTypeObject*>(decimal.type) ||
      !decimal_fields_match(made.get(), p)) {
    return false;
  }
  PyRef written = PyRef::steal(new_small_decimal(decimal, p.negative, p.coefficient, p.digits, p.exponent));
  if (!written || PyObject_RichCompareBool(written.get(), made.get(), Py_EQ) != 1) return false;
  PyRef text = PyRef::steal(PyObject_Str(written.get()));
  return text && PyUnicode_CompareWithASCIIString(text.get(), p.text) == 0;
}

// `_decimal`'s Decimal with a new reference, when every probe holds.
WritableDecimal probed_decimal(const ObjectLayout& layout) {
  WritableDecimal found;
  if (layout.refusal != nullptr) return found;
  PyRef module = PyRef::steal(PyImport_ImportModule("_decimal"));
  if (!module) return found;
  PyRef type = PyRef::steal(PyObject_GetAttrString(module.get(), "Decimal"));
  if (!type || !PyType_Check(type.get())) return found;
  auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
  if (type_size(type_object, "__basicsize__") != static_cast<Py_ssize_t>(sizeof(StoredDecimal)) ||
      type_size(type_object, "__itemsize__") != 0) {
    return found;
  }
  WritableDecimal candidate{type.get(), reinterpret_cast<allocfunc>(PyType_GetSlot(type_object, Py_tp_alloc))};
  if (candidate.alloc == nullptr) return found;
  for (const DecimalProbe& p : DECIMAL_PROBES) {
    if (!decimal_probe_holds(candidate, p)) return found;
  }
  candidate.type = type.release();  // the verdict's reference
  return candidate;
}

ObjectLayout check_interpreter() {
  ObjectLayout layout;
  layout.refusal = refusal();
  if (layout.refusal != nullptr) return layout;
  // The probes stop at an exception that must reach the caller.
  layout.list_items = list_layout_holds();
  if (PyErr_Occurred() && !clear_probe_failure()) return layout;
  layout.float_value = float_layout_holds();
  if (PyErr_Occurred() && !clear_probe_failure()) return layout;
  layout.bytes_text_offset = measured_bytes_text_offset();
  if (PyErr_Occurred() && !clear_probe_failure()) return layout;
  layout.readable_types = readable_datetime_types();
  return layout;
}

// The verdict is process-wide, the only such state besides the type objects
// and the compression pool, and allowed only as what it is: computed once,
// at the first call, and never changed afterwards. Its references to the
// date, time, datetime and Decimal types are never released (nor need they
// be: the types live as long as the process that imported the module once).
struct ProcessVerdict {
  bool made = false;
  ObjectLayout layout;
  bool decimal_made = false;
  WritableDecimal decimal;
};
ProcessVerdict process_verdict;

}  // namespace

Status ObjectLayout::verified(ObjectLayout& out) {
  if (!process_verdict.made) {
    ObjectLayout layout = check_interpreter();
    if (PyErr_Occurred() && !clear_probe_failure()) return Status::failure();
    // The probes run Python code, during which another thread may have
    // finished the same check first; its verdict stands.
    if (!process_verdict.made) {
      for (PyObject* type : layout.readable_types) Py_XINCREF(type);
      process_verdict = {true, layout};
    }
  }
  out = process_verdict.layout;
  return Status::success();
}

Status writable_decimal(const ObjectLayout& layout, WritableDecimal& out) {
  if (!process_verdict.decimal_made) {
    WritableDecimal decimal = probed_decimal(layout);
    if (PyErr_Occurred() && !clear_probe_failure()) {
      Py_XDECREF(decimal.type);
      return Status::failure();
    }
    if (process_verdict.decimal_made) {
      Py_XDECREF(decimal.type);  // another thread's verdict, made while the probes ran, stands
    } else {
      process_verdict.decimal = decimal;
      process_verdict.decimal_made = true;
    }
  }
  out = process_verdict.decimal;
  return Status::success();
}

PyObject* new_small_decimal(const WritableDecimal& decimal, bool negative, uint64_t coefficient, int64_t digits,
                            int64_t exponent) noexcept {
  PyObject* obj = decimal.alloc(reinterpret_cast<PyTypeObject*>(decimal.type), 0);
  if (obj == nullptr) return nullptr;
  auto* stored = reinterpret_cast<StoredDecimal*>(obj);
  stored->hash = -1;
  stored->flags = static_cast<uint8_t>((negative ? DECIMAL_NEGATIVE : 0) | DECIMAL_STATIC);
  stored->exponent = exponent;
  stored->digits = digits;
  stored->length = 1;
  stored->allocated = DECIMAL_OWN_LIMBS;
  stored->limbs = stored->own_limbs;
  stored->own_limbs[0] = coefficient;
  return obj;
}

std::string describe_paths(const ObjectLayout& layout, const WritableDecimal& decimal) {
  if (layout.refusal != nullptr) return std::string("safe: ") + layout.refusal;
  std::string safe;
  auto note = [&safe](bool direct, const char* name) {
    if (!direct) safe += safe.empty() ? name : std::string(", ") + name;
  };
  note(layout.list_items, "list");
  note(layout.float_value, "float");
  note(layout.bytes_text_offset != 0, "bytes");
  note(layout.readable_types[0] != nullptr, "date");
  note(layout.readable_types[1] != nullptr, "time");
  note(layout.readable_types[2] != nullptr, "datetime");
  note(decimal.type != nullptr, "decimal");
  return safe.empty() ? "direct" : "direct, but safe for " + safe + " (probe mismatch)";
}

ReadableLayouts find_readable_layouts(const StandardTypes& types, const ObjectLayout& layout) noexcept {
  auto verified = [&layout](PyObject* type, Layout which) {
    return type != nullptr && type == layout.readable_types[static_cast<size_t>(which)];
  };
  ReadableLayouts readable;
  readable.date = verified(types.date, Layout::date);
  readable.time = verified(types.time, Layout::time);
  readable.datetime = verified(types.datetime, Layout::datetime);
  return readable;
}

StoredFields read_stored_fields(PyObject* obj, Layout layout) noexcept {
  switch (layout) {
    case Layout::date:
      return {reinterpret_cast<const StoredDate*>(obj)->packed, Py_None};
    case Layout::time:
      return read_aware<StoredTime>(obj);
    case Layout::datetime:
      break;
  }
  return read_aware<StoredDatetime>(obj);
}

// --- bytes written in place ------------------------------------------------

// Below two bytes PyBytes_FromStringAndSize may hand out a shared singleton,
// which must never move.
constexpr size_t BYTES_IN_PLACE_MIN = 2;

PyObject* new_bytes_in_place(size_t size) noexcept {
  size_t room = size < BYTES_IN_PLACE_MIN ? BYTES_IN_PLACE_MIN : size;
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(room));
  return bytes;  // null with CPython's MemoryError set, which the caller's report replaces
}

PyObject* resize_bytes_in_place(size_t text_offset, PyObject* bytes, size_t size) noexcept {
  size_t room = size < BYTES_IN_PLACE_MIN ? BYTES_IN_PLACE_MIN : size;
  // The text keeps room for the closing NUL.
  void* moved = PyObject_Realloc(bytes, text_offset + room + 1);
  if (moved == nullptr) return nullptr;
  set_bytes_size(text_offset, static_cast<PyObject*>(moved), size);
  return static_cast<PyObject*>(moved);
}

void set_bytes_size(size_t text_offset, PyObject* bytes, size_t size) noexcept {
  Py_SET_SIZE(reinterpret_cast<PyVarObject*>(bytes), static_cast<Py_ssize_t>(size));
  bytes_text(text_offset, bytes)[size] = 0;
}

}  // namespace quarl
