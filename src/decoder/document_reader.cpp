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

// Equal keys share one object within a document, and across documents for
// as long as the key cache remembers them.
Status append_key(KeyCache& cache, std::vector<PyRef>& strings, const uint8_t* text, size_t length) {
  Utf8Error error;
  bool invalid = false;
  PyRef key = PyRef::steal(cache.key(text, length, error, invalid));
  if (invalid) return raise_invalid_utf8("string table", error);
  if (!key) return ensure_error_set();
  strings.push_back(std::move(key));
  return Status::success();
}

// Reads the string table that starts at `pos` and leaves `pos` after it.
Status read_string_table(std::span<const uint8_t> document, KeyCache& cache, std::vector<PyRef>& strings,
                         size_t& pos) {
  size_t len = document.size();
  size_t count = read_u16(document.data() + DOCUMENT_STRING_COUNT_OFFSET);
  size_t room = std::min(count, (len - DOCUMENT_HEADER_SIZE) / STRING_TABLE_RESERVE_DIVISOR);
  strings.reserve(room);
  cache.fit(room);
  for (size_t i = 0; i < count; ++i) {
    if (pos >= len) return raise(PyExc_ValueError, "Unexpected end of buffer in string table");
    size_t length = document[pos];
    if (length > len - pos - 1) {
      return raise(PyExc_ValueError, "String extends beyond buffer in string table");
    }
    if (!append_key(cache, strings, document.data() + pos + 1, length).ok()) return Status::failure();
    pos += 1 + length;
  }
  return Status::success();
}

// Empties the document's key list on every path; its storage is kept unless
// a large table made it large.
class KeyObjects {
 public:
  explicit KeyObjects(std::vector<PyRef>& strings) noexcept : strings_(strings) {}
  ~KeyObjects() {
    strings_.clear();
    if (strings_.capacity() > KEPT_CAPACITY) strings_ = std::vector<PyRef>();
  }
  KeyObjects(const KeyObjects&) = delete;
  KeyObjects& operator=(const KeyObjects&) = delete;

 private:
  static constexpr size_t KEPT_CAPACITY = 4096;
  std::vector<PyRef>& strings_;
};

}  // namespace

PyObject* decode_document(DecoderState& codec, std::span<const uint8_t> document) {
  if (!check_header(document).ok()) return nullptr;
  if (!codec.prepare().ok()) return nullptr;
  size_t pos = DOCUMENT_HEADER_SIZE;
  std::vector<PyRef>& strings = codec.key_objects;
  KeyObjects emptied(strings);
  if (!read_string_table(document, codec.keys, strings, pos).ok()) return nullptr;
  QuarlParser parser(document, pos, strings, codec);
  return parser.parse();
}

}  // namespace quarl
