// The codec's string table: dictionary keys and their indices.
#pragma once

#include <Python.h>

#include <array>
#include <functional>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/pyref.h"
#include "common/status.h"

namespace quarl {

// Keys get indices in first-seen order for the codec's whole life. Indices
// whose low byte equals the dict terminator (127, 383, ...) are never handed
// out: the list holds an empty placeholder there, so it stays positional.
class StringTable {
 public:
  StringTable();

  // Index of a key given as an exact `str` object. Repeated key objects are
  // found by identity in the key cache without touching their text; the slot
  // holds a strong reference, so the same object is the same text.
  Status intern_str(PyObject* key, uint32_t& index) {
    KeyCacheSlot& slot = key_cache[cache_slot(key)];
    if (slot.key.get() == key) {
      index = slot.index;
      return Status::success();
    }
    return intern_str_miss(key, slot, index);
  }
  // Index of a key given as UTF-8 text.
  Status intern_text(std::string_view text, uint32_t& index);

  // Set when an intern failed because the section's count limit was reached;
  // the document writer then starts a fresh table and writes again.
  bool overflowed() const noexcept { return overflowed_; }
  void clear_overflow() noexcept { overflowed_ = false; }
  bool is_fresh() const noexcept { return string_list.empty(); }
  void start_fresh();

  // Byte size of the string-table section that lists every entry.
  size_t section_size() const noexcept { return section_size_; }
  // Writes the section (length byte + text per entry) at `out`.
  void write_section(uint8_t* out) const noexcept;

  struct KeyCacheSlot {
    PyRef key;  // the exact str last interned through this slot
    uint32_t index = 0;
  };
  // Large enough that the keys of typical documents (a few hundred distinct
  // names) rarely evict each other.
  static constexpr size_t KEY_CACHE_SLOTS = 1024;

  // The cache is keyed by object identity, so the slot comes from the address.
  static size_t cache_slot(const PyObject* key) noexcept {
    auto address = reinterpret_cast<uintptr_t>(key);
    return static_cast<size_t>((address >> 4) ^ (address >> 14)) & (KEY_CACHE_SLOTS - 1);
  }

  std::array<KeyCacheSlot, KEY_CACHE_SLOTS> key_cache;
  std::vector<std::string> string_list;
  // Looked up by string_view without building a std::string per key.
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const noexcept {
      return std::hash<std::string_view>{}(text);
    }
  };
  std::unordered_map<std::string, uint32_t, TextHash, std::equal_to<>> string_map;
  uint32_t next_string_index = 0;

 private:
  Status intern_str_miss(PyObject* key, KeyCacheSlot& slot, uint32_t& index);
  Status add(std::string_view text, uint32_t& index);

  size_t section_size_ = 0;
  bool overflowed_ = false;
};

}  // namespace quarl
