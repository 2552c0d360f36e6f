// Tag bytes of the value format, shared by the encoder and the decoder.
#pragma once

#include <cstdint>

namespace quarl {

inline constexpr uint8_t TAG_NONE = 0x10;
inline constexpr uint8_t TAG_FALSE = 0x20;
inline constexpr uint8_t TAG_TRUE = 0x21;
inline constexpr uint8_t TAG_SMALL_INT = 0x30;  // | n; writers use n = 0..7
inline constexpr uint8_t TAG_INT64 = 0x38;
inline constexpr uint8_t TAG_FLOAT64 = 0x40;
inline constexpr uint8_t TAG_STRING = 0x50;
inline constexpr uint8_t TAG_LIST = 0x60;
inline constexpr uint8_t TAG_DICT = 0x70;
inline constexpr uint8_t TAG_DICT_END = 0x7F;
inline constexpr uint8_t TAG_BYTES = 0x80;
inline constexpr uint8_t TAG_FLOAT_ARRAY = 0x90;
inline constexpr uint8_t TAG_DATETIME = 0xD1;
inline constexpr uint8_t TAG_DATE = 0xD2;
inline constexpr uint8_t TAG_TIME = 0xD3;
inline constexpr uint8_t TAG_UUID = 0xD4;
inline constexpr uint8_t TAG_DECIMAL = 0xD5;

// The 0x3_ row: the low nibble is the value.
inline constexpr uint8_t SMALL_INT_ROW = 0x30;
inline constexpr uint8_t HIGH_NIBBLE = 0xF0;
inline constexpr uint8_t LOW_NIBBLE = 0x0F;
// Writers use the one-byte form for 0..7; readers also take 9..15.
inline constexpr uint64_t SMALL_INT_WRITE_LIMIT = 8;
inline constexpr uint64_t SMALL_INT_READ_LIMIT = 16;

}  // namespace quarl
