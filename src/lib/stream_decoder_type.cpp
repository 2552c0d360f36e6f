// The QuarlStreamDecoder class.
#include <optional>

#include "lib/arguments.h"
#include "lib/docstrings.h"
#include "lib/instance.h"
#include "lib/type_cache.h"
#include "lib/types.h"
#include "streaming/stream_decoder.h"

namespace quarl {
namespace {

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const char* names[] = {"max_frame_size", "expect_handshake", nullptr};
  PyObject* max_frame_size_arg = nullptr;
  PyObject* expect_handshake_arg = Py_None;
  if (!no_arguments(args, kwargs) && !PyArg_ParseTupleAndKeywords(args, kwargs, "|$OO:QuarlStreamDecoder", keywords(names),
                                   &max_frame_size_arg, &expect_handshake_arg)) {
    return nullptr;
  }
  uint64_t max_frame_size = DEFAULT_MAX_FRAME_SIZE;
  if (max_frame_size_arg != nullptr &&
      !convert_u64_index(max_frame_size_arg, "max_frame_size", max_frame_size).ok()) {
    return nullptr;
  }
  std::optional<bool> expect_handshake;
  if (!convert_optional_bool(expect_handshake_arg, "expect_handshake", expect_handshake).ok()) {
    return nullptr;
  }
  HandshakeMode mode = !expect_handshake ? HandshakeMode::detect
                       : *expect_handshake ? HandshakeMode::required
                                           : HandshakeMode::absent;
  return guard_allocation([&]() -> PyObject* { return new_instance<StreamDecoder>(type, max_frame_size, mode); });
}

constexpr const char* CHUNK[] = {"chunk"};
constexpr Parameters FEED = {"feed", CHUNK, 1, 1};

PyObject* decoder_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* chunk_arg = nullptr;
  if (!bind_arguments(FEED, args, nargs, kwnames, &chunk_arg).ok()) return nullptr;
  return with_exclusive<StreamDecoder>(self, [&](StreamDecoder& decoder) -> PyObject* {
    std::span<const uint8_t> chunk;
    if (!convert_bytes(chunk_arg, "chunk", chunk).ok()) return nullptr;
    return decoder.feed(chunk);
  });
}

PyObject* decoder_clear(PyObject* self, PyObject*) {
  return with_exclusive<StreamDecoder>(self, [](StreamDecoder& decoder) -> PyObject* {
    decoder.clear();
    Py_RETURN_NONE;
  });
}

PyObject* decoder_is_eos(PyObject* self, void*) {
  return with_shared<StreamDecoder>(
      self, [](StreamDecoder& decoder) { return PyBool_FromLong(decoder.is_eos()); });
}

PyObject* decoder_pending_bytes(PyObject* self, void*) {
  return with_shared<StreamDecoder>(self, [](StreamDecoder& decoder) {
    return PyLong_FromUnsignedLongLong(decoder.pending_bytes());
  });
}

PyObject* decoder_handshake_received(PyObject* self, void*) {
  return with_shared<StreamDecoder>(
      self, [](StreamDecoder& decoder) { return PyBool_FromLong(decoder.handshake_received()); });
}

PyMethodDef decoder_methods[] = {
    {"feed", method_cast(decoder_feed), METH_FASTCALL | METH_KEYWORDS, docs::stream_decoder_feed},
    {"clear", decoder_clear, METH_NOARGS, docs::stream_decoder_clear},
    {"reset", decoder_clear, METH_NOARGS, docs::stream_decoder_reset},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef decoder_properties[] = {
    {"is_eos", decoder_is_eos, nullptr, docs::stream_decoder_is_eos, nullptr},
    {"pending_bytes", decoder_pending_bytes, nullptr, docs::stream_decoder_pending_bytes, nullptr},
    {"handshake_received", decoder_handshake_received, nullptr, docs::stream_decoder_handshake_received,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot decoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<StreamDecoder>)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_getset, decoder_properties},
    {Py_tp_doc, const_cast<char*>(docs::stream_decoder)},
    {0, nullptr},
};

PyType_Spec decoder_spec = {
    "builtins.QuarlStreamDecoder", sizeof(Instance<StreamDecoder>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    decoder_slots,
};

PyObject* decoder_type_object = nullptr;

}  // namespace

PyObject* stream_decoder_type() { return cached_type(decoder_type_object, decoder_spec); }

}  // namespace quarl
