// The two classes that wrap one codec each: Quarl and QuarlStreamEncoder.
#include "lib/arguments.h"
#include "lib/codec.h"
#include "lib/docstrings.h"
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

EncoderState& encoder_of(Codec& codec) noexcept { return codec.encoder; }
EncoderState& encoder_of(EncoderState& encoder) noexcept { return encoder; }

// The encoding classes take `default` only, as a keyword.
template <typename Native>
PyObject* new_encoding_instance(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* format) {
  PyRef hook;
  if (!no_arguments(args, kwargs)) {
    const char* names[] = {"default", nullptr};
    PyObject* default_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords(names), &default_arg)) return nullptr;
    if (!convert_default(default_arg, hook).ok()) return nullptr;
  }
  PyObject* self = guard_allocation([&]() -> PyObject* { return new_instance<Native>(type); });
  if (self == nullptr) return nullptr;
  // Only a `default` can close a reference cycle: codecs without one stay
  // out of the collector's sight.
  if (hook) {
    encoder_of(native_of<Native>(self)).default_hook = std::move(hook);
  } else {
    PyObject_GC_UnTrack(self);
  }
  return self;
}

// The codec's only reference that can close a cycle is its `default`.
template <typename Native>
int encoding_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(encoder_of(native_of<Native>(self)).default_hook.get());
  return 0;
}

template <typename Native>
int encoding_clear(PyObject* self) {
  encoder_of(native_of<Native>(self)).default_hook.reset();
  return 0;
}

PyObject* quarl_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_encoding_instance<Codec>(type, args, kwargs, "|$O:Quarl");
}

constexpr const char* OBJ_COMPRESS[] = {"obj", "compress"};
constexpr Parameters ENCODE_PACKED = {"encode_packed", OBJ_COMPRESS, 2, 2};
constexpr Parameters ENCODE_FRAME = {"encode_frame", OBJ_COMPRESS, 1, 1};
constexpr const char* BYTES_DECOMPRESS[] = {"bytes", "decompress"};
constexpr Parameters DECODE_PACKED = {"decode_packed", BYTES_DECOMPRESS, 1, 1};

PyObject* quarl_encode_packed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2] = {nullptr, nullptr};
  if (!bind_arguments(ENCODE_PACKED, args, nargs, kwnames, bound).ok()) return nullptr;
  return with_exclusive<Codec>(self, [&](Codec& codec) -> PyObject* {
    bool compress;
    if (!convert_bool(bound[1], "compress", compress).ok()) return nullptr;
    return encode_packed(codec.encoder, bound[0], compress);
  });
}

PyObject* quarl_decode_packed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2] = {nullptr, Py_True};
  if (!bind_arguments(DECODE_PACKED, args, nargs, kwnames, bound).ok()) return nullptr;
  return with_exclusive<Codec>(self, [&](Codec& codec) -> PyObject* {
    std::span<const uint8_t> data;
    bool decompress;
    if (!convert_bytes(bound[0], "bytes", data).ok()) return nullptr;
    if (!convert_bool(bound[1], "decompress", decompress).ok()) return nullptr;
    return decode_packed(codec.decoder(), data, decompress);
  });
}

// encode_frame of both classes that own an encoder.
template <typename Native>
PyObject* encode_frame_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2] = {nullptr, Py_True};
  if (!bind_arguments(ENCODE_FRAME, args, nargs, kwnames, bound).ok()) return nullptr;
  return with_exclusive<Native>(self, [&](Native& native) -> PyObject* {
    bool compress;
    if (!convert_bool(bound[1], "compress", compress).ok()) return nullptr;
    return encode_frame(encoder_of(native), bound[0], compress);
  });
}

PyObject* quarl_get_stream_handshake(PyObject*, PyObject*) { return stream_handshake(); }
PyObject* quarl_get_eos_frame(PyObject*, PyObject*) { return eos_frame(); }

PyMethodDef quarl_methods[] = {
    {"encode_packed", method_cast(quarl_encode_packed),
     METH_FASTCALL | METH_KEYWORDS, docs::codec_encode_packed},
    {"decode_packed", method_cast(quarl_decode_packed),
     METH_FASTCALL | METH_KEYWORDS, docs::codec_decode_packed},
    {"encode_frame", method_cast(encode_frame_method<Codec>),
     METH_FASTCALL | METH_KEYWORDS, docs::codec_encode_frame},
    {"get_stream_handshake", quarl_get_stream_handshake, METH_NOARGS | METH_STATIC,
     docs::codec_get_stream_handshake},
    {"get_eos_frame", quarl_get_eos_frame, METH_NOARGS | METH_STATIC, docs::codec_get_eos_frame},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot quarl_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(quarl_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Codec>)},
    {Py_tp_traverse, reinterpret_cast<void*>(encoding_traverse<Codec>)},
    {Py_tp_clear, reinterpret_cast<void*>(encoding_clear<Codec>)},
    {Py_tp_methods, quarl_methods},
    {Py_tp_doc, const_cast<char*>(docs::codec)},
    {0, nullptr},
};

PyType_Spec quarl_spec = {
    "builtins.Quarl", sizeof(Instance<Codec>), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    quarl_slots,
};

PyObject* stream_encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_encoding_instance<EncoderState>(type, args, kwargs, "|$O:QuarlStreamEncoder");
}

PyMethodDef stream_encoder_methods[] = {
    {"encode_frame", method_cast(encode_frame_method<EncoderState>), METH_FASTCALL | METH_KEYWORDS,
     docs::stream_encoder_encode_frame},
    {"get_handshake", quarl_get_stream_handshake, METH_NOARGS | METH_STATIC,
     docs::stream_encoder_get_handshake},
    {"get_eos_frame", quarl_get_eos_frame, METH_NOARGS | METH_STATIC, docs::stream_encoder_get_eos_frame},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_encoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stream_encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<EncoderState>)},
    {Py_tp_traverse, reinterpret_cast<void*>(encoding_traverse<EncoderState>)},
    {Py_tp_clear, reinterpret_cast<void*>(encoding_clear<EncoderState>)},
    {Py_tp_methods, stream_encoder_methods},
    {Py_tp_doc, const_cast<char*>(docs::stream_encoder)},
    {0, nullptr},
};

PyType_Spec stream_encoder_spec = {
    "builtins.QuarlStreamEncoder", sizeof(Instance<EncoderState>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
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
