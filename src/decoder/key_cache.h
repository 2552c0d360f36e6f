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
// good. The cache has a fixed number of slots, each holding the last key
// whose bytes map there; a hash collision only costs a new str.
class KeyCache {
 public:
  KeyCache() noexcept = default;
  KeyCache(KeyCache&&) noexcept = default;
  KeyCache& operator=(KeyCache&&) noexcept = default;

  // A str with the UTF-8 text `text`: a new reference, or null with an
  // exception set. The text is validated only when it is not found: found,
  // it equals the UTF-8 of a str. Sets `invalid` (with no exception) when the
  // text is not UTF-8.
  PyObject* key(const uint8_t* text, size_t length, Utf8Error& error, bool& invalid);

  static constexpr size_t SLOTS = 1024;
  // Longer keys are rare and cost more to keep; they are made afresh.
  static constexpr size_t MAX_CACHED_BYTES = 64;

 private:
  struct Slot {
    PyRef key;
    const char* utf8 = nullptr;  // the key's UTF-8, which lives as long as the key
    uint64_t hash = 0;
    size_t length = 0;
  };
  std::unique_ptr<Slot[]> slots_;  // allocated by the first key
};

}  // namespace quarl
