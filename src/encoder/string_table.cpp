#include "encoder/string_table.h"

#include <algorithm>
#include <new>

#include "format/limits.h"
#include "format/tags.h"

namespace quarl {
namespace {

bool collides_with_dict_end(uint32_t index) noexcept {
  return (index & KEY_INDEX_LOW_BYTE_MASK) == TAG_DICT_END;
}

// The lookup stays at most half full.
constexpr size_t LOOKUP_MIN_SLOTS = 64;
// A document with more keys than this leaves its storage behind only until
// the next document starts, so a codec's memory stays bounded.
constexpr size_t LOOKUP_KEPT_SLOTS = size_t{1} << 14;
constexpr size_t SECTION_KEPT_BYTES = size_t{1} << 20;

}  // namespace

void StringTable::start_document() {
  if (!identity_) {
    identity_ = std::make_unique<IdentitySlot[]>(IDENTITY_SLOTS);
    identity_text_ = std::make_unique<IdentityText[]>(IDENTITY_SLOTS);
  }
  previous_section_size_ = section_size();
  size_t last_table = entry_count();
  if (lookup_mask_ + 1 > LOOKUP_KEPT_SLOTS || section_.capacity() > SECTION_KEPT_BYTES) {
    lookup_.reset();
    lookup_mask_ = 0;
    entries_ = std::vector<Entry>();
    entry_keys_ = std::vector<PyRef>();
    section_.release_storage();
    last_table = 0;
  }
  next_index_ = 0;
  next_stamp();
  replaying_ = true;
  replay_next_ = entry_keys_.data();
  replay_end_ = entry_keys_.data() + last_table;
}

// The replayed entries are the first ones of the last table, so the section
// ends where the last of them does.
size_t StringTable::replayed_section_size() const noexcept {
  size_t replayed_entries = replayed();
  if (replayed_entries == 0) return 0;
  uint32_t offset = entries_[replayed_entries - 1].offset;
  return size_t{offset} + 1 + section_.data()[offset];
}

// The replayed entries become this document's own, findable by text and,
// from now on, by identity.
void StringTable::stop_replay() {
  size_t replayed_entries = replayed();
  size_t section_size = replayed_section_size();
  replaying_ = false;
  replay_next_ = replay_end_ = nullptr;
  entries_.resize(replayed_entries);
  entry_keys_.resize(replayed_entries);
  section_.truncate(section_size);
  if ((entries_.size() + 1) * 2 > lookup_mask_ + 1) {
    grow_lookup(entries_.size() + 1);
  } else {
    for (size_t e = 0; e < entries_.size(); ++e) insert_into_lookup(e);
  }
  remember_replayed_identities();
}

// Replaying leaves the identity slots alone, which keeps a long replay to one
// comparison per key; a document that goes on past its replay has them
// filled here. A slot that holds another key keeps it: taking it over would
// touch both objects' counts, which for a table with more keys than slots
// costs more than the rare repeated key that then misses.
void StringTable::remember_replayed_identities() noexcept {
  for (size_t e = 0; e < entries_.size(); ++e) {
    PyObject* key = entry_keys_[e].get();
    if (key == nullptr) continue;
    size_t i = identity_slot(key);
    IdentitySlot& slot = identity_[i];
    if (slot.key.get() != key) {
      if (slot.key) continue;
      const Entry& entry = entries_[e];
      slot.key = PyRef::borrow(key);
      identity_text_[i] = {entry.text, entry.hash, section_.data()[entry.offset], nullptr};
    }
    slot.stamp = stamp_;
    slot.index = entries_[e].index;
  }
}

void StringTable::insert_into_lookup(size_t entry) noexcept {
  size_t slot = static_cast<size_t>(entries_[entry].hash) & lookup_mask_;
  while (lookup_[slot].stamp == stamp_) slot = (slot + 1) & lookup_mask_;
  lookup_[slot] = {stamp_, static_cast<uint32_t>(entry)};
}

// A new stamp empties every slot at once; when the stamps run out, the slots
// are emptied one by one and counting starts again.
void StringTable::next_stamp() noexcept {
  if (++stamp_ != 0) return;
  for (size_t i = 0; i < IDENTITY_SLOTS; ++i) identity_[i].stamp = 0;
  if (lookup_) {
    for (size_t i = 0; i <= lookup_mask_; ++i) lookup_[i].stamp = 0;
  }
  stamp_ = 1;
}

namespace {

// Short texts, the common keys, are copied in two overlapping moves.
void copy_key_text(uint8_t* out, const char* text, size_t length) noexcept {
  if (length >= 8 && length <= 16) {
    std::memcpy(out, text, 8);
    std::memcpy(out + length - 8, text + length - 8, 8);
  } else if (length >= 4 && length < 8) {
    std::memcpy(out, text, 4);
    std::memcpy(out + length - 4, text + length - 4, 4);
  } else {
    std::memcpy(out, text, length);
  }
}

}  // namespace

[[gnu::always_inline]] inline Status StringTable::find_or_add(Py_hash_t hash, std::string_view text, PyObject* key,
                                                              uint32_t& index) {
  if ((entries_.size() + 1) * 2 > lookup_mask_ + 1) [[unlikely]] grow_lookup(entries_.size() + 1);
  size_t slot = static_cast<size_t>(hash) & lookup_mask_;
  while (lookup_[slot].stamp == stamp_) {
    const Entry& entry = entries_[lookup_[slot].entry];
    if (matches(entry, hash, text)) {
      index = entry.index;
      return Status::success();
    }
    slot = (slot + 1) & lookup_mask_;
  }
  return add(hash, text, key, slot, index);
}

[[gnu::always_inline]] inline Status StringTable::add(Py_hash_t hash, std::string_view text, PyObject* key,
                                                      size_t slot, uint32_t& index) {
  uint32_t candidate = next_index_;
  uint32_t placeholders = collides_with_dict_end(candidate) ? 1 : 0;
  if (size_t{candidate} + placeholders + 1 > MAX_STRING_COUNT) [[unlikely]] return too_many_keys();
  // An empty entry keeps the table positional at the skipped index.
  section_.reserve_extra(placeholders + 1 + text.size());
  uint8_t* out = section_.tail();
  out[0] = 0;
  out += placeholders;
  out[0] = static_cast<uint8_t>(text.size());
  copy_key_text(out + 1, text.data(), text.size());
  uint32_t offset = static_cast<uint32_t>(section_.size() + placeholders);
  section_.advance(placeholders + 1 + text.size());
  candidate += placeholders;
  lookup_[slot] = {stamp_, static_cast<uint32_t>(entries_.size())};
  entry_keys_.push_back(key != nullptr ? PyRef::borrow(key) : PyRef());
  entries_.push_back({hash, key != nullptr ? text.data() : nullptr, offset, candidate});
  next_index_ = candidate + 1;
  index = candidate;
  return Status::success();
}

Status StringTable::too_many_keys() {
  return raise_format(PyExc_ValueError,
                      "document needs more than %zd distinct dict keys, the most a string table holds",
                      static_cast<Py_ssize_t>(MAX_STRING_COUNT));
}

Status StringTable::intern_str_miss(PyObject* key, uint32_t& index) {
  size_t i = identity_slot(key);
  IdentitySlot& slot = identity_[i];
  if (replaying_) {
    stop_replay();
    if (slot.key.get() == key && slot.stamp == stamp_) {  // a key replayed earlier in this document
      index = slot.index;
      return Status::success();
    }
  }
  if (slot.key.get() == key) return intern_remembered(i, key, index);
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) return Status::failure();
  std::string_view view(text, static_cast<size_t>(size));
  if (view.size() > MAX_KEY_BYTES) return intern_text(view, index);  // which reports it
  Py_hash_t hash = PyObject_Hash(key);
  if (hash == -1 && PyErr_Occurred()) return Status::failure();
  // A key object met for the first time is only noted: keys such as ids come
  // once and are gone, and taking the slot for each would also release the
  // key it held, mostly an old document's, long out of the processor's
  // cache. Met again, or given an empty slot, the key is remembered.
  IdentityText& known = identity_text_[i];
  if (slot.key && known.candidate != key) {
    known.candidate = key;
    return find_or_add(hash, view, key, index);
  }
  slot.key = PyRef::borrow(key);
  known = {text, hash, static_cast<uint32_t>(size), nullptr};
  return intern_remembered(i, key, index);
}

// A key whose identity slot holds it, with its text and hash, from an
// earlier document or just now.
Status StringTable::intern_remembered(size_t slot, PyObject* key, uint32_t& index) {
  const IdentityText& known = identity_text_[slot];
  if (!find_or_add(known.hash, std::string_view(known.text, known.length), key, index).ok()) {
    return Status::failure();
  }
  identity_[slot].stamp = stamp_;
  identity_[slot].index = index;
  return Status::success();
}

// Text that is not held by an exact str is hashed as one, so that equal
// texts meet whichever way they came.
Status StringTable::intern_text(std::string_view text, uint32_t& index) {
  if (text.size() > MAX_KEY_BYTES) {
    return raise_format(PyExc_ValueError,
                        "dict key of %zd bytes is too long: keys are limited to %zd bytes of UTF-8",
                        static_cast<Py_ssize_t>(text.size()), static_cast<Py_ssize_t>(MAX_KEY_BYTES));
  }
  if (replaying_) stop_replay();
  PyRef str = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!str) return Status::failure();
  Py_hash_t hash = PyObject_Hash(str.get());
  if (hash == -1 && PyErr_Occurred()) return Status::failure();
  return find_or_add(hash, text, nullptr, index);
}

bool StringTable::matches(const Entry& entry, Py_hash_t hash, std::string_view text) const noexcept {
  const uint8_t* stored = section_.data() + entry.offset;
  return entry.hash == hash && stored[0] == text.size() && std::memcmp(stored + 1, text.data(), text.size()) == 0;
}

// Room for `entries` at most half full. Entries go back in the order they
// came, so each is found where it was put.
void StringTable::grow_lookup(size_t entries) {
  size_t slots = std::max(LOOKUP_MIN_SLOTS, lookup_mask_ + 1);
  while (entries * 2 > slots) slots *= 2;
  lookup_ = std::make_unique<LookupSlot[]>(slots);  // zeroed: stamp 0 is never current
  lookup_mask_ = slots - 1;
  for (size_t e = 0; e < entries_.size(); ++e) insert_into_lookup(e);
}

// The entries after the mark were added last, so no other entry was placed
// beyond one of their slots: emptying those slots, newest first, leaves every
// other entry findable.
void StringTable::truncate(const Mark& mark) noexcept {
  next_index_ = mark.next_index;
  if (replaying_) {
    replay_next_ = entry_keys_.data() + mark.entries;
  } else {
    truncate_own(mark);
  }
  for (size_t i = 0; i < IDENTITY_SLOTS; ++i) {
    IdentitySlot& slot = identity_[i];
    if (slot.stamp == stamp_ && slot.index >= mark.next_index) slot.stamp = 0;
  }
}

void StringTable::truncate_own(const Mark& mark) noexcept {
  for (size_t e = entries_.size(); e-- > mark.entries;) {
    size_t slot = static_cast<size_t>(entries_[e].hash) & lookup_mask_;
    while (lookup_[slot].entry != e || lookup_[slot].stamp != stamp_) slot = (slot + 1) & lookup_mask_;
    lookup_[slot].stamp = 0;
  }
  entries_.resize(mark.entries);
  entry_keys_.resize(mark.entries);
  section_.truncate(mark.section_size);
}

}  // namespace quarl
