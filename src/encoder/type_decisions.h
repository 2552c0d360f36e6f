// What a type becomes, decided once per encode in one place.
//
// The general walk asks this cache about every object that is none of the
// built-in types; lists of model objects (the batch) are written by the same
// walk and ask the same cache, so there is one order of tests, not one per
// path. Each entry holds a strong reference to its type, so no type the
// cache remembers can be freed (and its address reused) during the encode.
// What an object's type says is valid for all its objects only as long as
// the type does not change: a decision about a type that Python code can
// change is made again once Python code may have run since it was made.
// What an object itself can change (its instance dict, an enumeration
// member's value) is read from each object.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/object_layout.h"
#include "common/pyref.h"
#include "common/status.h"

namespace quarl {

enum class Kind : uint8_t {
  builtin_subclass,   // a subclass of int, float, str, dict, list, tuple, set, frozenset or bytes
  per_object,         // the general walk's attribute steps, run on each object
  decimal,            // type name "Decimal": str() under TAG_DECIMAL
  standard_date,      // exactly datetime.date: text built from its fields
  standard_time,      // exactly datetime.time
  standard_datetime,  // exactly datetime.datetime
  standard_uuid,      // exactly uuid.UUID: `hex` built from its `int`
  enum_member,        // a member whose `value` and `name` are enum.Enum's own
  model,              // written as its instance __dict__
  unhandled,          // no step matches: str(), or the `default` hook
  ordered_dict,       // a dict subclass with an order of its own: OrderedDict
  missing,            // pandas' missing-value markers pd.NA and pd.NaT: None
  numpy_scalar,       // a NumPy scalar (np.generic): its item()
  values_list,        // a pandas Index or Categorical: its tolist()
  base_datetime,      // a subclass of datetime.datetime (pd.Timestamp): as a datetime
  base_date,          // a subclass of datetime.date
  base_time,          // a subclass of datetime.time
  secret,             // a Pydantic SecretStr or SecretBytes: its str(), which hides it
  dataclass_fields,   // a dataclass without __dict__ (slots=True): the dict of its fields
};

// The keys of the first dict written for a model type, with their indices,
// so that later objects of the type skip the string table for keys they
// share with it. Immutable once made; lives until the end of the encode.
struct KeyHint {
  std::vector<PyRef> names;
  std::vector<uint32_t> indices;
};

struct Decision {
  Kind kind = Kind::per_object;
  bool immutable = false;  // the type cannot change: its code is not Python's
  // model: pydantic's __getattr__ also serves each object's extra fields
  // (only set when the model allows extra fields).
  bool pydantic = false;
  const KeyHint* keys = nullptr;  // model: the key hint, once one was made
  const std::vector<PyRef>* fields = nullptr;  // dataclass_fields: the field names, in order
};

// Interned attribute names and the standard library's and other libraries'
// types, looked up at the first decision and again whenever sys.modules has
// changed since. A type whose module is not imported stays null: no value
// can be of it.
struct EncodeNames {
  PyRef isoformat, hex, value, name, enum_value, enum_name, int_, utcoffset, mro, dict, getattr,
      getattribute, private_attributes, pydantic_extra;
  PyRef days, seconds, microseconds;
  PyRef shift_64;
  PyRef datetime_type, date_type, time_type, timedelta_type, timezone_type, uuid_type, enum_type,
      ndarray_type, pydantic_model_getattr;
  PyRef datetime_reduce, date_reduce, time_reduce;
  // Types whose objects are written as plain values ; null when
  // their library is not imported.
  PyRef ordered_dict_type, numpy_generic_type, pandas_index_type, pandas_categorical_type, pandas_na_type,
      pandas_nat_type,
      secret_base_type;
  PyRef base_datetime_type, base_date_type, base_time_type;  // never reset, unlike the three above
  PyRef dataclass_fields_function;
  PyRef tolist, item, dataclass_fields;
  ReadableLayouts in_memory;
};

// The text of the last fixed-offset timezone met, which always gives the
// same offset.
struct TimezoneMemo {
  PyRef timezone;
  std::string offset_text;
  bool ran_python = false;  // a timezone's utcoffset() may have run Python code
};

class TypeDecisions {
 public:
  TypeDecisions() = default;
  TypeDecisions(TypeDecisions&&) noexcept = default;
  TypeDecisions& operator=(TypeDecisions&&) noexcept = default;

  // The decision for the type of `obj`. `python_calls` is the codec's count
  // of calls into Python code: a decision about a mutable type made at
  // another count is made again. The result stays valid until the next call.
  Status decide(PyObject* obj, uint64_t python_calls, const ObjectLayout& layout, Decision& out);

  // A model type's key hint is made once, from the first dict written for
  // the type (null when that dict's keys do not suit one).
  bool wants_key_hint(PyTypeObject* type) noexcept;
  void set_key_hint(PyTypeObject* type, std::unique_ptr<KeyHint> hint);

  const EncodeNames& names() const noexcept { return names_; }
  TimezoneMemo& timezone_memo() noexcept { return timezone_; }

  // Drops the decisions and the types they hold; run at the start and the
  // end of each encode. Frees memory, never allocates.
  void clear() noexcept;

 private:
  struct Entry {
    PyRef type;
    Decision decision;
    uint64_t made_at = 0;
    bool immutable = false;
    bool hint_tried = false;
  };
  Entry* find(PyTypeObject* type) noexcept;
  Entry* find_slow(PyTypeObject* type) noexcept;
  static size_t slot_of(PyTypeObject* type) noexcept {
    return (reinterpret_cast<uintptr_t>(type) >> 6) % RECENT_SLOTS;
  }
  Status prepare(const ObjectLayout& layout);
  Status dataclass_field_names(PyTypeObject* type, Decision& decision);

  bool prepared_ = false;
  Py_ssize_t prepared_modules_ = 0;  // the size of sys.modules when the names were looked up
  EncodeNames names_;
  TimezoneMemo timezone_;
  std::vector<std::unique_ptr<Entry>> entries_;
  std::unordered_map<PyTypeObject*, Entry*> index_;  // used once entries_ is long
  // The entries met lately, by the type's address.
  static constexpr size_t RECENT_SLOTS = 16;
  Entry* recent_[RECENT_SLOTS] = {};
  std::vector<std::unique_ptr<KeyHint>> hints_;
  std::vector<std::unique_ptr<std::vector<PyRef>>> field_lists_;
};

}  // namespace quarl
