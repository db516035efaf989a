// record_codec.h - the compact byte form in which the key-value engines (Berkeley DB, LMDB) store a
// record under its ID, and the index keys cut from it.
//
// Layout: city, NUL, amount (8 bytes, big-endian IEEE), code (8 bytes), name (to the end, no NUL). The
// CITY + AMOUNT index key is the first city + 9 bytes: byte order of those keys is CITY order, then AMOUNT
// order, since the NUL sorts below every letter and big-endian IEEE bytes of positive doubles sort as
// the numbers do. The NAME index key is the name bytes. The ID key is 4 bytes big-endian.
#pragma once

#include <algorithm>
#include <cstring>

#include "bench/peers/records.h"
#include "cbt/codec.h"

namespace qrx::peers {

constexpr uint32_t kMaxRecordBytes = sizeof(Record::city) + 8 + kCodeLen + kNameMax;

// Writes the record's fields but its ID into buf; the length written.
inline uint32_t encode_record(const Record &r, uint8_t (&buf)[kMaxRecordBytes]) {
  const size_t city = strnlen(r.city, sizeof r.city - 1);
  const size_t name = strnlen(r.name, kNameMax);
  uint64_t bits;
  std::memcpy(&bits, &r.amount, sizeof bits);
  std::memcpy(buf, r.city, city);
  buf[city] = 0;
  codec::store_u64(buf, city + 1, bits);
  std::memcpy(buf + city + 9, r.code, kCodeLen);
  std::memcpy(buf + city + 9 + kCodeLen, r.name, name);
  return static_cast<uint32_t>(city + 9 + kCodeLen + name);
}

// Length of the CITY + AMOUNT key at the start of an encoded record; 0 when the bytes are no record.
inline uint32_t city_key_len(const void *data, size_t size) {
  const auto *p = static_cast<const uint8_t *>(data);
  const void *nul = std::memchr(p, 0, std::min(size, sizeof(Record::city)));
  if (nul == nullptr) return 0;
  const size_t len = static_cast<size_t>(static_cast<const uint8_t *>(nul) - p) + 9;
  return len + kCodeLen <= size && size - len - kCodeLen <= kNameMax ? static_cast<uint32_t>(len) : 0;
}

// The CITY + AMOUNT key of (city, amount) into buf; its length.
inline uint32_t city_key(const char *city, double amount, uint8_t (&buf)[kMaxRecordBytes]) {
  Record r;
  std::memcpy(r.city, city, strnlen(city, sizeof r.city - 1));
  r.amount = amount;
  encode_record(r, buf);
  return static_cast<uint32_t>(std::strlen(r.city)) + 9;
}

// The record with that ID and encoded fields; throws EngineError when the bytes are no record.
inline void decode_record(uint32_t id, const void *data, size_t size, Record *r) {
  const uint32_t head = city_key_len(data, size);
  if (head == 0) throw EngineError("a malformed stored record");
  const auto *p = static_cast<const uint8_t *>(data);
  *r = Record();
  r->id = id;
  std::memcpy(r->city, p, head - 9);
  const uint64_t bits = codec::load_u64(p, head - 8);
  std::memcpy(&r->amount, &bits, sizeof bits);
  std::memcpy(r->code, p + head, kCodeLen);
  std::memcpy(r->name, p + head + kCodeLen, size - head - kCodeLen);
}

}  // namespace qrx::peers
