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

// CPython's strict decoder accepts exactly the well-formed texts, so the text
// is checked once, by it; only its refusal is described anew, with the spot
// that the decoder reports in its own words.
PyObject* new_key(const uint8_t* text, size_t length, Utf8Error& error, bool& invalid) noexcept {
  PyObject* key = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(text), static_cast<Py_ssize_t>(length), nullptr);
  if (key != nullptr || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return key;
  if (validate_utf8(text, length, error)) return nullptr;  // keeps the decoder's own error
  PyErr_Clear();
  invalid = true;
  return nullptr;
}

// Equal texts of up to 16 bytes are compared in two overlapping loads.
bool same_text(const char* stored, const uint8_t* text, size_t length) noexcept {
  auto bytes = reinterpret_cast<const uint8_t*>(stored);
  if (length >= 8 && length <= 16) {
    return load_u64(bytes) == load_u64(text) && load_u64(bytes + length - 8) == load_u64(text + length - 8);
  }
  if (length >= 4 && length < 8) {
    return load_u32(bytes) == load_u32(text) && load_u32(bytes + length - 4) == load_u32(text + length - 4);
  }
  return std::memcmp(bytes, text, length) == 0;
}

}  // namespace

void KeyCache::allocate(size_t slots) {
  slots_ = std::make_unique<Slot[]>(slots);
  candidates_ = std::make_unique<uint64_t[]>(slots / WAYS);
  slot_count_ = slots;
  set_mask_ = slots / WAYS - 1;
}

void KeyCache::fit(size_t keys) {
  if (!slots_) allocate(MIN_SLOTS);
  if (keys * SLOTS_PER_KEY <= slot_count_ || slot_count_ >= MAX_SLOTS) return;
  size_t slots = slot_count_;
  while (slots < keys * SLOTS_PER_KEY && slots < MAX_SLOTS) slots *= 2;
  allocate(slots);
}

// A full set takes a key in only when its text was met here just before:
// keys such as ids come once, and each would push out a key that documents
// repeat, and release it, often long out of the processor's cache.
KeyCache::Slot* KeyCache::place_for(size_t set_index, uint64_t hash) noexcept {
  Slot* set = &slots_[set_index * WAYS];
  for (size_t w = 0; w < WAYS; ++w) {
    if (!set[w].key) return &set[w];
  }
  if (candidates_[set_index] != hash) {
    candidates_[set_index] = hash;
    return nullptr;
  }
  return &set[next_victim_++ % WAYS];
}

PyObject* KeyCache::key(const uint8_t* text, size_t length, Utf8Error& error, bool& invalid) {
  if (length > MAX_CACHED_BYTES) return new_key(text, length, error, invalid);
  if (!slots_) allocate(MIN_SLOTS);
  uint64_t hash = text_hash(text, length);
  size_t set_index = hash & set_mask_;
  Slot* set = &slots_[set_index * WAYS];
  for (size_t w = 0; w < WAYS; ++w) {
    const Slot& slot = set[w];
    if (slot.hash == hash && slot.length == length && slot.key && same_text(slot.utf8, text, length)) {
      return slot.key.new_reference();
    }
  }
  PyRef key = PyRef::steal(new_key(text, length, error, invalid));
  if (!key) return nullptr;
  Slot* place = place_for(set_index, hash);
  if (place == nullptr) return key.release();
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key.get(), &size);
  if (utf8 == nullptr) return nullptr;
  Slot& slot = *place;
  slot.key = PyRef::borrow(key.get());
  slot.utf8 = utf8;
  slot.hash = hash;
  slot.length = static_cast<size_t>(size);
  return key.release();
}

}  // namespace quarl
