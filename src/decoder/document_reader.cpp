// Placeholder until the decoder lands.
#include "decoder/decoder.h"

namespace quarl {

PyObject* decode_document(const Codec&, std::span<const uint8_t>) {
  PyErr_SetString(PyExc_NotImplementedError, "decode_packed is not implemented yet");
  return nullptr;
}

}  // namespace quarl
