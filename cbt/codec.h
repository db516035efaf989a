// codec.h - the one big-endian codec for every number on disk and inside keys.
//
// Byte order: big-endian (most significant byte first) on every host.
// Alignment: none assumed; every access goes through memcpy-free byte assembly at a byte offset.
// Callers check offsets against the block size before calling; these helpers do no bounds checks.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace qrx::codec {

inline uint16_t load_u16(const uint8_t *p, size_t off) {
  p += off;
  return static_cast<uint16_t>((uint16_t{p[0]} << 8) | p[1]);
}
inline uint32_t load_u32(const uint8_t *p, size_t off) {
  p += off;
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline int32_t load_i32(const uint8_t *p, size_t off) { return static_cast<int32_t>(load_u32(p, off)); }
inline uint64_t load_u64(const uint8_t *p, size_t off) {
  return (uint64_t{load_u32(p, off)} << 32) | load_u32(p, off + 4);
}
inline float load_f32(const uint8_t *p, size_t off) { return std::bit_cast<float>(load_u32(p, off)); }
inline double load_f64(const uint8_t *p, size_t off) { return std::bit_cast<double>(load_u64(p, off)); }

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
inline void store_i32(uint8_t *p, size_t off, int32_t v) { store_u32(p, off, static_cast<uint32_t>(v)); }
inline void store_u64(uint8_t *p, size_t off, uint64_t v) {
  store_u32(p, off, static_cast<uint32_t>(v >> 32));
  store_u32(p, off + 4, static_cast<uint32_t>(v));
}
inline void store_f32(uint8_t *p, size_t off, float v) { store_u32(p, off, std::bit_cast<uint32_t>(v)); }
inline void store_f64(uint8_t *p, size_t off, double v) { store_u64(p, off, std::bit_cast<uint64_t>(v)); }

}  // namespace qrx::codec
