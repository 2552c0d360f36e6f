// The string table of the document being written: its dictionary keys and
// their indices.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "common/pyref.h"
#include "common/status.h"
#include "format/byte_buffer.h"
#include "format/limits.h"
#include "format/tags.h"

namespace quarl {

// Every document lists exactly the keys it uses, in the order the encoder
// first meets them, so its bytes never depend on earlier documents. Indices
// whose low byte equals the dict terminator (127, 383, ...) are never handed
// out: the section holds an empty placeholder there, so it stays positional.
//
// Keys are found by the text's Python hash, which is keyed per process and
// cached in the str, so crafted keys cannot pile up in one bucket. Nothing is
// cleared between documents: slots carry the stamp of the document that
// filled them, and a slot with an older stamp counts as empty.
//
// Documents of one shape meet the same key objects in the same order. So a
// document first replays the table of the one before: as long as its keys
// are, one by one, the objects that table was built from, the table so far
// is that table's beginning, and a key costs one comparison. At the first
// other key the replayed part is taken over as this document's own and the
// table goes on as usual.
class StringTable {
 public:
  StringTable() noexcept = default;
  StringTable(StringTable&&) noexcept = default;
  StringTable& operator=(StringTable&&) noexcept = default;

  // Empties the table for the next document; throws std::bad_alloc.
  void start_document();

  // Index of a key given as an exact `str` object. Repeated key objects are
  // found by identity without touching their text; the slot holds a strong
  // reference, so the same object is the same text.
  Status intern_str(PyObject* key, uint32_t& index) {
    if (replay_next_ != replay_end_ && replay_next_->get() == key) {
      ++replay_next_;
      index = take_next_index();
      return Status::success();
    }
    const IdentitySlot& slot = identity_[identity_slot(key)];
    if (slot.key.get() == key && slot.stamp == stamp_) {
      index = slot.index;
      return Status::success();
    }
    return intern_str_miss(key, index);
  }
  // Index of a key given as UTF-8 text.
  Status intern_text(std::string_view text, uint32_t& index);

  // Where the table stands, so that keys added after it can be taken back
  // when the bytes that use them are cut off.
  struct Mark {
    size_t entries;
    uint32_t next_index;
    size_t section_size;
  };
  Mark mark() const noexcept { return {entry_count(), next_index_, section_size()}; }
  void truncate(const Mark& mark) noexcept;

  // Entries in the section, placeholders included.
  size_t count() const noexcept { return next_index_; }
  // Byte size of the string-table section, and of the last document's.
  size_t section_size() const noexcept { return replaying_ ? replayed_section_size() : section_.size(); }
  size_t previous_section_size() const noexcept { return previous_section_size_; }
  // Writes the section (length byte + text per entry) at `out`.
  void write_section(uint8_t* out) const noexcept {
    if (section_size() != 0) std::memcpy(out, section_.data(), section_size());
  }

  // Large enough that the keys of typical documents (a few hundred distinct
  // names) rarely evict each other.
  static constexpr size_t IDENTITY_SLOTS = 1024;

 private:
  // The identity cache is read for every key, so what that read needs is
  // kept apart from the rest, dense in the processor's cache.
  struct IdentitySlot {
    PyRef key;  // the exact str last interned through this slot
    uint32_t stamp = 0;  // of the document that last gave it an index
    uint32_t index = 0;
  };
  // The key's hash and UTF-8 stay with it, so that a key object met again in
  // a later document is looked up without calling back into the interpreter.
  struct IdentityText {
    const char* text = nullptr;  // the key's UTF-8, which lives as long as the key
    Py_hash_t hash = 0;
    uint32_t length = 0;
    // The last other key object met here, never dereferenced: only its
    // address is compared, to tell a key met twice.
    const PyObject* candidate = nullptr;
  };
  struct Entry {
    Py_hash_t hash;
    const char* text;  // the key object's UTF-8; null for keys that came as text
    uint32_t offset;   // of the entry's length byte in the section
    uint32_t index;
  };
  struct LookupSlot {
    uint32_t stamp;
    uint32_t entry;
  };

  // The cache is keyed by object identity, so the slot comes from the address.
  static size_t identity_slot(const PyObject* key) noexcept {
    auto address = reinterpret_cast<uintptr_t>(key);
    return static_cast<size_t>((address >> 4) ^ (address >> 14)) & (IDENTITY_SLOTS - 1);
  }

  size_t entry_count() const noexcept { return replaying_ ? replayed() : entries_.size(); }
  size_t replayed() const noexcept { return static_cast<size_t>(replay_next_ - entry_keys_.data()); }
  size_t replayed_section_size() const noexcept;
  // The next index in order, stepping over the one the dict terminator
  // would shadow; a replayed entry gets the index it had in the last table,
  // since that table was numbered the same way.
  uint32_t take_next_index() noexcept {
    uint32_t index = next_index_;
    if ((index & KEY_INDEX_LOW_BYTE_MASK) == TAG_DICT_END) ++index;
    next_index_ = index + 1;
    return index;
  }
  void stop_replay();
  void remember_replayed_identities() noexcept;
  void truncate_own(const Mark& mark) noexcept;
  void insert_into_lookup(size_t entry) noexcept;
  Status intern_str_miss(PyObject* key, uint32_t& index);
  Status intern_remembered(size_t slot, PyObject* key, uint32_t& index);
  // `key` is the exact str the text belongs to, or null.
  Status find_or_add(Py_hash_t hash, std::string_view text, PyObject* key, uint32_t& index);
  Status add(Py_hash_t hash, std::string_view text, PyObject* key, size_t slot, uint32_t& index);
  bool matches(const Entry& entry, Py_hash_t hash, std::string_view text) const noexcept;
  static Status too_many_keys();
  void grow_lookup(size_t entries);
  void next_stamp() noexcept;

  // Allocated by the first start_document(), which every encode begins with.
  std::unique_ptr<IdentitySlot[]> identity_;
  std::unique_ptr<IdentityText[]> identity_text_;

  std::unique_ptr<LookupSlot[]> lookup_;
  size_t lookup_mask_ = 0;  // slot count - 1, 0 before the first key
  std::vector<Entry> entries_;
  ByteBuffer section_;  // the section as it will be written
  // The key object of each entry (null for keys that came as text), so that
  // the next document can replay this table.
  std::vector<PyRef> entry_keys_;
  // While replaying: the key object this document should meet next in the
  // last table (those before it are this document's so far) and the end of
  // that table.
  bool replaying_ = false;
  const PyRef* replay_next_ = nullptr;
  const PyRef* replay_end_ = nullptr;
  uint32_t stamp_ = 0;  // the current document's; 0 marks a slot never filled
  uint32_t next_index_ = 0;
  size_t previous_section_size_ = 0;
};

}  // namespace quarl
