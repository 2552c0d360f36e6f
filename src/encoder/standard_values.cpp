// The standard library's dates, times, datetimes and UUIDs in a model batch,
// written from their fields. The text is exactly what isoformat() and `hex`
// return for these types; only the calls back into Python are saved.
#include <array>
#include <cstring>
#include <string_view>

#include "encoder/standard_values.h"
#include "encoder/writers.h"

namespace quarl {

// Text returned by Python code, which must be a str, under `tag`; the
// standard types' own methods, for states the fields cannot give.
Status write_returned_text(EncoderState& codec, uint8_t tag, PyRef text);
Status write_isoformat(EncoderState& codec, PyObject* obj, uint8_t tag, const EncodeNames& names);
Status write_uuid_hex(EncoderState& codec, PyObject* obj, const EncodeNames& names);

namespace {

constexpr long MICROSECONDS_PER_SECOND = 1000000;
constexpr long SECONDS_PER_DAY = 86400;
constexpr size_t UUID_HEX_DIGITS = 32;

constexpr std::array<char, 200> make_decimal_pairs() {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}

constexpr std::array<char, 512> make_hex_pairs() {
  constexpr char DIGITS[] = "0123456789abcdef";
  std::array<char, 512> pairs{};
  for (int i = 0; i < 256; ++i) {
    pairs[2 * i] = DIGITS[i >> 4];
    pairs[2 * i + 1] = DIGITS[i & 0xF];
  }
  return pairs;
}

constexpr std::array<char, 200> DECIMAL_PAIRS = make_decimal_pairs();
constexpr std::array<char, 512> HEX_PAIRS = make_hex_pairs();

// Room for the longest isoformat() text, with margin for any field value.
class IsoText {
 public:
  void push(char c) noexcept { text_[size_++] = c; }
  // A non-negative number, zero-padded to `width` digits.
  void number(unsigned long long value, int width) noexcept {
    constexpr int ROOM = 24;
    char digits[ROOM];
    int start = ROOM;
    while (value >= 100) {
      start -= 2;
      std::memcpy(digits + start, &DECIMAL_PAIRS[2 * (value % 100)], 2);
      value /= 100;
    }
    if (value >= 10) {
      start -= 2;
      std::memcpy(digits + start, &DECIMAL_PAIRS[2 * value], 2);
    } else {
      digits[--start] = static_cast<char>('0' + value);
    }
    while (ROOM - start < width) digits[--start] = '0';
    append(std::string_view(digits + start, static_cast<size_t>(ROOM - start)));
  }
  void append(std::string_view text) noexcept {
    std::memcpy(text_ + size_, text.data(), text.size());
    size_ += text.size();
  }
  std::string_view view() const noexcept { return {text_, size_}; }
  size_t size() const noexcept { return size_; }

 private:
  char text_[256];
  size_t size_ = 0;
};

Status read_long(PyObject* obj, PyObject* name, long& value) {
  PyRef number = PyRef::steal(PyObject_GetAttr(obj, name));
  if (!number) return Status::failure();
  value = PyLong_AsLong(number.get());
  if (value == -1 && PyErr_Occurred()) return Status::failure();
  return Status::success();
}

Status write_text(EncoderState& codec, uint8_t tag, std::string_view text) {
  return write_length_prefixed(codec, tag, text.data(), text.size(), "str");
}

// The pickled state that __reduce__() gives for the standard date, time and
// datetime: the fields packed into a few bytes, followed by the tzinfo of an
// aware value. Pickles load across Python versions, so the packing is fixed;
// a state of any other shape is left to isoformat().
enum class Read { done, unusual, failed };

struct PackedState {
  PyRef reduced;
  const uint8_t* bytes = nullptr;
  PyObject* tzinfo = Py_None;  // held by `reduced`
};

constexpr size_t DATE_STATE_SIZE = 4;
constexpr size_t TIME_STATE_SIZE = 6;
constexpr size_t DATETIME_STATE_SIZE = 10;
// Pickles of protocol 4 and later mark `fold` in the high bit of a field.
constexpr uint8_t FOLD_BIT_MASK = 0x7F;

Read read_packed_state(PyObject* obj, PyObject* reduce, size_t size, PackedState& state) {
  state.reduced = PyRef::steal(PyObject_CallFunctionObjArgs(reduce, obj, nullptr));
  if (!state.reduced) return Read::failed;
  PyObject* reduced = state.reduced.get();
  if (!PyTuple_Check(reduced) || PyTuple_Size(reduced) != 2) return Read::unusual;
  PyObject* arguments = PyTuple_GetItem(reduced, 1);
  Py_ssize_t count = PyTuple_Check(arguments) ? PyTuple_Size(arguments) : 0;
  if (count != 1 && count != 2) return Read::unusual;
  PyObject* packed = PyTuple_GetItem(arguments, 0);
  if (!PyBytes_CheckExact(packed) || PyBytes_Size(packed) != static_cast<Py_ssize_t>(size)) {
    return Read::unusual;
  }
  state.bytes = reinterpret_cast<const uint8_t*>(PyBytes_AsString(packed));
  if (count == 2) state.tzinfo = PyTuple_GetItem(arguments, 1);
  return Read::done;
}

// YYYY-MM-DD from year (two bytes, big-endian), month and day.
void append_date(IsoText& text, const uint8_t* packed) {
  text.number(packed[0] << 8 | packed[1], 4);
  text.push('-');
  text.number(packed[2] & FOLD_BIT_MASK, 2);
  text.push('-');
  text.number(packed[3], 2);
}

// HH:MM:SS from hour, minute, second, and .ffffff from the microseconds
// (three bytes, big-endian) only when there are any.
void append_clock(IsoText& text, const uint8_t* packed) {
  text.number(packed[0] & FOLD_BIT_MASK, 2);
  text.push(':');
  text.number(packed[1], 2);
  text.push(':');
  text.number(packed[2], 2);
  long microsecond = packed[3] << 16 | packed[4] << 8 | packed[5];
  if (microsecond != 0) {
    text.push('.');
    text.number(microsecond, 6);
  }
}

// +HH:MM, with :SS and .ffffff only when the offset has them; a negative
// offset is written as the sign and the magnitude.
Status append_offset(IsoText& text, PyObject* offset, const EncodeNames& names) {
  long days, seconds, microseconds;
  if (!read_long(offset, names.days.get(), days).ok() || !read_long(offset, names.seconds.get(), seconds).ok() ||
      !read_long(offset, names.microseconds.get(), microseconds).ok()) {
    return Status::failure();
  }
  long long total = (static_cast<long long>(days) * SECONDS_PER_DAY + seconds) * MICROSECONDS_PER_SECOND +
                    microseconds;
  text.push(days < 0 ? '-' : '+');
  if (total < 0) total = -total;
  long long fraction = total % MICROSECONDS_PER_SECOND;
  long long whole = total / MICROSECONDS_PER_SECOND;
  text.number(whole / 3600, 2);
  text.push(':');
  text.number(whole / 60 % 60, 2);
  if (fraction != 0 || whole % 60 != 0) {
    text.push(':');
    text.number(whole % 60, 2);
  }
  if (fraction != 0) {
    text.push('.');
    text.number(fraction, 6);
  }
  return Status::success();
}

enum class Zone { appended, unusual, failed };

// The offset suffix of an aware value, from its own utcoffset(). A fixed
// timezone always gives the same text, which the field remembers. An offset
// that is not exactly a timedelta is left to isoformat() itself.
Zone append_zone(IsoText& text, PyObject* obj, PyObject* tzinfo, const EncodeNames& names, TimezoneMemo& memo) {
  if (tzinfo == Py_None) return Zone::appended;
  if (memo.timezone.get() == tzinfo) {
    text.append(memo.offset_text);
    return Zone::appended;
  }
  PyRef held_tzinfo = PyRef::borrow(tzinfo);
  // A timezone of any other class may run Python code.
  if (!Py_IS_TYPE(tzinfo, reinterpret_cast<PyTypeObject*>(names.timezone_type.get()))) memo.ran_python = true;
  PyRef offset = PyRef::steal(PyObject_CallMethodObjArgs(obj, names.utcoffset.get(), nullptr));
  if (!offset) return Zone::failed;
  if (offset.get() == Py_None) return Zone::appended;
  if (!Py_IS_TYPE(offset.get(), reinterpret_cast<PyTypeObject*>(names.timedelta_type.get()))) {
    return Zone::unusual;
  }
  size_t start = text.size();
  if (!append_offset(text, offset.get(), names).ok()) return Zone::failed;
  if (Py_IS_TYPE(tzinfo, reinterpret_cast<PyTypeObject*>(names.timezone_type.get()))) {
    memo.timezone = PyRef::borrow(tzinfo);
    memo.offset_text.assign(text.view().substr(start));
  }
  return Zone::appended;
}

// The text of the packed fields: a date, a time, or both joined by 'T'.
void append_fields(IsoText& text, const uint8_t* packed, Layout layout) {
  switch (layout) {
    case Layout::date:
      append_date(text, packed);
      return;
    case Layout::time:
      append_clock(text, packed);
      return;
    case Layout::datetime:
      break;
  }
  append_date(text, packed);
  text.push('T');
  append_clock(text, packed + DATE_STATE_SIZE);
}

size_t state_size(Layout layout) {
  switch (layout) {
    case Layout::date:
      return DATE_STATE_SIZE;
    case Layout::time:
      return TIME_STATE_SIZE;
    case Layout::datetime:
      break;
  }
  return DATETIME_STATE_SIZE;
}

PyObject* reduce_method(Layout layout, const EncodeNames& names) {
  switch (layout) {
    case Layout::date:
      return names.date_reduce.get();
    case Layout::time:
      return names.time_reduce.get();
    case Layout::datetime:
      break;
  }
  return names.datetime_reduce.get();
}

Read append_zone_of(IsoText& text, PyObject* obj, PyObject* tzinfo, const EncodeNames& names, TimezoneMemo& memo) {
  switch (append_zone(text, obj, tzinfo, names, memo)) {
    case Zone::appended:
      return Read::done;
    case Zone::unusual:
      return Read::unusual;
    case Zone::failed:
      break;
  }
  return Read::failed;
}

// Builds the isoformat() text of a standard date, time or datetime, from the
// object's memory where its layout was proved, else from its pickled state.
Read build_iso_text(IsoText& text, PyObject* obj, Layout layout, const EncodeNames& names, TimezoneMemo& memo) {
  if (names.in_memory.readable(layout)) {
    StoredFields fields = read_stored_fields(obj, layout);
    append_fields(text, fields.packed, layout);
    return append_zone_of(text, obj, fields.tzinfo, names, memo);
  }
  PackedState state;
  Read read = read_packed_state(obj, reduce_method(layout, names), state_size(layout), state);
  if (read != Read::done) return read;
  append_fields(text, state.bytes, layout);
  return append_zone_of(text, obj, state.tzinfo, names, memo);
}

Status write_iso_text(EncoderState& codec, PyObject* obj, Layout layout, uint8_t tag, const EncodeNames& names,
                      TimezoneMemo& memo) {
  IsoText text;
  Read read = build_iso_text(text, obj, layout, names, memo);
  if (memo.ran_python) {
    memo.ran_python = false;
    ++codec.python_calls;
  }
  switch (read) {
    case Read::done:
      return write_text(codec, tag, text.view());
    case Read::unusual:
      return write_isoformat(codec, obj, tag, names);
    case Read::failed:
      break;
  }
  return Status::failure();
}

// Sixteen lowercase hexadecimal digits, most significant first.
void append_hex(char* out, unsigned long long value) noexcept {
  for (int byte = 7; byte >= 0; --byte) {
    std::memcpy(out + 2 * byte, &HEX_PAIRS[2 * (value & 0xFF)], 2);
    value >>= 8;
  }
}

}  // namespace

Status write_returned_text(EncoderState& codec, uint8_t tag, PyRef text) {
  if (!text) return Status::failure();
  if (!PyUnicode_Check(text.get())) return raise(PyExc_TypeError, "expected a str");
  return write_str(codec, tag, text.get());
}

Status write_isoformat(EncoderState& codec, PyObject* obj, uint8_t tag, const EncodeNames& names) {
  return write_returned_text(codec, tag,
                             PyRef::steal(PyObject_CallMethodObjArgs(obj, names.isoformat.get(), nullptr)));
}

Status write_uuid_hex(EncoderState& codec, PyObject* obj, const EncodeNames& names) {
  return write_returned_text(codec, TAG_UUID, PyRef::steal(PyObject_GetAttr(obj, names.hex.get())));
}

Status write_standard_date(EncoderState& codec, PyObject* obj, const EncodeNames& names, TimezoneMemo& memo) {
  return write_iso_text(codec, obj, Layout::date, TAG_DATE, names, memo);
}

Status write_standard_time(EncoderState& codec, PyObject* obj, const EncodeNames& names, TimezoneMemo& memo) {
  return write_iso_text(codec, obj, Layout::time, TAG_TIME, names, memo);
}

Status write_standard_datetime(EncoderState& codec, PyObject* obj, const EncodeNames& names, TimezoneMemo& memo) {
  return write_iso_text(codec, obj, Layout::datetime, TAG_DATETIME, names, memo);
}

// uuid.UUID keeps its value as a 128-bit `int`; `hex` is that number as 32
// lowercase digits. A number outside 128 bits is left to `hex` itself.
Status write_standard_uuid(EncoderState& codec, PyObject* obj, const EncodeNames& names) {
  PyRef number = PyRef::steal(PyObject_GetAttr(obj, names.int_.get()));
  if (!number) return Status::failure();
  if (!PyLong_CheckExact(number.get())) return write_uuid_hex(codec, obj, names);
  unsigned long long low = PyLong_AsUnsignedLongLongMask(number.get());
  if (low == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Status::failure();
  PyRef high_number = PyRef::steal(PyNumber_Rshift(number.get(), names.shift_64.get()));
  if (!high_number) return Status::failure();
  unsigned long long high = PyLong_AsUnsignedLongLong(high_number.get());
  if (high == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return Status::failure();
    PyErr_Clear();
    return write_uuid_hex(codec, obj, names);
  }
  char text[UUID_HEX_DIGITS];
  append_hex(text, high);
  append_hex(text + UUID_HEX_DIGITS / 2, low);
  return write_text(codec, TAG_UUID, std::string_view(text, UUID_HEX_DIGITS));
}

}  // namespace quarl
