#include "decoder/parser.h"

#include <cstdio>

#include "format/endian.h"
#include "format/limits.h"
#include "format/tags.h"

namespace quarl {
namespace {

constexpr const char* UNEXPECTED_END = "Unexpected end of buffer during parsing";
constexpr const char* NOT_TERMINATED = "Object not properly terminated";
constexpr const char* TOO_DEEP = "Maximum recursion depth exceeded during QUARL decoding";

constexpr uint64_t U32_SIZE = sizeof(uint32_t);
constexpr uint64_t INT64_SIZE = sizeof(int64_t);
constexpr uint64_t FLOAT64_SIZE = sizeof(double);

// Turns a failed Status into the parser's NULL result.
PyObject* no_object(Status) noexcept { return nullptr; }

[[gnu::cold, gnu::noinline]] PyObject* fail_unexpected_end() noexcept {
  return no_object(raise(PyExc_ValueError, UNEXPECTED_END));
}

[[gnu::cold, gnu::noinline]] PyObject* fail_too_deep() noexcept {
  return no_object(raise(PyExc_RecursionError, TOO_DEEP));
}

[[gnu::cold, gnu::noinline]] PyObject* fail_not_terminated() noexcept {
  return no_object(raise(PyExc_ValueError, NOT_TERMINATED));
}

[[gnu::cold, gnu::noinline]] PyObject* fail_key_index(uint32_t index) noexcept {
  return no_object(raise_format(PyExc_ValueError, "Invalid string table index: %lu",
                                static_cast<unsigned long>(index)));
}

[[gnu::cold, gnu::noinline]] PyObject* fail_unknown_tag(uint8_t tag) noexcept {
  char message[sizeof "Unknown tag: 0x00"];
  std::snprintf(message, sizeof message, "Unknown tag: 0x%02x", static_cast<unsigned>(tag));
  return no_object(raise(PyExc_ValueError, message));
}

// A CPython call that failed; makes sure an exception says so.
[[gnu::cold, gnu::noinline]] PyObject* fail_api_call() noexcept {
  return no_object(ensure_error_set());
}

}  // namespace

QuarlParser::QuarlParser(std::span<const uint8_t> buffer, size_t start,
                         std::span<const PyRef> strings, const DecoderState& codec) noexcept
    : data_(buffer.data()),
      len_(buffer.size()),
      pos_(start),
      strings_(strings.data()),
      string_count_(strings.size()),
      none_(codec.cached_none.get()),
      true_(codec.cached_true.get()),
      false_(codec.cached_false.get()),
      small_ints_(codec.cached_small_ints.data()),
      layout_(codec.layout) {}

void QuarlParser::too_deep() noexcept { fail_too_deep(); }

Status QuarlParser::check_bounds(uint64_t len, uint64_t pos, uint64_t n) noexcept {
  // n is at most a u32 count times 8, so the sum cannot wrap.
  if (pos + n <= len) [[likely]] return Status::success();
  fail_unexpected_end();
  return Status::failure();
}

PyObject* QuarlParser::parse() {
  // The depth test precedes every read, so a value too deep fails on depth
  // even where no byte is left for it.
  if (++depth_ > MAX_DEPTH) [[unlikely]] return fail_too_deep();
  if (pos_ >= len_) [[unlikely]] return fail_unexpected_end();
  PyObject* result = parse_tag(data_[pos_++]);
  --depth_;
  return result;
}

PyObject* QuarlParser::parse_tag(uint8_t tag) {
  switch (tag) {
    case TAG_NONE: return Py_NewRef(none_);
    case TAG_FALSE: return Py_NewRef(false_);
    case TAG_TRUE: return Py_NewRef(true_);
    case TAG_INT64: return parse_int64();
    case TAG_SMALL_INT | 0: case TAG_SMALL_INT | 1: case TAG_SMALL_INT | 2:
    case TAG_SMALL_INT | 3: case TAG_SMALL_INT | 4: case TAG_SMALL_INT | 5:
    case TAG_SMALL_INT | 6: case TAG_SMALL_INT | 7: case TAG_SMALL_INT | 9:
    case TAG_SMALL_INT | 10: case TAG_SMALL_INT | 11: case TAG_SMALL_INT | 12:
    case TAG_SMALL_INT | 13: case TAG_SMALL_INT | 14: case TAG_SMALL_INT | 15:
      return cached_small_int(tag & LOW_NIBBLE);
    case TAG_FLOAT64: return parse_float64();
    case TAG_STRING: return parse_string();
    case TAG_BYTES: return parse_bytes();
    case TAG_LIST: return parse_list();
    case TAG_DICT: return parse_dict();
    case TAG_FLOAT_ARRAY: return parse_float_array();
    case TAG_DATETIME: case TAG_DATE: case TAG_TIME: case TAG_UUID: case TAG_DECIMAL:
      return parse_special(tag);
    default: return fail_unknown_tag(tag);
  }
}

PyObject* QuarlParser::parse_int64() {
  if (!require(INT64_SIZE).ok()) return nullptr;
  uint64_t bits = read_u64(data_ + pos_);
  pos_ += INT64_SIZE;
  if (bits < SMALL_INT_READ_LIMIT) return cached_small_int(bits);
  return PyLong_FromLongLong(static_cast<int64_t>(bits));
}

PyObject* QuarlParser::parse_float64() {
  if (!require(FLOAT64_SIZE).ok()) return nullptr;
  double value = read_f64(data_ + pos_);
  pos_ += FLOAT64_SIZE;
  return PyFloat_FromDouble(value);
}

Status QuarlParser::read_length_prefix(uint32_t& length) noexcept {
  if (!require(U32_SIZE).ok()) return Status::failure();
  length = read_u32(data_ + pos_);
  pos_ += U32_SIZE;
  return require(length);
}

PyObject* QuarlParser::parse_string() {
  uint32_t length;
  if (!read_length_prefix(length).ok()) return nullptr;
  const char* text = reinterpret_cast<const char*>(data_ + pos_);
  pos_ += length;
  return PyUnicode_DecodeUTF8(text, length, nullptr);
}

PyObject* QuarlParser::parse_bytes() {
  uint32_t length;
  if (!read_length_prefix(length).ok()) return nullptr;
  const char* raw = reinterpret_cast<const char*>(data_ + pos_);
  pos_ += length;
  return PyBytes_FromStringAndSize(raw, length);
}

Status QuarlParser::read_list_count(uint32_t& count) noexcept {
  if (!require(U32_SIZE).ok()) return Status::failure();
  count = read_u32(data_ + pos_);
  pos_ += U32_SIZE;
  // Every element takes at least its tag byte, so a count the rest of the
  // document cannot hold is refused before anything is allocated. Elements of
  // a list at the depth limit would fail on depth before reading a byte, and
  // still do.
  if (count > len_ - pos_) [[unlikely]] {
    depth_ >= MAX_DEPTH ? fail_too_deep() : fail_unexpected_end();
    return Status::failure();
  }
  return Status::success();
}

uint32_t QuarlParser::reservation_for(uint32_t count) const noexcept {
  // Each slot reserved and not yet begun, in this list and in every open list
  // around it, stands for at least one byte still to come. So the slots
  // reserved at any time never outnumber the bytes left, whatever the nesting:
  // a genuine document always gets its full count, a forged one at most the
  // input's size in total. Elements beyond the reservation are appended.
  uint64_t left = len_ - pos_;
  uint64_t room = left > reserved_ ? left - reserved_ : 0;
  return count <= room ? count : static_cast<uint32_t>(room);
}

PyObject* QuarlParser::parse_list() {
  uint32_t count;
  if (!read_list_count(count).ok()) return nullptr;
  uint32_t reserved = reservation_for(count);
  PyRef list = PyRef::steal(PyList_New(reserved));
  if (!list) return fail_api_call();
  // The items may run Python code (the constructors of the special types),
  // which must not find the list while slots are empty: the collector,
  // through which alone it could, does not know it until it is whole.
  PyObject_GC_UnTrack(list.get());
  // Slots that wait in the lists around this one; this list's own waiting
  // slots are added only where an item may open a list of its own.
  uint64_t outer = reserved_;
  // Floats, the bulk of numeric lists, are read here without a call of
  // their own; at the depth limit every item takes parse() and its checks.
  bool floats_inline = depth_ < MAX_DEPTH;
  for (uint32_t i = 0; i < reserved; ++i) {
    PyObject* item;
    if (floats_inline && len_ - pos_ > FLOAT64_SIZE && data_[pos_] == TAG_FLOAT64) {
      item = PyFloat_FromDouble(read_f64(data_ + pos_ + 1));
      pos_ += 1 + FLOAT64_SIZE;
      if (item == nullptr) return fail_api_call();
    } else {
      reserved_ = outer + (reserved - i - 1);
      item = parse();
      if (item == nullptr) return nullptr;
    }
    fill_new_list_slot(layout_, list.get(), i, item);
  }
  reserved_ = outer;
  // Only a list whose count outruns the bytes left has items beyond its
  // reservation, and it fails before its end; until then it grows as they
  // arrive.
  for (uint32_t i = reserved; i < count; ++i) {
    PyObject* item = parse();
    if (item == nullptr) return nullptr;
    int appended = PyList_Append(list.get(), item);
    Py_DECREF(item);
    if (appended < 0) return fail_api_call();
  }
  PyObject_GC_Track(list.get());
  return list.release();
}

// Dict values are mostly scalars, read here without a parse() call of their
// own; anything else, and every value at the depth limit or without its tag
// byte, takes parse() and its checks.
inline PyObject* QuarlParser::parse_dict_value() {
  if (depth_ >= MAX_DEPTH || pos_ >= len_) [[unlikely]] return parse();
  uint8_t tag = data_[pos_];
  switch (tag) {
    case TAG_NONE: ++pos_; return Py_NewRef(none_);
    case TAG_FALSE: ++pos_; return Py_NewRef(false_);
    case TAG_TRUE: ++pos_; return Py_NewRef(true_);
    case TAG_INT64: ++pos_; return parse_int64();
    case TAG_FLOAT64: ++pos_; return parse_float64();
    case TAG_STRING: ++pos_; return parse_string();
    default:
      if ((tag & ~LOW_NIBBLE) == TAG_SMALL_INT) {
        ++pos_;
        return cached_small_int(tag & LOW_NIBBLE);
      }
      return parse();
  }
}

PyObject* QuarlParser::parse_dict() {
  uint32_t index;
  KeyStep step = next_key(index);
  if (step == KeyStep::failed) [[unlikely]] return nullptr;
  if (step == KeyStep::end) return PyDict_New();
  if (PyObject* shaped = dict_shapes_.template_for(index)) return parse_dict_from_template(shaped, index);
  return parse_dict_by_keys(index);
}

// `index` is the first entry's key index.
PyObject* QuarlParser::parse_dict_by_keys(uint32_t index) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return fail_api_call();
  DictShapes::Keys keys;
  KeyStep step = KeyStep::entry;
  for (; step == KeyStep::entry; step = next_key(index)) {
    PyRef value = PyRef::steal(parse_dict_value());
    if (!value) return nullptr;
    if (PyDict_SetItem(dict.get(), strings_[index].get(), value.get()) < 0) return fail_api_call();
    keys.add(index);
  }
  if (step == KeyStep::failed) return nullptr;
  if (!dict_shapes_.learn(keys, strings_).ok()) return fail_api_call();
  return dict.release();
}

// The dict starts as a copy of the template, its keys in the template's
// order. While the entries follow that order they replace its values; at the
// first entry that does not, the keys not reached yet leave the dict, which
// then goes on as one built key by key would.
PyObject* QuarlParser::parse_dict_from_template(PyObject* shaped, uint32_t index) {
  // The template may change while the values are read (a nested dict may
  // set a new one), so its keys are taken now.
  DictShapes::Keys shape;
  shape.assign(dict_shapes_.shape());
  std::span<const uint32_t> order = shape.kept();
  PyRef dict = PyRef::steal(PyDict_Copy(shaped));
  if (!dict) return fail_api_call();
  size_t reached = 0;
  bool following = true;
  auto drop_unreached = [&]() {
    following = false;
    if (reached == order.size()) return true;
    dict_shapes_.forget();
    for (; reached < order.size(); ++reached) {
      if (PyDict_DelItem(dict.get(), strings_[order[reached]].get()) < 0) return false;
    }
    return true;
  };
  KeyStep step = KeyStep::entry;
  for (; step == KeyStep::entry; step = next_key(index)) {
    PyRef value = PyRef::steal(parse_dict_value());
    if (!value) return nullptr;
    if (following) {
      if (reached < order.size() && order[reached] == index) {
        ++reached;
      } else if (!drop_unreached()) {
        return fail_api_call();
      }
    }
    if (PyDict_SetItem(dict.get(), strings_[index].get(), value.get()) < 0) return fail_api_call();
  }
  if (step == KeyStep::failed) return nullptr;
  if (following && !drop_unreached()) return fail_api_call();
  return dict.release();
}

QuarlParser::KeyStep QuarlParser::next_key(uint32_t& index) noexcept {
  if (pos_ >= len_) [[unlikely]] {
    fail_not_terminated();
    return KeyStep::failed;
  }
  // The terminator test comes before the key index is read.
  if (data_[pos_] == TAG_DICT_END) {
    ++pos_;
    return KeyStep::end;
  }
  if (!require(U32_SIZE).ok()) return KeyStep::failed;
  index = read_u32(data_ + pos_);
  pos_ += U32_SIZE;
  if (index >= string_count_) [[unlikely]] {
    fail_key_index(index);
    return KeyStep::failed;
  }
  return KeyStep::entry;
}

Status QuarlParser::read_float_array_count(uint32_t& count) noexcept {
  if (!require(U32_SIZE).ok()) return Status::failure();
  count = read_u32(data_ + pos_);
  pos_ += U32_SIZE;
  return require(static_cast<uint64_t>(count) * FLOAT64_SIZE);
}

PyObject* QuarlParser::parse_float_array() {
  uint32_t count;
  if (!read_float_array_count(count).ok()) return nullptr;
  uint64_t size = static_cast<uint64_t>(count) * FLOAT64_SIZE;
  PyRef list = PyRef::steal(PyList_New(count));
  if (!list) return fail_api_call();
  const uint8_t* values = data_ + pos_;
  pos_ += size;
  for (uint32_t i = 0; i < count; ++i) {
    PyObject* item = PyFloat_FromDouble(read_f64(values + i * FLOAT64_SIZE));
    if (item == nullptr) return fail_api_call();
    fill_new_list_slot(layout_, list.get(), i, item);
  }
  return list.release();
}

PyObject* QuarlParser::parse_special(uint8_t tag) {
  uint32_t length;
  if (!read_length_prefix(length).ok()) return nullptr;
  std::span<const uint8_t> text(data_ + pos_, length);
  pos_ += length;
  if (!special_types_) special_types_.emplace(layout_);
  return special_types_->rebuild(tag, text, collector_pause_);
}

}  // namespace quarl
