// Every shortcut that reads or writes CPython objects' memory directly, in
// one place, behind one check.
//
// The stable ABI reaches a list's items, a float's value and the fields of a
// date, time or datetime only through calls (for the last, their pickled
// state), and on numeric data those calls cost more than the rest of the
// walk; nor does it offer a way to grow a bytes object while it is being
// written, or to make a Decimal other than by its constructor, which parses
// its arguments and copies the text before it reads it. Where the
// interpreter is one whose layouts were verified (CPython 3.11, 3.12 and
// 3.13 final releases, neither a debug nor a trace-refs build), and probes
// of real objects agree with the layouts below, the codec takes the
// shortcuts; everywhere else, and whenever QUARL_SAFE_PATHS is set to
// anything but "" or "0", it takes the limited-API path for each, which
// gives the same bytes and values.
//
// The check runs once per process, at the first call to
// ObjectLayout::verified() (the first encode or decode), and every encoder
// and decoder state copies its verdict; decimals are checked apart, at the
// first decode that learns them (writable_decimal()), so that no other call
// imports the decimal module. That verdict is process-wide state, the only
// such state besides the type objects and the compression pool, and is
// allowed as an immutable value computed once.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/status.h"

namespace quarl {

enum class Layout : uint8_t { date, time, datetime };

struct ObjectLayout {
  bool list_items = false;   // a list's item array follows its header
  bool float_value = false;  // a float's double follows its header
  // Where a bytes object's text begins, counted from the object; 0 when a
  // bytes object is never written in place.
  size_t bytes_text_offset = 0;
  // The date, time and datetime types whose objects' fields are read in
  // place, each null where the pickled state is read instead. The verdict
  // keeps a reference to each, so no other type can take its address.
  std::array<PyObject*, 3> readable_types{};
  // Why every shortcut is off, or null when the interpreter passed the gate.
  const char* refusal = nullptr;

  // The process's verdict into `out`; the first call checks this interpreter.
  // A probe that cannot be made counts as a mismatch; what interrupts the
  // probes (KeyboardInterrupt, MemoryError) fails the call and leaves the
  // verdict to a later one. Called with no exception set.
  static Status verified(ObjectLayout& out);
};

// --- list and float --------------------------------------------------------

namespace object_layout_detail {
inline PyObject** list_item_array(PyObject* list) noexcept {
  PyObject** items;
  std::memcpy(&items, reinterpret_cast<const char*>(list) + sizeof(PyVarObject), sizeof items);
  return items;
}
}  // namespace object_layout_detail

// Item `i` of a list (borrowed), or null with no error set when the list has
// fewer items by now. Subclasses share the list's layout.
inline PyObject* list_item_at(const ObjectLayout& layout, PyObject* list, Py_ssize_t i) noexcept {
  if (layout.list_items) {
    if (i >= Py_SIZE(list)) return nullptr;
    return object_layout_detail::list_item_array(list)[i];
  }
  if (i >= PyList_Size(list)) return nullptr;
  return PyList_GetItem(list, i);
}

// Fills slot `i` of a list just made by PyList_New, whose slots are all
// empty; the list takes over the reference to `item`.
inline void fill_new_list_slot(const ObjectLayout& layout, PyObject* list, Py_ssize_t i, PyObject* item) noexcept {
  if (layout.list_items) {
    object_layout_detail::list_item_array(list)[i] = item;
    return;
  }
  PyList_SetItem(list, i, item);  // cannot fail: a list, an index in range
}

// The value of an exact float.
inline double exact_float_value(const ObjectLayout& layout, PyObject* obj) noexcept {
  if (layout.float_value) {
    double value;
    std::memcpy(&value, reinterpret_cast<const char*>(obj) + sizeof(PyObject), sizeof value);
    return value;
  }
  return PyFloat_AsDouble(obj);
}

// --- date, time and datetime -----------------------------------------------

// The packed fields (in the order of the pickled state: year as two
// big-endian bytes, month, day; hour, minute, second, microsecond as three
// big-endian bytes) and the tzinfo, borrowed from the object, or Py_None.
struct StoredFields {
  const uint8_t* packed;
  PyObject* tzinfo;
};

// The standard types, as the encoder found them.
struct StandardTypes {
  PyObject* date;
  PyObject* time;
  PyObject* datetime;
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

// A type is readable when it is the very type that the check verified.
ReadableLayouts find_readable_layouts(const StandardTypes& types, const ObjectLayout& layout) noexcept;

// Only for an object of exactly a type found readable for `layout`.
StoredFields read_stored_fields(PyObject* obj, Layout layout) noexcept;

// --- decimal ----------------------------------------------------------------
// A Decimal of CPython's C implementation (the `_decimal` module) holds a
// libmpdec number whose first four 64-bit limbs of 19 digits each live in
// the object itself. A decimal of at most 19 significant digits, one limb,
// is written in place as its constructor writes it.

// The C implementation's Decimal type and its allocator, or nulls where
// decimals are always made by their constructor.
struct WritableDecimal {
  PyObject* type = nullptr;
  allocfunc alloc = nullptr;
};

// The process's verdict; the first call imports `_decimal` and probes values
// that its constructor made, as verified() probes the other types. The
// verdict keeps a reference to the type. Called with no exception set.
Status writable_decimal(const ObjectLayout& layout, WritableDecimal& out);

// A new Decimal of the writable type: the coefficient, negated when
// `negative`, times ten to `exponent`; `digits` counts the coefficient's
// digits (1 for zero) and is at most 19. Null with CPython's MemoryError set
// when memory runs out.
PyObject* new_small_decimal(const WritableDecimal& decimal, bool negative, uint64_t coefficient, int64_t digits,
                            int64_t exponent) noexcept;

// "direct", or which paths are the safe ones and why: for benchmarks and
// test reports.
std::string describe_paths(const ObjectLayout& layout, const WritableDecimal& decimal);

// --- bytes written in place ------------------------------------------------
// Only with a text offset that the check found (bytes_text_offset, not 0),
// and only on a bytes object made by new_bytes_in_place that nothing else
// refers to yet: it is grown and shrunk the way CPython resizes a new bytes
// object itself.

// A bytes object with room for `size` bytes of text, or null (no error set).
PyObject* new_bytes_in_place(size_t size) noexcept;

inline uint8_t* bytes_text(size_t text_offset, PyObject* bytes) noexcept {
  return reinterpret_cast<uint8_t*>(bytes) + text_offset;
}

// The object resized to `size` bytes of text (perhaps moved), or null with
// `bytes` left as it was when memory runs out.
PyObject* resize_bytes_in_place(size_t text_offset, PyObject* bytes, size_t size) noexcept;

// Makes the first `size` bytes of the text, at most its room, the whole
// text, closed by the NUL that every bytes object carries.
void set_bytes_size(size_t text_offset, PyObject* bytes, size_t size) noexcept;

}  // namespace quarl
