#include "common/utf8.h"

#include <cstring>

namespace quarl {
namespace {

constexpr uint64_t ASCII_WORD_MASK = 0x8080808080808080ULL;
constexpr uint8_t ASCII_LIMIT = 0x80;
constexpr uint8_t CONTINUATION_MIN = 0x80;
constexpr uint8_t CONTINUATION_MAX = 0xBF;

// Lead-byte ranges; the second byte of a few leads is narrower than a plain
// continuation, which rules out overlong forms, surrogates and code points
// above U+10FFFF.
constexpr uint8_t LEAD2_MIN = 0xC2;
constexpr uint8_t LEAD3_MIN = 0xE0;
constexpr uint8_t LEAD3_OVERLONG = 0xE0;
constexpr uint8_t LEAD3_SURROGATE = 0xED;
constexpr uint8_t LEAD4_MIN = 0xF0;
constexpr uint8_t LEAD4_OVERLONG = 0xF0;
constexpr uint8_t LEAD4_MAX = 0xF4;
constexpr uint8_t E0_SECOND_MIN = 0xA0;
constexpr uint8_t ED_SECOND_MAX = 0x9F;
constexpr uint8_t F0_SECOND_MIN = 0x90;
constexpr uint8_t F4_SECOND_MAX = 0x8F;

struct ByteRange {
  uint8_t min;
  uint8_t max;
  bool contains(uint8_t b) const noexcept { return b >= min && b <= max; }
};

constexpr ByteRange CONTINUATION{CONTINUATION_MIN, CONTINUATION_MAX};

ByteRange second_byte_range(uint8_t lead) noexcept {
  switch (lead) {
    case LEAD3_OVERLONG: return {E0_SECOND_MIN, CONTINUATION_MAX};
    case LEAD3_SURROGATE: return {CONTINUATION_MIN, ED_SECOND_MAX};
    case LEAD4_OVERLONG: return {F0_SECOND_MIN, CONTINUATION_MAX};
    case LEAD4_MAX: return {CONTINUATION_MIN, F4_SECOND_MAX};
    default: return CONTINUATION;
  }
}

// Number of bytes in the sequence that `lead` starts, or 0 for a byte that
// can never start one.
size_t sequence_length(uint8_t lead) noexcept {
  if (lead < ASCII_LIMIT) return 1;
  if (lead < LEAD2_MIN) return 0;
  if (lead < LEAD3_MIN) return 2;
  if (lead < LEAD4_MIN) return 3;
  if (lead <= LEAD4_MAX) return 4;
  return 0;
}

struct SequenceCheck {
  bool valid;
  uint8_t invalid_length;  // as in Utf8Error, when !valid
};

// Checks the sequence of `length` bytes (0 for a byte that cannot lead)
// that starts at `p`, of which `left` bytes are available.
SequenceCheck check_sequence(const uint8_t* p, size_t left, size_t length) noexcept {
  if (length == 0) return {false, 1};
  for (size_t i = 1; i < length; ++i) {
    if (i >= left) return {false, 0};
    ByteRange range = i == 1 ? second_byte_range(p[0]) : CONTINUATION;
    if (!range.contains(p[i])) return {false, static_cast<uint8_t>(i)};
  }
  return {true, 0};
}

bool word_is_ascii(const uint8_t* p) noexcept {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return (word & ASCII_WORD_MASK) == 0;
}

}  // namespace

bool validate_utf8(const uint8_t* data, size_t size, Utf8Error& error) noexcept {
  size_t i = 0;
  while (i < size) {
    if (size - i >= sizeof(uint64_t) && word_is_ascii(data + i)) {
      i += sizeof(uint64_t);
      continue;
    }
    uint8_t lead = data[i];
    if (lead < ASCII_LIMIT) {
      ++i;
      continue;
    }
    size_t length = sequence_length(lead);
    SequenceCheck check = check_sequence(data + i, size - i, length);
    if (!check.valid) {
      error.valid_up_to = i;
      error.invalid_length = check.invalid_length;
      return false;
    }
    i += length;
  }
  return true;
}

Status raise_invalid_utf8(const char* context, const Utf8Error& error) noexcept {
  if (error.invalid_length == 0) {
    return raise_format(PyExc_ValueError,
                        "Invalid UTF-8 in %s: incomplete utf-8 byte sequence from index %zu",
                        context, error.valid_up_to);
  }
  return raise_format(PyExc_ValueError,
                      "Invalid UTF-8 in %s: invalid utf-8 sequence of %d bytes from index %zu",
                      context, static_cast<int>(error.invalid_length), error.valid_up_to);
}

}  // namespace quarl
