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
  if (!identity_) identity_ = std::make_unique<IdentitySlot[]>(IDENTITY_SLOTS);
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
  replayed_ = 0;
  replayed_section_size_ = 0;
  replay_next_ = entry_keys_.data();
  replay_end_ = entry_keys_.data() + last_table;
}

// The next entry of the last table becomes this document's.
uint32_t StringTable::replay(PyObject* key) noexcept {
  const Entry& entry = entries_[replayed_];
  uint8_t length = section_.data()[entry.offset];
  replayed_section_size_ = entry.offset + 1 + length;
  ++replayed_;
  ++replay_next_;
  next_index_ = entry.index + 1;
  // A slot that holds another key keeps it: taking it over would touch both
  // objects' counts, which for a document with more keys than slots costs
  // more than the rare repeated key that then misses.
  IdentitySlot& slot = identity_[identity_slot(key)];
  if (slot.key.get() != key) {
    if (slot.key) return entry.index;
    slot.key = PyRef::borrow(key);
    slot.text = entry.text;
    slot.length = length;
    slot.hash = entry.hash;
  }
  slot.stamp = stamp_;
  slot.index = entry.index;
  return entry.index;
}

// The replayed entries become this document's own, findable by text.
void StringTable::stop_replay() {
  replaying_ = false;
  replay_next_ = replay_end_ = nullptr;
  entries_.resize(replayed_);
  entry_keys_.resize(replayed_);
  section_.truncate(replayed_section_size_);
  if ((entries_.size() + 1) * 2 > lookup_mask_ + 1) {
    grow_lookup(entries_.size() + 1);
    return;
  }
  for (size_t e = 0; e < entries_.size(); ++e) insert_into_lookup(e);
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

Status StringTable::intern_str_miss(PyObject* key, uint32_t& index) {
  if (replaying_) stop_replay();
  IdentitySlot& slot = identity_[identity_slot(key)];
  if (slot.key.get() != key) {
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) return Status::failure();
    std::string_view view(text, static_cast<size_t>(size));
    if (view.size() > MAX_KEY_BYTES) return intern_text(view, index);  // which reports it
    Py_hash_t hash = PyObject_Hash(key);
    if (hash == -1 && PyErr_Occurred()) return Status::failure();
    slot.key = PyRef::borrow(key);
    slot.text = text;
    slot.length = static_cast<uint32_t>(size);
    slot.hash = hash;
  }
  if (!find_or_add(slot.hash, std::string_view(slot.text, slot.length), key, index).ok()) return Status::failure();
  slot.stamp = stamp_;
  slot.index = index;
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

Status StringTable::find_or_add(Py_hash_t hash, std::string_view text, PyObject* key, uint32_t& index) {
  if ((entries_.size() + 1) * 2 > lookup_mask_ + 1) grow_lookup(entries_.size() + 1);
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

Status StringTable::add(Py_hash_t hash, std::string_view text, PyObject* key, size_t slot, uint32_t& index) {
  uint32_t candidate = next_index_;
  uint32_t placeholders = collides_with_dict_end(candidate) ? 1 : 0;
  if (size_t{candidate} + placeholders + 1 > MAX_STRING_COUNT) {
    return raise_format(PyExc_ValueError,
                        "document needs more than %zd distinct dict keys, the most a string table "
                        "holds",
                        static_cast<Py_ssize_t>(MAX_STRING_COUNT));
  }
  section_.reserve_extra(placeholders + 1 + text.size());
  // An empty entry keeps the table positional at the skipped index.
  if (placeholders != 0) section_.push_unchecked(0);
  candidate += placeholders;
  lookup_[slot] = {stamp_, static_cast<uint32_t>(entries_.size())};
  entry_keys_.push_back(key != nullptr ? PyRef::borrow(key) : PyRef());
  entries_.push_back({hash, key != nullptr ? text.data() : nullptr, static_cast<uint32_t>(section_.size()), candidate});
  section_.push_unchecked(static_cast<uint8_t>(text.size()));
  section_.append_unchecked(text.data(), text.size());
  next_index_ = candidate + 1;
  index = candidate;
  return Status::success();
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
    replayed_ = mark.entries;
    replayed_section_size_ = mark.section_size;
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
