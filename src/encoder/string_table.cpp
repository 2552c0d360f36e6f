#include "encoder/string_table.h"

#include <cstring>

#include "format/limits.h"
#include "format/tags.h"

namespace quarl {
namespace {

bool collides_with_dict_end(uint32_t index) noexcept {
  return (index & KEY_INDEX_LOW_BYTE_MASK) == TAG_DICT_END;
}

}  // namespace

StringTable::StringTable() {
  string_list.reserve(STRING_TABLE_INITIAL_CAPACITY);
  string_map.reserve(STRING_TABLE_INITIAL_CAPACITY);
}

void StringTable::start_fresh() {
  for (KeyCacheSlot& slot : key_cache) slot = KeyCacheSlot();
  string_list.clear();
  string_map.clear();
  next_string_index = 0;
  section_size_ = 0;
  overflowed_ = false;
}

Status StringTable::intern_str_miss(PyObject* key, KeyCacheSlot& slot, uint32_t& index) {
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) return Status::failure();
  if (!intern_text(std::string_view(text, static_cast<size_t>(size)), index).ok()) {
    return Status::failure();
  }
  slot.key = PyRef::borrow(key);
  slot.index = index;
  return Status::success();
}

Status StringTable::intern_text(std::string_view text, uint32_t& index) {
  if (text.size() > MAX_KEY_BYTES) {
    return raise_format(PyExc_ValueError,
                        "dict key of %zd bytes is too long: keys are limited to %zd bytes of UTF-8",
                        static_cast<Py_ssize_t>(text.size()), static_cast<Py_ssize_t>(MAX_KEY_BYTES));
  }
  auto found = string_map.find(text);
  if (found != string_map.end()) {
    index = found->second;
    return Status::success();
  }
  return add(text, index);
}

Status StringTable::add(std::string_view text, uint32_t& index) {
  uint32_t candidate = next_string_index;
  size_t placeholders = collides_with_dict_end(candidate) ? 1 : 0;
  if (string_list.size() + placeholders + 1 > MAX_STRING_COUNT) {
    overflowed_ = true;
    return raise_format(PyExc_ValueError,
                        "document needs more than %zd distinct dict keys, the most a string table "
                        "holds",
                        static_cast<Py_ssize_t>(MAX_STRING_COUNT));
  }
  if (placeholders != 0) {
    // An empty entry keeps the table positional at the skipped index.
    string_list.emplace_back();
    section_size_ += 1;
    ++candidate;
  }
  string_map.emplace(std::string(text), candidate);
  string_list.emplace_back(text);
  section_size_ += 1 + text.size();
  next_string_index = candidate + 1;
  index = candidate;
  return Status::success();
}

void StringTable::write_section(uint8_t* out) const noexcept {
  for (const std::string& entry : string_list) {
    *out++ = static_cast<uint8_t>(entry.size());
    std::memcpy(out, entry.data(), entry.size());
    out += entry.size();
  }
}

}  // namespace quarl
