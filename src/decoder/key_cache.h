// Recently decoded dictionary keys, found again by their bytes.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/pyref.h"
#include "common/utf8.h"

namespace quarl {

// Documents that repeat their keys get the same str objects back without
// creating them again. Keys are not interned: interned strings can live for
// the rest of the process, so a peer sending ever new keys would grow it for
// good. The cache has a bounded number of slots in sets of a few, each set
// holding the last keys whose bytes map there; a miss only costs a new str.
// It starts small and grows, up to its bound, for documents with many keys.
class KeyCache {
 public:
  KeyCache() noexcept = default;
  KeyCache(KeyCache&&) noexcept = default;
  KeyCache& operator=(KeyCache&&) noexcept = default;

  // Readies the cache for a document of `keys` keys: large enough that such
  // a document's keys rarely evict one another, as far as the bound allows.
  // Throws std::bad_alloc.
  void fit(size_t keys);

  // A str with the UTF-8 text `text`: a new reference, or null with an
  // exception set. The text is validated only when it is not found: found,
  // it equals the UTF-8 of a str. Sets `invalid` (with no exception) when the
  // text is not UTF-8.
  PyObject* key(const uint8_t* text, size_t length, Utf8Error& error, bool& invalid);

  static constexpr size_t WAYS = 4;
  static constexpr size_t MIN_SLOTS = 1024;
  static constexpr size_t MAX_SLOTS = 8192;
  static constexpr size_t SLOTS_PER_KEY = 4;
  // Longer keys are rare and cost more to keep; they are made afresh.
  static constexpr size_t MAX_CACHED_BYTES = 64;

 private:
  struct Slot {
    PyRef key;
    const char* utf8 = nullptr;  // the key's UTF-8, which lives as long as the key
    uint64_t hash = 0;
    size_t length = 0;
  };
  void allocate(size_t slots);
  Slot* place_for(size_t set_index, uint64_t hash) noexcept;

  std::unique_ptr<Slot[]> slots_;  // allocated by the first document
  // Per set, the hash of the last text that found the set full.
  std::unique_ptr<uint64_t[]> candidates_;
  size_t slot_count_ = 0;
  size_t set_mask_ = 0;
  size_t next_victim_ = 0;  // turns through the ways, so a full set loses each in turn
};

}  // namespace quarl
