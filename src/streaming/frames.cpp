#include "streaming/frames.h"

#include <cstring>

#include "common/pyref.h"
#include "format/endian.h"
#include "format/limits.h"
#include "packed/document.h"

namespace quarl {

PyObject* encode_frame(EncoderState& codec, PyObject* obj, bool compress) {
  HeldResult held(codec);
  if (!encode_packed_internal(codec, obj, compress).ok()) return nullptr;
  size_t payload_size = encoded_size(codec);
  if (payload_size > MAX_U32_FIELD) {
    PyErr_Format(PyExc_ValueError,
                 "frame payload of %zu bytes does not fit the frame's 32-bit length field",
                 payload_size);
    return nullptr;
  }
  PyRef frame = PyRef::steal(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(FRAME_HEADER_SIZE + payload_size)));
  if (!frame) return nullptr;
  auto* out = reinterpret_cast<uint8_t*>(PyBytes_AsString(frame.get()));
  write_u32(out, static_cast<uint32_t>(payload_size));
  out[4] = FRAME_TYPE_DATA;
  out[5] = codec.last_compressed ? FRAME_FLAG_COMPRESSED : 0;
  copy_encoded(codec, out + FRAME_HEADER_SIZE);
  return frame.release();
}

PyObject* stream_handshake() {
  const char handshake[HANDSHAKE_SIZE] = {STREAM_MAGIC_0, STREAM_MAGIC_1, STREAM_VERSION, 0};
  return PyBytes_FromStringAndSize(handshake, HANDSHAKE_SIZE);
}

PyObject* eos_frame() {
  const char frame[FRAME_HEADER_SIZE] = {0, 0, 0, 0, FRAME_TYPE_EOS, 0};
  return PyBytes_FromStringAndSize(frame, FRAME_HEADER_SIZE);
}

}  // namespace quarl
