// The header and string table of a document, then its value.
#include <algorithm>
#include <vector>

#include "common/utf8.h"
#include "decoder/decoder.h"
#include "decoder/parser.h"
#include "format/endian.h"
#include "format/limits.h"

namespace quarl {
namespace {

// A forged string count must not force a large allocation up front: room for
// one entry per two remaining bytes covers real tables, growth the rest.
constexpr size_t STRING_TABLE_RESERVE_DIVISOR = 2;

Status check_header(std::span<const uint8_t> document) noexcept {
  if (document.size() < DOCUMENT_HEADER_SIZE) {
    return raise(PyExc_ValueError, "Decompressed buffer too small for QUARL header");
  }
  if (document[0] != DOCUMENT_MAGIC_0 || document[1] != DOCUMENT_MAGIC_1) {
    return raise(PyExc_ValueError, "Invalid QUARL magic number");
  }
  return Status::success();
}

// Keys are interned, so equal keys in all decoded documents share one object.
Status append_key(std::vector<PyRef>& strings, const uint8_t* text, size_t length) {
  Utf8Error error;
  if (!validate_utf8(text, length, error)) return raise_invalid_utf8("string table", error);
  PyObject* key = PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(text),
                                              static_cast<Py_ssize_t>(length));
  if (key == nullptr) return ensure_error_set();
  PyUnicode_InternInPlace(&key);
  PyRef owned = PyRef::steal(key);
  strings.push_back(std::move(owned));
  return Status::success();
}

// Reads the string table that starts at `pos` and leaves `pos` after it.
Status read_string_table(std::span<const uint8_t> document, std::vector<PyRef>& strings,
                         size_t& pos) {
  size_t len = document.size();
  size_t count = read_u16(document.data() + DOCUMENT_STRING_COUNT_OFFSET);
  strings.reserve(std::min(count, (len - DOCUMENT_HEADER_SIZE) / STRING_TABLE_RESERVE_DIVISOR));
  for (size_t i = 0; i < count; ++i) {
    if (pos >= len) return raise(PyExc_ValueError, "Unexpected end of buffer in string table");
    size_t length = document[pos];
    if (length > len - pos - 1) {
      return raise(PyExc_ValueError, "String extends beyond buffer in string table");
    }
    if (!append_key(strings, document.data() + pos + 1, length).ok()) return Status::failure();
    pos += 1 + length;
  }
  return Status::success();
}

}  // namespace

PyObject* decode_document(const Codec& codec, std::span<const uint8_t> document) {
  if (!check_header(document).ok()) return nullptr;
  size_t pos = DOCUMENT_HEADER_SIZE;
  std::vector<PyRef> strings;
  if (!read_string_table(document, strings, pos).ok()) return nullptr;
  QuarlParser parser(document, pos, strings, codec);
  return parser.parse();
}

}  // namespace quarl
