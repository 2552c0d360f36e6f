// Private module functions of `python -m quarl inspect`: the decoder's own
// reading of envelopes and documents, with the offset of the field at fault
// set as `quarl_offset` on the exception, so the tool shows exactly what the
// decoder meets, where it meets it, and never parses anything a second time.
#include "lib/inspect_functions.h"

#include <cstdint>
#include <span>

#include "common/pyref.h"
#include "decoder/listing.h"
#include "format/byte_buffer.h"
#include "lib/arguments.h"
#include "lib/instance.h"
#include "lib/type_cache.h"
#include "packed/compression.h"

namespace quarl {
namespace {

// Adds the fault's offset to the pending exception.
void attach_offset(uint64_t offset) noexcept {
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    PyRef number = PyRef::steal(PyLong_FromUnsignedLongLong(offset));
    if (!number || PyObject_SetAttrString(value, "quarl_offset", number.get()) < 0) PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

const char* form_name(EnvelopeForm form) noexcept {
  switch (form) {
    case EnvelopeForm::single_block: return "single-block";
    case EnvelopeForm::parallel: return "parallel";
    default: return "document";
  }
}

// _unwrap(data, max_document=None) -> (form, document): the document that
// decode_packed would read, and the form it was found in ("document",
// "single-block" or "parallel"). max_document is the stream decoder's limit.
PyObject* unwrap(PyObject*, PyObject* args, PyObject* kwargs) {
  const char* names[] = {"data", "max_document", nullptr};
  PyObject* data_arg;
  PyObject* limit_arg = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:_unwrap", keywords(names), &data_arg, &limit_arg)) {
    return nullptr;
  }
  std::span<const uint8_t> data;
  if (!convert_bytes(data_arg, "data", data).ok()) return nullptr;
  uint64_t limit = UINT64_MAX;
  if (limit_arg != Py_None && !convert_u64_index(limit_arg, "max_document", limit).ok()) return nullptr;
  return guard_allocation([&]() -> PyObject* {
    ByteBuffer scratch;
    std::span<const uint8_t> document;
    EnvelopeReading reading;
    if (!decompress_document(data, true, scratch, document, limit, &reading).ok()) {
      attach_offset(reading.fault_offset);
      return nullptr;
    }
    PyRef bytes = document.data() == data.data()
                      ? PyRef::borrow(data_arg)
                      : PyRef::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(document.data()),
                                                               static_cast<Py_ssize_t>(document.size())));
    if (!bytes) return nullptr;
    return Py_BuildValue("(sO)", form_name(reading.form), bytes.get());
  });
}

// _list_document(document, max_items, emit) -> None: calls emit(rows) with
// batches of packed rows (see decoder/listing.h) describing the document.
PyObject* list_document_function(PyObject*, PyObject* args) {
  PyObject* document_arg;
  PyObject* max_items_arg;
  PyObject* emit;
  if (!PyArg_ParseTuple(args, "OOO:_list_document", &document_arg, &max_items_arg, &emit)) return nullptr;
  std::span<const uint8_t> document;
  uint64_t max_items;
  if (!convert_bytes(document_arg, "document", document).ok() ||
      !convert_u64_index(max_items_arg, "max_items", max_items).ok()) {
    return nullptr;
  }
  return guard_allocation([&]() -> PyObject* {
    // The document stays alive: the caller's reference is held for the call.
    PyRef held = PyRef::borrow(document_arg);
    RowSink rows(emit, max_items);
    uint64_t fault = 0;
    if (!list_document(document, rows, fault).ok()) {
      if (fault != UINT64_MAX) attach_offset(fault);
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

}  // namespace

PyMethodDef inspect_functions[] = {
    {"_unwrap", method_cast(unwrap), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"_list_document", list_document_function, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quarl
