// Reading the texts that the encoder writes for dates, times, datetimes and
// UUIDs, without Python. Each reader accepts only the canonical form and
// values that the standard constructors accept unchanged; for any other text
// it returns false and the caller leaves the text to the standard parser,
// which either reads it or raises its own error.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace quarl {

// The fields of a date, time or datetime in the order and byte layout of
// their pickled state: year as two big-endian bytes, month, day; hour,
// minute, second, microsecond as three big-endian bytes.
inline constexpr size_t DATE_STATE_SIZE = 4;
inline constexpr size_t TIME_STATE_SIZE = 6;
inline constexpr size_t DATETIME_STATE_SIZE = DATE_STATE_SIZE + TIME_STATE_SIZE;

// A UTC offset as written: "+HH:MM", "+HH:MM:SS" or "+HH:MM:SS.ffffff", or
// the same with "-"; `key`, the signed total of microseconds, tells offsets
// apart. A naive value has none.
struct UtcOffset {
  bool present = false;
  int64_t key = 0;
};

// The packed fields of a date (4 bytes), time (6) or datetime (10).
struct IsoFields {
  std::array<uint8_t, DATETIME_STATE_SIZE> state{};
  size_t size = 0;
  UtcOffset offset;

  std::span<const uint8_t> packed() const noexcept { return {state.data(), size}; }
};

// "YYYY-MM-DD", year 1 to 9999.
bool read_iso_date(std::span<const uint8_t> text, IsoFields& out) noexcept;
// "HH:MM:SS" or "HH:MM:SS.ffffff", then an optional offset; no leap second.
bool read_iso_time(std::span<const uint8_t> text, IsoFields& out) noexcept;
// A date, "T", then a time as above.
bool read_iso_datetime(std::span<const uint8_t> text, IsoFields& out) noexcept;

// 32 hex digits, or 36 characters with dashes after the 8th, 12th, 16th and
// 20th digit, in either case; the 128-bit value as 16 big-endian bytes.
inline constexpr size_t UUID_BYTES = 16;
using UuidBytes = std::array<uint8_t, UUID_BYTES>;
bool read_uuid_hex(std::span<const uint8_t> text, UuidBytes& out) noexcept;

// A decimal as str() writes one, with one limb's worth of digits: an
// optional "-", digits, optionally "." and digits, then optionally "E", an
// optional sign and at most six digits; at most 19 significant digits.
inline constexpr int DECIMAL_LIMB_DIGITS = 19;
struct DecimalParts {
  bool negative = false;
  uint64_t coefficient = 0;
  int64_t digits = 0;    // of the coefficient, 1 for zero
  int64_t exponent = 0;  // of its last digit
};
bool read_decimal_text(std::span<const uint8_t> text, DecimalParts& out) noexcept;

}  // namespace quarl
