// The fields of the standard date, time and datetime objects, read from the
// objects themselves. The stable ABI gives no access to them, so the layout
// is proved once per process against values of known fields before any
// object is read; where it does not hold, the caller takes the pickled state.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>

#include "common/pyref.h"

namespace quarl {

enum class Layout : uint8_t { date, time, datetime };

// The packed fields (in the order of the pickled state: year as two
// big-endian bytes, month, day; hour, minute, second, microsecond as three
// big-endian bytes) and the tzinfo, borrowed from the object, or Py_None.
struct StoredFields {
  const uint8_t* packed;
  PyObject* tzinfo;
};

// The standard types and the helpers the probes are built with.
struct StandardTypes {
  PyObject* date;
  PyObject* time;
  PyObject* datetime;
  PyObject* timedelta;
  PyObject* timezone;
};

// Which of the standard types may be read with read_stored_fields.
struct ReadableLayouts {
  bool date = false;
  bool time = false;
  bool datetime = false;

  bool readable(Layout layout) const noexcept {
    switch (layout) {
      case Layout::date:
        return date;
      case Layout::time:
        return time;
      case Layout::datetime:
        break;
    }
    return datetime;
  }
};

// The verdict on each standard type, kept by a codec with a reference to the
// type, so that no other type can take its address.
struct LayoutVerdicts {
  struct Verdict {
    PyRef type;
    bool readable = false;
  };
  std::array<Verdict, 3> by_layout;
};

// Probes each type the first time `verdicts` meets it. Never fails: a probe
// that cannot be made counts as a mismatch.
ReadableLayouts find_readable_layouts(const StandardTypes& types, LayoutVerdicts& verdicts);

// Only for an object of exactly the standard type whose layout was found
// readable.
StoredFields read_stored_fields(PyObject* obj, Layout layout) noexcept;

}  // namespace quarl
