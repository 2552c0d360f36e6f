// Rebuilding dates, times, datetimes, UUIDs and decimals from their text.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "common/object_layout.h"
#include "common/pyref.h"
#include "common/status.h"
#include "decoder/collector_pause.h"
#include "decoder/special_text.h"

namespace quarl {

// Lives for one decode call, with strong references to everything it looks
// up, which it releases with it. The standard-library classes are looked up
// when the first value of their kind is met; nothing is imported for a
// document without such values.
//
// The first values of each kind are built by the standard constructor
// (fromisoformat, uuid.UUID, decimal.Decimal), exactly as text of any other
// form is. When such a value shows that the class looked up is a plain class
// (its own type, object's __init__; for UUIDs object's __new__ and both
// fields in __slots__), later values are built the way pickling builds
// them: dates, times and datetimes in the canonical form that the encoder
// writes by the class's __new__ with their packed fields and time zone,
// UUIDs by __new__ and their two slots, decimals by __new__ with their text
// or, for those of at most 19 digits where the class is CPython's C Decimal
// and its layout was verified, written in place as that __new__ writes them.
// The time zone of each offset is then the one of the value built with it,
// so values with equal offsets share one time zone object (UTC the standard
// library's own), and every value equals what the standard constructor makes
// of its text.
class SpecialTypes {
 public:
  explicit SpecialTypes(const ObjectLayout& layout) noexcept : layout_(layout) {}

  // The value of a special tag; a new reference, or NULL with an exception
  // set. Python code runs with the collector as the caller left it.
  PyObject* rebuild(uint8_t tag, std::span<const uint8_t> text, CollectorPause& pause);

 private:
  enum Kind : uint8_t { DATETIME, DATE, TIME, UUID, DECIMAL, KIND_COUNT };
  static constexpr size_t ISO_KIND_COUNT = 3;
  // Whether canonical values of a kind may be built without the constructor,
  // and whether that may run Python code: the __new__ of a class defined in
  // Python (a heap type, as far as the class can tell) may. The class is
  // examined at the second value of its kind: a lone value costs no more
  // than its constructor.
  enum class Shortcut : uint8_t { unmet, met_once, native, may_run_python, refused };

  // The canonical text of a value, read.
  struct Canonical {
    IsoFields fields;
    UuidBytes uuid;
  };

  // A time zone shared by the values written with one offset.
  struct Zone {
    int64_t key;
    PyRef tzinfo;
  };
  // A document rarely holds more offsets than this; values with further
  // offsets are still read, by the standard constructor.
  static constexpr size_t MAX_ZONES = 32;

  // The positional arguments of one kind of call: the tuple is kept and
  // refilled while no callee has kept it, so repeated calls make none.
  class Arguments {
   public:
    // The tuple holding `items` (borrowed); null when memory runs out.
    PyObject* fill(std::initializer_list<PyObject*> items);
    // The bytes of `text` for the tuple's first place: the bytes object
    // already there rewritten, when its size fits and nothing but the tuple
    // holds either, else a new one.
    PyRef first_bytes(std::span<const uint8_t> text);

   private:
    PyRef tuple_;
  };

  // How a function built in C that takes its arguments as an array is
  // called, as the interpreter calls it.
  using FastCall = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* names);

  struct UuidParts {
    PyRef empty_args;
    PyRef int_slot;
    PyRef is_safe_slot;
    descrsetfunc set_int = nullptr;
    descrsetfunc set_is_safe = nullptr;
    PyRef is_safe;  // as the constructor sets it
    // int.from_bytes, which makes the 128-bit int in one step where shifting
    // two halves together makes four ints; called without an argument tuple, with int as its `self`.
    FastCall int_from_bytes = nullptr;
    PyRef int_bytes;  // rewritten for each UUID while nothing else holds it
  };

  static bool read_canonical(Kind kind, std::span<const uint8_t> text, Canonical& out) noexcept;
  bool usable(Kind kind) const noexcept {
    return shortcuts_[kind] == Shortcut::native || shortcuts_[kind] == Shortcut::may_run_python;
  }
  PyObject* build(Kind kind, std::span<const uint8_t> text, const Canonical& canonical, PyObject* tzinfo);
  PyObject* build_iso(Kind kind, const IsoFields& fields, PyObject* tzinfo);
  PyObject* build_uuid(const UuidBytes& bytes);
  PyObject* build_decimal(std::span<const uint8_t> text);
  PyRef uuid_int(const UuidBytes& bytes);

  // The standard constructor: checks the text, then calls the class or its
  // fromisoformat with the text as a str.
  PyObject* construct(Kind kind, std::span<const uint8_t> text);
  // The text as a str, once it is found to be UTF-8.
  PyRef checked_str(Kind kind, std::span<const uint8_t> text);
  // What a value built by the constructor tells about its kind and offset.
  Status learn_from(Kind kind, PyObject* value, const UtcOffset& offset);
  Status learn_class(Kind kind, PyObject* value);
  Status learn_uuid_parts(PyObject* value);
  static Status learn_int_from_bytes(UuidParts& parts);
  Status learn_zone(Kind kind, PyObject* value, const UtcOffset& offset);
  PyObject* find_zone(const UtcOffset& offset) const noexcept;

  PyObject* standard_class(Kind kind);
  PyObject* standard_constructor(Kind kind);

  std::array<PyRef, KIND_COUNT> classes_;
  std::array<PyRef, ISO_KIND_COUNT> fromisoformat_;
  std::array<Shortcut, KIND_COUNT> shortcuts_{};
  // The __new__ of each class found usable, and its arguments, by count.
  std::array<newfunc, KIND_COUNT> new_objects_{};
  ObjectLayout layout_;
  // The Decimal type written in place, when the class looked up is that type.
  WritableDecimal writable_decimal_;
  Arguments one_argument_;
  Arguments two_arguments_;
  std::vector<Zone> zones_;
  UuidParts uuid_;
};

}  // namespace quarl
