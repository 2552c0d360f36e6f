// Long lists of model objects: the batch.
//
// A list of objects is written by the general walk like any list: each item
// asks the codec's decision cache what its type becomes, and a model type
// keeps the keys of its first dict with their string-table indices (the key
// hint), so later objects of the type skip the string table for the keys
// they share. An item the hint does not fit, or of another type, is simply
// written by the walk in its place; nothing is ever written twice, and every
// callback runs once per object. What the batch adds is the room for the
// whole list, reserved at once.
#include "common/pyref.h"
#include "encoder/encoder.h"
#include "encoder/type_decisions.h"
#include "format/limits.h"

namespace quarl {
namespace {

// Room reserved per field and per item before the items are written.
constexpr size_t BATCH_BYTES_PER_FIELD = 16;
constexpr size_t BATCH_BYTES_PER_ITEM = 4;

// The number of fields of the first object, or 0 when it has no plain
// instance dict.
Status field_count(PyObject* first, const Decision& decision, size_t& fields) {
  fields = 0;
  if (decision.keys != nullptr) {
    fields = decision.keys->names.size();
    return Status::success();
  }
  PyRef dict = PyRef::steal(PyObject_GenericGetDict(first, nullptr));
  if (!dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Status::failure();
    PyErr_Clear();
    return Status::success();
  }
  if (PyDict_Check(dict.get())) fields = static_cast<size_t>(PyDict_Size(dict.get()));
  return Status::success();
}

}  // namespace

Status reserve_model_batch(EncoderState& codec, PyObject* first, size_t count) {
  Decision decision;
  if (!codec.decisions.decide(first, codec.python_calls, codec.layout, decision).ok()) {
    return Status::failure();
  }
  if (decision.kind != Kind::model) return Status::success();
  size_t fields;
  if (!field_count(first, decision, fields).ok()) return Status::failure();
  codec.payload_buffer.reserve_extra(count * (BATCH_BYTES_PER_FIELD * fields + BATCH_BYTES_PER_ITEM));
  return Status::success();
}

}  // namespace quarl
