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

// The document is built in one buffer: the value is written after room for
// the header and a string table as large as the recent documents' largest,
// and the header and table are then written right in front of it, so the
// document may start a little into the buffer. The value moves only when
// this document's table outgrows the room. So a stream of documents of a few
// shapes is never copied before it leaves the codec.
size_t prefix_size(const EncoderState& codec) noexcept {
  return DOCUMENT_HEADER_SIZE + codec.strings.section_size();
}

// The room shrinks by an eighth per document below the last table's size, so
// one large table does not leave a gap in front of the documents after it
// for long.
size_t section_room(EncoderState& codec) noexcept {
  size_t last = codec.strings.previous_section_size();
  size_t decayed = codec.section_room - codec.section_room / 8;
  codec.section_room = last > decayed ? last : decayed;
  return codec.section_room;
}

// The root value goes into the buffer at `value_start`.
Status write_root(EncoderState& codec, PyObject* obj, size_t& value_start) {
  DocumentBuffer& out = codec.payload_buffer;
  codec.strings.start_document();
  value_start = DOCUMENT_HEADER_SIZE + section_room(codec);
  codec.encode_depth = 0;
  codec.spliced.clear();
  out.clear();
  // After a document was handed out, the next one starts in a buffer about
  // as large, so it rarely grows.
  out.reserve(codec.last_handed_out_size + codec.last_handed_out_size / 4);
  out.resize_uninitialized(value_start);
  return serialize_any_optimized(codec, obj);
}

// Puts the header and the final string table in front of the value, moving
// the value only when they do not fit; returns where the document starts.
size_t assemble_document(EncoderState& codec, size_t value_start, bool compress) {
  DocumentBuffer& out = codec.payload_buffer;
  size_t prefix = prefix_size(codec);
  size_t start = 0;
  if (prefix <= value_start) {
    start = value_start - prefix;
    codec.spliced.shift(-static_cast<ptrdiff_t>(start));
  } else {
    size_t value_size = out.size() - value_start;
    out.resize_uninitialized(prefix + value_size);
    std::memmove(out.data() + prefix, out.data() + value_start, value_size);
    codec.spliced.shift(static_cast<ptrdiff_t>(prefix) - static_cast<ptrdiff_t>(value_start));
  }

  uint8_t* header = out.data() + start;
  header[0] = DOCUMENT_MAGIC_0;
  header[1] = DOCUMENT_MAGIC_1;
  header[2] = compress ? 1 : 0;
  header[3] = DOCUMENT_FIXED_BYTE;
  write_u16(header + DOCUMENT_STRING_COUNT_OFFSET, static_cast<uint16_t>(codec.strings.count()));
  codec.strings.write_section(header + DOCUMENT_HEADER_SIZE);
  return start;
}

}  // namespace

Status encode_packed_internal(EncoderState& codec, PyObject* obj, bool compress) {
  release_encoded(codec);
  if (!codec.prepare().ok()) return Status::failure();
  size_t value_start;
  if (!write_root(codec, obj, value_start).ok()) return Status::failure();
  size_t size = prefix_size(codec) + codec.payload_buffer.size() - value_start + codec.spliced.total_size();
  if (size > MAX_U32_FIELD) {
    return raise_format(PyExc_ValueError,
                        "document of %zu bytes is too large: documents are limited to %zu bytes",
                        size, static_cast<size_t>(MAX_U32_FIELD));
  }
  size_t start = assemble_document(codec, value_start, compress);
  codec.spliced.pieces(codec.payload_buffer.view().subspan(start), codec.result_pieces);
  codec.last_compressed = compress && size >= MIN_COMPRESS_SIZE;
  if (!codec.last_compressed) return Status::success();
  std::vector<std::span<const uint8_t>> document;
  document.swap(codec.result_pieces);
  return compress_document(document, codec.compressed_buffer, codec.gather_buffer, codec.result_pieces);
}

size_t encoded_size(const EncoderState& codec) noexcept {
  size_t size = 0;
  for (std::span<const uint8_t> piece : codec.result_pieces) size += piece.size();
  return size;
}

void copy_encoded(const EncoderState& codec, uint8_t* out) noexcept {
  for (std::span<const uint8_t> piece : codec.result_pieces) {
    if (piece.empty()) continue;
    std::memcpy(out, piece.data(), piece.size());
    out += piece.size();
  }
}

void release_encoded(EncoderState& codec) noexcept {
  codec.result_pieces.clear();
  codec.spliced.clear();
}

namespace {

// A large plain document in one piece becomes the result itself; smaller
// ones are copied out, and the codec keeps its warm buffer for the next.
PyObject* hand_out_document(EncoderState& codec) noexcept {
  DocumentBuffer& out = codec.payload_buffer;
  if (codec.last_compressed || codec.result_pieces.size() != 1) return nullptr;
  std::span<const uint8_t>& piece = codec.result_pieces.front();
  size_t size = piece.size();
  if (size < DOCUMENT_HAND_OUT_MIN_SIZE) return nullptr;
  // The handed-out object begins where the buffer does.
  if (piece.data() != out.data()) {
    std::memmove(out.data(), piece.data(), size);
    piece = {out.data(), size};
  }
  out.truncate(size);
  PyObject* document = out.storage().hand_out(size);
  if (document == nullptr) return nullptr;
  out.forget_storage();
  codec.last_handed_out_size = size;
  return document;
}

}  // namespace

PyObject* encode_packed(EncoderState& codec, PyObject* obj, bool compress) {
  HeldResult held(codec);
  if (!encode_packed_internal(codec, obj, compress).ok()) return nullptr;
  if (PyObject* document = hand_out_document(codec)) return document;
  PyRef result = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(encoded_size(codec))));
  if (!result) return nullptr;
  copy_encoded(codec, reinterpret_cast<uint8_t*>(PyBytes_AsString(result.get())));
  return result.release();
}

PyObject* decode_packed(DecoderState& codec, std::span<const uint8_t> data, bool decompress,
                        uint64_t max_document) {
  std::span<const uint8_t> document;
  PyObject* value = nullptr;
  if (decompress_document(data, decompress, codec.decompress_buffer, document, max_document).ok()) {
    value = decode_document(codec, document);
  }
  release_if_large(codec.decompress_buffer);
  return value;
}

}  // namespace quarl
