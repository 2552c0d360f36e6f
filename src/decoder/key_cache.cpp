#include "decoder/key_cache.h"

#include <cstring>

namespace quarl {
namespace {

constexpr uint64_t MIX = 0x9E3779B97F4A7C15ull;

uint64_t load_up_to_8(const uint8_t* p, size_t n) noexcept {
  uint64_t v = 0;
  std::memcpy(&v, p, n < 8 ? n : 8);
  return v;
}

// Not keyed: a crafted collision only makes keys miss the cache.
uint64_t text_hash(const uint8_t* text, size_t length) noexcept {
  uint64_t first = load_up_to_8(text, length);
  uint64_t last = length > 8 ? load_up_to_8(text + length - 8, 8) : 0;
  uint64_t middle = length > 16 ? load_up_to_8(text + length / 2 - 4, 8) : 0;
  uint64_t h = (length + 1) * MIX;
  h = (h ^ first) * MIX;
  h = (h ^ (h >> 29) ^ last) * MIX;
  h = (h ^ (h >> 31) ^ middle) * MIX;
  return h ^ (h >> 32);
}

bool same_text(PyObject* key, const uint8_t* text, size_t length) noexcept {
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return false;
  }
  return static_cast<size_t>(size) == length && std::memcmp(utf8, text, length) == 0;
}

PyObject* new_key(const uint8_t* text, size_t length) noexcept {
  return PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(text), static_cast<Py_ssize_t>(length));
}

}  // namespace

PyObject* KeyCache::key(const uint8_t* text, size_t length) {
  if (length > MAX_CACHED_BYTES) return new_key(text, length);
  if (!slots_) slots_ = std::make_unique<Slot[]>(SLOTS);
  uint64_t hash = text_hash(text, length);
  Slot& slot = slots_[hash & (SLOTS - 1)];
  if (slot.key && slot.hash == hash && same_text(slot.key.get(), text, length)) return slot.key.new_reference();
  PyObject* key = new_key(text, length);
  if (key == nullptr) return nullptr;
  slot.key = PyRef::borrow(key);
  slot.hash = hash;
  return key;
}

}  // namespace quarl
