#include "decoder/special_text.h"

#include <cstring>

namespace quarl {
namespace {

constexpr int MIN_YEAR = 1;
constexpr int MAX_YEAR = 9999;
constexpr int MONTHS = 12;
constexpr int HOURS = 24;
constexpr int MINUTES = 60;
constexpr int SECONDS = 60;  // no leap second
constexpr int YEAR_DIGITS = 4;
constexpr int FIELD_DIGITS = 2;
constexpr int FRACTION_DIGITS = 6;
constexpr int64_t MICROSECONDS_PER_SECOND = 1000000;
constexpr unsigned BYTE_BITS = 8;
constexpr unsigned LOW_BYTE = 0xFF;

// Reads text while it lasts; every step fails once it has run out.
class Cursor {
 public:
  explicit Cursor(std::span<const uint8_t> text) noexcept : text_(text) {}

  bool at_end() const noexcept { return pos_ == text_.size(); }

  bool literal(char expected) noexcept {
    if (at_end() || text_[pos_] != static_cast<uint8_t>(expected)) return false;
    ++pos_;
    return true;
  }

  // Exactly `count` decimal digits.
  bool digits(int count, int& value) noexcept {
    if (text_.size() - pos_ < static_cast<size_t>(count)) return false;
    value = 0;
    for (int i = 0; i < count; ++i) {
      unsigned digit = text_[pos_ + static_cast<size_t>(i)] - static_cast<unsigned>('0');
      if (digit > 9) return false;
      value = value * 10 + static_cast<int>(digit);
    }
    pos_ += static_cast<size_t>(count);
    return true;
  }

  // Two digits below `limit`.
  bool field(int limit, int& value) noexcept { return digits(FIELD_DIGITS, value) && value < limit; }

 private:
  std::span<const uint8_t> text_;
  size_t pos_ = 0;
};

bool is_leap_year(int year) noexcept { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int days_in_month(int year, int month) noexcept {
  constexpr int DAYS[MONTHS] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : DAYS[month - 1];
}

bool read_date(Cursor& in, uint8_t* state) noexcept {
  int year, month, day;
  if (!in.digits(YEAR_DIGITS, year) || !in.literal('-') || !in.digits(FIELD_DIGITS, month) ||
      !in.literal('-') || !in.digits(FIELD_DIGITS, day)) {
    return false;
  }
  if (year < MIN_YEAR || year > MAX_YEAR || month < 1 || month > MONTHS || day < 1 ||
      day > days_in_month(year, month)) {
    return false;
  }
  state[0] = static_cast<uint8_t>(year >> BYTE_BITS);
  state[1] = static_cast<uint8_t>(year & LOW_BYTE);
  state[2] = static_cast<uint8_t>(month);
  state[3] = static_cast<uint8_t>(day);
  return true;
}

// Seconds, then optionally a dot and exactly six digits.
bool read_seconds(Cursor& in, int& second, int& microsecond) noexcept {
  microsecond = 0;
  if (!in.field(SECONDS, second)) return false;
  return !in.literal('.') || in.digits(FRACTION_DIGITS, microsecond);
}

bool read_offset(Cursor& in, UtcOffset& offset) noexcept {
  if (in.at_end()) return true;
  int64_t sign;
  if (in.literal('+')) {
    sign = 1;
  } else if (in.literal('-')) {
    sign = -1;
  } else {
    return false;
  }
  int hours, minutes, seconds = 0, microseconds = 0;
  if (!in.field(HOURS, hours) || !in.literal(':') || !in.field(MINUTES, minutes)) return false;
  if (!in.at_end() && (!in.literal(':') || !read_seconds(in, seconds, microseconds))) return false;
  int64_t whole_seconds = (static_cast<int64_t>(hours) * MINUTES + minutes) * SECONDS + seconds;
  offset.present = true;
  offset.key = sign * (whole_seconds * MICROSECONDS_PER_SECOND + microseconds);
  return in.at_end();
}

// A time of day and its optional offset, up to the end of the text.
bool read_time(Cursor& in, uint8_t* state, UtcOffset& offset) noexcept {
  int hour, minute, second, microsecond;
  if (!in.field(HOURS, hour) || !in.literal(':') || !in.field(MINUTES, minute) || !in.literal(':') ||
      !read_seconds(in, second, microsecond)) {
    return false;
  }
  state[0] = static_cast<uint8_t>(hour);
  state[1] = static_cast<uint8_t>(minute);
  state[2] = static_cast<uint8_t>(second);
  state[3] = static_cast<uint8_t>(microsecond >> (2 * BYTE_BITS));
  state[4] = static_cast<uint8_t>(microsecond >> BYTE_BITS & LOW_BYTE);
  state[5] = static_cast<uint8_t>(microsecond & LOW_BYTE);
  return read_offset(in, offset);
}

// The value of each hex digit, and NOT_HEX for every other byte. A table
// rather than comparisons: digits and letters come in no predictable order.
constexpr uint8_t NOT_HEX = 0x10;
constexpr std::array<uint8_t, 256> HEX_VALUES = [] {
  std::array<uint8_t, 256> table{};
  for (uint8_t& value : table) value = NOT_HEX;
  for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 6; ++i) {
    table['a' + i] = static_cast<uint8_t>(10 + i);
    table['A' + i] = static_cast<uint8_t>(10 + i);
  }
  return table;
}();
constexpr unsigned HEX_DIGIT_BITS = 4;
constexpr size_t UUID_HEX_DIGITS = 2 * UUID_BYTES;

constexpr int DECIMAL_EXPONENT_DIGITS = 6;

bool is_digit(uint8_t byte) noexcept { return static_cast<unsigned>(byte - '0') <= 9; }

// Digits of a coefficient from `pos` on, appended to it; false when there
// are none or when the significant ones would not fit one limb.
bool read_coefficient_digits(std::span<const uint8_t> text, size_t& pos, DecimalParts& out, int64_t& count) noexcept {
  size_t start = pos;
  for (; pos < text.size() && is_digit(text[pos]); ++pos) {
    unsigned digit = text[pos] - static_cast<unsigned>('0');
    if (out.digits == 0 && digit == 0) continue;  // a leading zero
    if (out.digits == DECIMAL_LIMB_DIGITS) return false;
    out.coefficient = out.coefficient * 10 + digit;
    ++out.digits;
  }
  count = static_cast<int64_t>(pos - start);
  return count > 0;
}

bool read_decimal_exponent(std::span<const uint8_t> text, size_t& pos, int64_t& exponent) noexcept {
  bool negative = pos < text.size() && text[pos] == '-';
  if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) ++pos;
  size_t start = pos;
  for (; pos < text.size() && is_digit(text[pos]); ++pos) {
    if (pos - start == DECIMAL_EXPONENT_DIGITS) return false;
    exponent = exponent * 10 + (text[pos] - '0');
  }
  if (negative) exponent = -exponent;
  return pos > start;
}

}  // namespace

bool read_decimal_text(std::span<const uint8_t> text, DecimalParts& out) noexcept {
  size_t pos = 0;
  out = DecimalParts{};
  out.negative = !text.empty() && text[0] == '-';
  if (out.negative) ++pos;
  int64_t whole_digits, fraction_digits = 0, exponent = 0;
  if (!read_coefficient_digits(text, pos, out, whole_digits)) return false;
  if (pos < text.size() && text[pos] == '.' && !read_coefficient_digits(text, ++pos, out, fraction_digits)) {
    return false;
  }
  if (pos < text.size() && text[pos] == 'E' && !read_decimal_exponent(text, ++pos, exponent)) return false;
  if (pos != text.size()) return false;
  if (out.digits == 0) out.digits = 1;  // zero
  out.exponent = exponent - fraction_digits;
  return true;
}

bool read_iso_date(std::span<const uint8_t> text, IsoFields& out) noexcept {
  Cursor in(text);
  out.size = DATE_STATE_SIZE;
  return read_date(in, out.state.data()) && in.at_end();
}

bool read_iso_time(std::span<const uint8_t> text, IsoFields& out) noexcept {
  Cursor in(text);
  out.size = TIME_STATE_SIZE;
  return read_time(in, out.state.data(), out.offset);
}

bool read_iso_datetime(std::span<const uint8_t> text, IsoFields& out) noexcept {
  Cursor in(text);
  out.size = DATETIME_STATE_SIZE;
  return read_date(in, out.state.data()) && in.literal('T') &&
         read_time(in, out.state.data() + DATE_STATE_SIZE, out.offset);
}

bool read_uuid_hex(std::span<const uint8_t> text, UuidBytes& out) noexcept {
  // The 36-character form has dashes after 8, 12, 16 and 20 digits.
  constexpr size_t DASHED_LENGTH = UUID_HEX_DIGITS + 4;
  constexpr size_t DASHES[] = {8, 13, 18, 23};
  const uint8_t* digits = text.data();
  std::array<uint8_t, UUID_HEX_DIGITS> undashed;
  if (text.size() == DASHED_LENGTH) {
    size_t from = 0, to = 0;
    for (size_t dash : DASHES) {
      if (text[dash] != '-') return false;
      std::memcpy(undashed.data() + to, text.data() + from, dash - from);
      to += dash - from;
      from = dash + 1;
    }
    std::memcpy(undashed.data() + to, text.data() + from, DASHED_LENGTH - from);
    digits = undashed.data();
  } else if (text.size() != UUID_HEX_DIGITS) {
    return false;
  }
  // Each byte from its own two digits: no step waits for the one before.
  uint8_t invalid = 0;
  for (size_t i = 0; i < UUID_BYTES; ++i) {
    uint8_t high = HEX_VALUES[digits[2 * i]];
    uint8_t low = HEX_VALUES[digits[2 * i + 1]];
    invalid |= high | low;
    out[i] = static_cast<uint8_t>(high << HEX_DIGIT_BITS | (low & (NOT_HEX - 1)));
  }
  return (invalid & NOT_HEX) == 0;
}

}  // namespace quarl
