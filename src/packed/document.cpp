#include "packed/document.h"

#include <cstring>

#include "common/pyref.h"
#include "decoder/decoder.h"
#include "encoder/encoder.h"
#include "format/endian.h"
#include "format/limits.h"
#include "packed/compression.h"

namespace quarl {
namespace {

// The root value goes into the payload buffer: a long root list first tries
// the model batch, which may give up and leave the list to the general walk.
Status write_root(Codec& codec, PyObject* obj) {
  codec.encode_depth = 0;
  codec.payload_buffer.clear();
  if (PyList_Check(obj) && PyList_Size(obj) >= static_cast<Py_ssize_t>(BATCH_MIN_ITEMS)) {
    if (serialize_pydantic_simd_batch(codec, obj)) return Status::success();
    codec.payload_buffer.clear();
    codec.encode_depth = 0;
  }
  return serialize_any_optimized(codec, obj);
}

// A long-lived codec can fill its string table; the document is then written
// again on a fresh table, and only a document that needs more keys than a
// table holds fails.
Status write_root_with_room_for_keys(Codec& codec, PyObject* obj) {
  StringTable& strings = codec.strings;
  strings.clear_overflow();
  bool table_was_fresh = strings.is_fresh();
  if (write_root(codec, obj).ok()) return Status::success();
  if (!strings.overflowed() || table_was_fresh) return Status::failure();
  PyErr_Clear();
  strings.start_fresh();
  return write_root(codec, obj);
}

size_t document_size(const Codec& codec) noexcept {
  return DOCUMENT_HEADER_SIZE + codec.strings.section_size() + codec.payload_buffer.size();
}

void write_document(const Codec& codec, uint8_t* out) noexcept {
  out[0] = DOCUMENT_MAGIC_0;
  out[1] = DOCUMENT_MAGIC_1;
  out[2] = codec.compress_requested ? 1 : 0;
  out[3] = DOCUMENT_FIXED_BYTE;
  write_u16(out + DOCUMENT_STRING_COUNT_OFFSET, static_cast<uint16_t>(codec.strings.string_list.size()));
  out += DOCUMENT_HEADER_SIZE;
  codec.strings.write_section(out);
  out += codec.strings.section_size();
  const ByteBuffer& payload = codec.payload_buffer;
  if (!payload.empty()) std::memcpy(out, payload.data(), payload.size());
}

}  // namespace

Status encode_packed_internal(Codec& codec, PyObject* obj, bool compress) {
  codec.document_buffer.clear();
  if (!write_root_with_room_for_keys(codec, obj).ok()) return Status::failure();
  size_t size = document_size(codec);
  if (size > MAX_U32_FIELD) {
    return raise_format(PyExc_ValueError,
                        "document of %zu bytes is too large: documents are limited to %zu bytes",
                        size, static_cast<size_t>(MAX_U32_FIELD));
  }
  codec.compress_requested = compress;
  if (!compress || size < MIN_COMPRESS_SIZE) {
    codec.last_compressed = false;
    return Status::success();
  }
  codec.document_buffer.resize_uninitialized(size);
  write_document(codec, codec.document_buffer.data());
  if (!compress_document(codec.document_buffer, codec.compressed_buffer).ok()) {
    return Status::failure();
  }
  codec.last_compressed = true;
  return Status::success();
}

size_t result_size(const Codec& codec) noexcept {
  return codec.last_compressed ? codec.compressed_buffer.size() : document_size(codec);
}

void write_result(const Codec& codec, uint8_t* out) noexcept {
  if (codec.last_compressed) {
    std::memcpy(out, codec.compressed_buffer.data(), codec.compressed_buffer.size());
  } else {
    write_document(codec, out);
  }
}

PyObject* encode_packed(Codec& codec, PyObject* obj, bool compress) {
  if (!encode_packed_internal(codec, obj, compress).ok()) return nullptr;
  size_t size = result_size(codec);
  PyRef result = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!result) return nullptr;
  write_result(codec, reinterpret_cast<uint8_t*>(PyBytes_AsString(result.get())));
  return result.release();
}

PyObject* decode_packed(Codec& codec, std::span<const uint8_t> data, bool decompress) {
  std::span<const uint8_t> document;
  if (!decompress_document(data, decompress, codec.decompress_buffer, document).ok()) {
    return nullptr;
  }
  return decode_document(codec, document);
}

}  // namespace quarl
