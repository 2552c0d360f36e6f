// The attribute-based steps of the general walk, kept out of the hot path.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "common/pyref.h"
#include "common/status.h"
#include "encoder/type_decisions.h"
#include "encoder/encoder_state.h"

namespace quarl {

// Dictionary encoding of a dict (or subclass), shared with the __dict__ step.
Status write_dict(EncoderState& codec, PyObject* dict);

// An object written in place of another, at that object's depth; a
// replacement of a replacement goes one level deeper (so endless chains end
// at the depth limit).
Status write_replacement(EncoderState& codec, PyObject* replacement);

// A dict subclass read in its own iteration order (OrderedDict).
Status write_ordered_dict(EncoderState& codec, PyObject* dict);

// Subclasses of the built-in types, by subtype tests in the walk's order.
Status write_builtin_subclass(EncoderState& codec, PyObject* obj);

// The instance dict of a model object of `type`: keys that are the ones of
// the type's key hint take their indices from it; the first dict written for
// the type makes the hint.
Status write_model_dict(EncoderState& codec, PyTypeObject* type, PyObject* dict, const KeyHint* keys);

// Objects that are none of the built-in types: float64 arrays, Decimal,
// date-like objects, UUIDs, enum members, tables, objects with a __dict__,
// and finally str() or the `default` hook; decided by the type where it can.
Status write_special_object(EncoderState& codec, PyObject* obj);

// The last step for an object nothing else takes: the codec's `default`
// hook's result, one level deeper, or else the object's str().
Status write_unhandled(EncoderState& codec, PyObject* obj);

// The type's __qualname__, by which the walk recognises types; `text` lives
// as long as `name`.
Status type_qualname(PyObject* obj, PyRef& name, std::string_view& text);

// The tag an isoformat() text gets by the type's name.
uint8_t isoformat_tag(std::string_view type_name);

// Reads an attribute the way hasattr() sees it: `found` is false when the
// read fails with AttributeError; any other exception is a failure.
Status read_optional_attribute(PyObject* obj, const char* name, PyRef& value, bool& found);
Status read_optional_attribute(PyObject* obj, PyObject* name, PyRef& value, bool& found);

// True for members of enum.Enum (no object can be one before enum is imported).
Status is_enum_member(PyObject* obj, bool& member);

// The outcome of one optional step of the walk.
enum class Step { written, not_matched, failed };

inline Step step_from(Status status) {
  return status.ok() ? Step::written : Step::failed;
}

// The float64 array step: not_matched for anything that is not a float64
// ndarray in native byte order.
Step try_write_float_array(EncoderState& codec, PyObject* obj);

// The table step, by type name: data frames, series, indexes, tables and
// record batches, converted by their own methods and written one level deeper.
Step try_write_table(EncoderState& codec, PyObject* obj, std::string_view type_name);

}  // namespace quarl
