// Little-endian field access on unaligned byte pointers.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace quarl {

static_assert(std::endian::native == std::endian::little,
              "the value format is little-endian; big-endian hosts are not served");

inline uint16_t read_u16(const uint8_t* p) noexcept {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint32_t read_u32(const uint8_t* p) noexcept {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint64_t read_u64(const uint8_t* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline double read_f64(const uint8_t* p) noexcept {
  double v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void write_u16(uint8_t* p, uint16_t v) noexcept { std::memcpy(p, &v, sizeof v); }
inline void write_u32(uint8_t* p, uint32_t v) noexcept { std::memcpy(p, &v, sizeof v); }
inline void write_u64(uint8_t* p, uint64_t v) noexcept { std::memcpy(p, &v, sizeof v); }
inline void write_f64(uint8_t* p, double v) noexcept { std::memcpy(p, &v, sizeof v); }

}  // namespace quarl
