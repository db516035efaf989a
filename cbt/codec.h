// codec.h - the one big-endian codec for every number on disk and inside keys.
//
// Byte order: big-endian (most significant byte first) on every host.
// Alignment: none assumed. A load is one unaligned load (std::memcpy into an integer) and, on a
// little-endian host, a byte swap; a store is assembled byte by byte at a byte offset.
// Callers check offsets against the block size before calling; these helpers do no bounds checks.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace qrx::codec {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "the loads below handle big- and little-endian hosts");

// The unsigned integer of sizeof(T) bytes stored most significant byte first at p + off.
template <class T>
inline T load_be(const uint8_t *p, size_t off) {
  static_assert(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
  T v;
  std::memcpy(&v, p + off, sizeof v);
  if constexpr (std::endian::native == std::endian::little) {
    if constexpr (sizeof(T) == 2) v = __builtin_bswap16(v);
    if constexpr (sizeof(T) == 4) v = __builtin_bswap32(v);
    if constexpr (sizeof(T) == 8) v = __builtin_bswap64(v);
  }
  return v;
}

inline uint16_t load_u16(const uint8_t *p, size_t off) {
  return load_be<uint16_t>(p, off);
}
inline uint32_t load_u32(const uint8_t *p, size_t off) {
  return load_be<uint32_t>(p, off);
}
inline int32_t load_i32(const uint8_t *p, size_t off) {
  return static_cast<int32_t>(load_u32(p, off));
}
inline uint64_t load_u64(const uint8_t *p, size_t off) {
  return load_be<uint64_t>(p, off);
}
inline float load_f32(const uint8_t *p, size_t off) {
  return std::bit_cast<float>(load_u32(p, off));
}
inline double load_f64(const uint8_t *p, size_t off) {
  return std::bit_cast<double>(load_u64(p, off));
}

inline void store_u16(uint8_t *p, size_t off, uint16_t v) {
  p += off;
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void store_u32(uint8_t *p, size_t off, uint32_t v) {
  p += off;
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline void store_i32(uint8_t *p, size_t off, int32_t v) {
  store_u32(p, off, static_cast<uint32_t>(v));
}
inline void store_u64(uint8_t *p, size_t off, uint64_t v) {
  store_u32(p, off, static_cast<uint32_t>(v >> 32));
  store_u32(p, off + 4, static_cast<uint32_t>(v));
}
inline void store_f32(uint8_t *p, size_t off, float v) {
  store_u32(p, off, std::bit_cast<uint32_t>(v));
}
inline void store_f64(uint8_t *p, size_t off, double v) {
  store_u64(p, off, std::bit_cast<uint64_t>(v));
}

}  // namespace qrx::codec
