// The value paths of the model batch, with the state that lets them decide
// how a type is written once per batch instead of once per value.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/pyref.h"
#include "common/status.h"
#include "encoder/datetime_memory.h"
#include "encoder/encoder_state.h"

namespace quarl {

// How the ultra-fast path writes objects of one type that is none of the
// scalar types. The decision repeats the general walk's tests in its order,
// so a value is written exactly as the general walk would write it; the
// standard library's own types then get a route that skips the calls back
// into Python but yields the same text.
enum class ObjectKind : uint8_t {
  general,          // handed to the general walk
  isoformat,        // isoformat() under the tag chosen by type name
  uuid,             // the `hex` text under TAG_UUID
  decimal,          // str() under TAG_DECIMAL
  enum_value,       // an enumeration member, written as its `value`
  standard_date,    // datetime.date, text built from its fields
  standard_time,    // datetime.time
  standard_datetime,  // datetime.datetime
  standard_uuid,    // uuid.UUID, hex text built from its `int`
  standard_enum,    // a member whose `value` and `name` are enum.Enum's own
};

// What one field of a batch remembers between items: the kind of the last
// type met there, and the UTC-offset text of the last fixed-offset timezone.
// The references keep the type and timezone alive, so their addresses
// cannot be reused by other objects while the memo lives.
struct FieldMemo {
  PyRef type;
  ObjectKind kind = ObjectKind::general;
  uint8_t tag = 0;
  PyRef timezone;
  std::string offset_text;

  // The memo of the values one level down: list items, enumeration values.
  FieldMemo& inner() {
    if (!inner_) inner_ = std::make_unique<FieldMemo>();
    return *inner_;
  }

  // The value of an enumeration member met here lately, or null.
  PyObject* remembered_value(PyObject* member) const noexcept {
    for (const Member& remembered : members_) {
      if (remembered.member.get() == member) return remembered.value.get();
    }
    return nullptr;
  }
  void remember_member(PyObject* member, PyObject* value) {
    Member& slot = members_[next_member_++ % members_.size()];
    slot.member = PyRef::borrow(member);
    slot.value = PyRef::borrow(value);
  }

 private:
  struct Member {
    PyRef member;
    PyRef value;
  };
  static constexpr size_t REMEMBERED_MEMBERS = 4;

  std::unique_ptr<FieldMemo> inner_;
  std::array<Member, REMEMBERED_MEMBERS> members_;
  size_t next_member_ = 0;
};

// Attribute names and standard-library types, looked up once per batch. A
// type whose module is not imported stays null: no value can be of it.
struct ValueNames {
  PyRef isoformat, hex, value, name, enum_value, enum_name, int_, utcoffset, mro, dict;
  PyRef days, seconds, microseconds;
  PyRef shift_64;
  PyRef datetime_type, date_type, time_type, timedelta_type, timezone_type, uuid_type, enum_type;
  // The types' own __reduce__ methods.
  PyRef datetime_reduce, date_reduce, time_reduce;
  // The types whose objects are read from memory instead of __reduce__().
  ReadableLayouts in_memory;
};

class UltraFastState {
 public:
  // Fails (exception set) only when the names cannot be created.
  Status prepare(EncoderState& codec, size_t fields);
  const ValueNames& names() const noexcept { return names_; }
  FieldMemo& field(size_t index) noexcept { return fields_[index]; }

 private:
  ValueNames names_;
  std::vector<FieldMemo> fields_;
};

// serialize_value_ultra_fast with the state of one batch and one field.
Status serialize_value_ultra_fast(EncoderState& codec, PyObject* obj, const ValueNames& names, FieldMemo& memo);

// Text returned by Python code, which must be a str, under `tag`.
Status write_returned_text(EncoderState& codec, uint8_t tag, PyRef text);
Status write_isoformat(EncoderState& codec, PyObject* obj, uint8_t tag, const ValueNames& names);
Status write_uuid_hex(EncoderState& codec, PyObject* obj, const ValueNames& names);

// The standard library's types, written from their fields.
Status write_standard_date(EncoderState& codec, PyObject* obj, const ValueNames& names, FieldMemo& memo);
Status write_standard_time(EncoderState& codec, PyObject* obj, const ValueNames& names, FieldMemo& memo);
Status write_standard_datetime(EncoderState& codec, PyObject* obj, const ValueNames& names, FieldMemo& memo);
Status write_standard_uuid(EncoderState& codec, PyObject* obj, const ValueNames& names);
// True when `type`'s `value` and `name` are those enum.Enum defines.
bool uses_enum_value_and_name(PyTypeObject* type, const ValueNames& names);

}  // namespace quarl
