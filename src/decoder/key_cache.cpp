#include "decoder/key_cache.h"

#include <cstring>

namespace quarl {
namespace {

constexpr uint64_t MIX = 0x9E3779B97F4A7C15ull;

// The first and last bytes of the text (all of it up to 16 bytes) and its
// middle, read without a call to memcpy.
uint64_t load_u64(const uint8_t* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint64_t load_u32(const uint8_t* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Not keyed: a crafted collision only makes keys miss the cache.
uint64_t text_hash(const uint8_t* text, size_t length) noexcept {
  uint64_t first = 0;
  uint64_t last = 0;
  uint64_t middle = 0;
  if (length >= 8) {
    first = load_u64(text);
    last = load_u64(text + length - 8);
    if (length > 16) middle = load_u64(text + length / 2 - 4);
  } else if (length >= 4) {
    first = load_u32(text);
    last = load_u32(text + length - 4);
  } else if (length > 0) {
    first = text[0] | (uint64_t{text[length / 2]} << 8) | (uint64_t{text[length - 1]} << 16);
  }
  uint64_t h = (length + 1) * MIX;
  h = (h ^ first) * MIX;
  h = (h ^ (h >> 29) ^ last) * MIX;
  h = (h ^ (h >> 31) ^ middle) * MIX;
  return h ^ (h >> 32);
}

PyObject* new_key(const uint8_t* text, size_t length, Utf8Error& error, bool& invalid) noexcept {
  if (!validate_utf8(text, length, error)) {
    invalid = true;
    return nullptr;
  }
  return PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(text), static_cast<Py_ssize_t>(length));
}

}  // namespace

PyObject* KeyCache::key(const uint8_t* text, size_t length, Utf8Error& error, bool& invalid) {
  if (length > MAX_CACHED_BYTES) return new_key(text, length, error, invalid);
  if (!slots_) slots_ = std::make_unique<Slot[]>(SLOTS);
  uint64_t hash = text_hash(text, length);
  Slot& slot = slots_[hash & (SLOTS - 1)];
  if (slot.hash == hash && slot.length == length && slot.key && std::memcmp(slot.utf8, text, length) == 0) {
    return slot.key.new_reference();
  }
  PyRef key = PyRef::steal(new_key(text, length, error, invalid));
  if (!key) return nullptr;
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key.get(), &size);
  if (utf8 == nullptr) return nullptr;
  slot.key = PyRef::borrow(key.get());
  slot.utf8 = utf8;
  slot.hash = hash;
  slot.length = static_cast<size_t>(size);
  return key.release();
}

}  // namespace quarl
