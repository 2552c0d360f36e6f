// The two classes that wrap one codec each: Quarl and QuarlStreamEncoder.
#include "lib/arguments.h"
#include "lib/codec.h"
#include "lib/instance.h"
#include "lib/type_cache.h"
#include "lib/types.h"
#include "packed/document.h"
#include "streaming/frames.h"

namespace quarl {
namespace {

// `default`: None or a callable, kept by the codec.
Status convert_default(PyObject* arg, PyRef& hook) {
  if (arg == nullptr || arg == Py_None) return Status::success();
  if (!PyCallable_Check(arg)) {
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(arg)));
    if (!type_name) return Status::failure();
    return raise_format(PyExc_TypeError, "argument 'default': expected a callable or None, got %U",
                        type_name.get());
  }
  hook = PyRef::borrow(arg);
  return Status::success();
}

// The encoding classes take `default` only, as a keyword.
PyObject* new_encoding_instance(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* format) {
  const char* names[] = {"default", nullptr};
  PyObject* default_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords(names), &default_arg)) return nullptr;
  PyRef hook;
  if (!convert_default(default_arg, hook).ok()) return nullptr;
  bool has_hook = static_cast<bool>(hook);
  PyObject* self = guard_allocation([&]() -> PyObject* {
    Codec codec;
    codec.default_hook = std::move(hook);
    return new_instance(type, std::move(codec));
  });
  // Only a `default` can close a reference cycle: codecs without one stay
  // out of the collector's sight.
  if (self != nullptr && !has_hook) PyObject_GC_UnTrack(self);
  return self;
}

PyObject* quarl_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_encoding_instance(type, args, kwargs, "|$O:Quarl");
}

// The codec's only reference that can close a cycle is its `default`.
int encoding_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(native_of<Codec>(self).default_hook.get());
  return 0;
}

int encoding_clear(PyObject* self) {
  native_of<Codec>(self).default_hook.reset();
  return 0;
}

PyObject* quarl_encode_packed(PyObject* self, PyObject* args, PyObject* kwargs) {
  const char* names[] = {"obj", "compress", nullptr};
  PyObject* obj;
  PyObject* compress_arg;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:encode_packed", keywords(names), &obj,
                                   &compress_arg)) {
    return nullptr;
  }
  return with_exclusive<Codec>(self, [&](Codec& codec) -> PyObject* {
    bool compress;
    if (!convert_bool(compress_arg, "compress", compress).ok()) return nullptr;
    return encode_packed(codec, obj, compress);
  });
}

PyObject* quarl_decode_packed(PyObject* self, PyObject* args, PyObject* kwargs) {
  const char* names[] = {"bytes", "decompress", nullptr};
  PyObject* data_arg;
  PyObject* decompress_arg = Py_True;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:decode_packed", keywords(names), &data_arg,
                                   &decompress_arg)) {
    return nullptr;
  }
  return with_exclusive<Codec>(self, [&](Codec& codec) -> PyObject* {
    std::span<const uint8_t> data;
    bool decompress;
    if (!convert_bytes(data_arg, "bytes", data).ok()) return nullptr;
    if (!convert_bool(decompress_arg, "decompress", decompress).ok()) return nullptr;
    return decode_packed(codec, data, decompress);
  });
}

PyObject* quarl_encode_frame(PyObject* self, PyObject* args, PyObject* kwargs) {
  const char* names[] = {"obj", "compress", nullptr};
  PyObject* obj;
  PyObject* compress_arg = Py_True;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:encode_frame", keywords(names), &obj,
                                   &compress_arg)) {
    return nullptr;
  }
  return with_exclusive<Codec>(self, [&](Codec& codec) -> PyObject* {
    bool compress;
    if (!convert_bool(compress_arg, "compress", compress).ok()) return nullptr;
    return encode_frame(codec, obj, compress);
  });
}

PyObject* quarl_get_stream_handshake(PyObject*, PyObject*) { return stream_handshake(); }
PyObject* quarl_get_eos_frame(PyObject*, PyObject*) { return eos_frame(); }

PyMethodDef quarl_methods[] = {
    {"encode_packed", method_cast(quarl_encode_packed),
     METH_VARARGS | METH_KEYWORDS, "encode_packed($self, obj, compress)\n--\n\n"},
    {"decode_packed", method_cast(quarl_decode_packed),
     METH_VARARGS | METH_KEYWORDS, "decode_packed($self, bytes, *, decompress=True)\n--\n\n"},
    {"encode_frame", method_cast(quarl_encode_frame),
     METH_VARARGS | METH_KEYWORDS, "encode_frame($self, obj, *, compress=True)\n--\n\n"},
    {"get_stream_handshake", quarl_get_stream_handshake, METH_NOARGS | METH_STATIC,
     "get_stream_handshake()\n--\n\n"},
    {"get_eos_frame", quarl_get_eos_frame, METH_NOARGS | METH_STATIC, "get_eos_frame()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot quarl_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(quarl_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Codec>)},
    {Py_tp_traverse, reinterpret_cast<void*>(encoding_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(encoding_clear)},
    {Py_tp_methods, quarl_methods},
    {Py_tp_doc, const_cast<char*>("Quarl(*, default=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec quarl_spec = {
    "builtins.Quarl", sizeof(Instance<Codec>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, quarl_slots,
};

PyObject* stream_encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_encoding_instance(type, args, kwargs, "|$O:QuarlStreamEncoder");
}

PyMethodDef stream_encoder_methods[] = {
    {"encode_frame", method_cast(quarl_encode_frame), METH_VARARGS | METH_KEYWORDS,
     "encode_frame($self, obj, *, compress=True)\n--\n\n"},
    {"get_handshake", quarl_get_stream_handshake, METH_NOARGS | METH_STATIC,
     "get_handshake()\n--\n\n"},
    {"get_eos_frame", quarl_get_eos_frame, METH_NOARGS | METH_STATIC, "get_eos_frame()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_encoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stream_encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Codec>)},
    {Py_tp_traverse, reinterpret_cast<void*>(encoding_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(encoding_clear)},
    {Py_tp_methods, stream_encoder_methods},
    {Py_tp_doc, const_cast<char*>("QuarlStreamEncoder(*, default=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec stream_encoder_spec = {
    "builtins.QuarlStreamEncoder", sizeof(Instance<Codec>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    stream_encoder_slots,
};

PyObject* quarl_type_object = nullptr;
PyObject* stream_encoder_type_object = nullptr;

}  // namespace

PyObject* quarl_type() { return cached_type(quarl_type_object, quarl_spec); }
PyObject* stream_encoder_type() {
  return cached_type(stream_encoder_type_object, stream_encoder_spec);
}

}  // namespace quarl
