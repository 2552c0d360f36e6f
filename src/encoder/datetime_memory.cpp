#include "encoder/datetime_memory.h"

#include <array>
#include <cstddef>
#include <cstring>

#include "common/pyref.h"

namespace quarl {
namespace {

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

// --- The probes ------------------------------------------------------------

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

struct ProbeZones {
  PyRef utc;
  PyRef west;

  PyObject* get(Zone zone) const noexcept {
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

bool make_zones(const StandardTypes& types, ProbeZones& zones) {
  if (types.timedelta == nullptr || types.timezone == nullptr) return false;
  zones.utc = PyRef::steal(PyObject_GetAttrString(types.timezone, "utc"));
  PyRef offset = PyRef::steal(PyObject_CallFunction(types.timedelta, "ii", 0, WEST_OFFSET_SECONDS));
  if (!zones.utc || !offset) return false;
  zones.west = PyRef::steal(PyObject_CallFunctionObjArgs(types.timezone, offset.get(), nullptr));
  return static_cast<bool>(zones.west);
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

size_t stored_size(Layout layout) {
  switch (layout) {
    case Layout::date:
      return sizeof(StoredDate);
    case Layout::time:
      return sizeof(StoredTime);
    case Layout::datetime:
      break;
  }
  return sizeof(StoredDatetime);
}

bool has_size(PyObject* type, const char* name, size_t size) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(type, name));
  if (!value) return false;
  size_t actual = PyLong_AsSize_t(value.get());
  return !PyErr_Occurred() && actual == size;
}

// The type must have the size of the layout above (so that no read of an
// object allocated in full leaves it) and give back every probe's fields.
bool probes_match(Layout layout, PyObject* type, const StandardTypes& types) {
  if (!has_size(type, "__basicsize__", stored_size(layout)) || !has_size(type, "__itemsize__", 0)) return false;
  ProbeZones zones;
  if (layout != Layout::date && !make_zones(types, zones)) return false;
  for (const Probe& p : PROBES) {
    PyObject* tzinfo = zones.get(p.zone);
    PyRef obj = make_probe(layout, type, p, tzinfo);
    if (!obj || Py_TYPE(obj.get()) != reinterpret_cast<PyTypeObject*>(type)) return false;
    if (!fields_match(layout, obj.get(), p, layout == Layout::date ? Py_None : tzinfo)) return false;
  }
  return true;
}

bool is_readable(Layout layout, PyObject* type, const StandardTypes& types, LayoutVerdicts& verdicts) {
  if (type == nullptr) return false;
  LayoutVerdicts::Verdict& verdict = verdicts.by_layout[static_cast<size_t>(layout)];
  if (verdict.type.get() == type) return verdict.readable;
  bool readable = probes_match(layout, type, types);
  PyErr_Clear();
  verdict.type = PyRef::borrow(type);
  verdict.readable = readable;
  return readable;
}

}  // namespace

ReadableLayouts find_readable_layouts(const StandardTypes& types, LayoutVerdicts& verdicts) {
  ReadableLayouts layouts;
  layouts.date = is_readable(Layout::date, types.date, types, verdicts);
  layouts.time = is_readable(Layout::time, types.time, types, verdicts);
  layouts.datetime = is_readable(Layout::datetime, types.datetime, types, verdicts);
  return layouts;
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

}  // namespace quarl
