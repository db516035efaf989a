// records.cc - the records of the record workloads, made from their number, and the digests that show
// two engines saw the same records.
//
// Every field is a hash of (seed, record number, field, version), so any process makes the same record
// from the same number without storing the set. Only record_id must be a bijection (IDs are unique);
// names and codes are random letters, and may repeat.
#include <cstring>

#include "bench/peers/records.h"

namespace qrx::peers {
namespace {

// The finaliser of splitmix64: a bijection of 64-bit values that spreads every input bit.
uint64_t mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Field tags, so that the fields of one record are independent hashes.
enum Field : uint64_t { kName = 1, kNameLen, kCity, kAmount, kCode };

uint64_t field_hash(uint64_t seed, uint64_t i, Field f, uint32_t version) {
  return mix64(mix64(seed ^ (f * 0x9e3779b97f4a7c15ULL)) ^ (i << 8 | version));
}

// `len` lowercase letters from the hash, drawing a new hash word every 13 letters (26^13 < 2^64).
void letters(uint64_t h, char *out, uint32_t len) {
  for (uint32_t j = 0; j < len; ++j) {
    if (j > 0 && j % 13 == 0) h = mix64(h);
    out[j] = static_cast<char>('a' + h % 26);
    h /= 26;
  }
}

// FNV-1a of a NUL-terminated text held in an array of `cap` bytes.
uint64_t text_hash(const char *s, size_t cap) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (size_t j = 0; j < cap && s[j] != '\0'; ++j) h = (h ^ static_cast<uint8_t>(s[j])) * 0x100000001b3ULL;
  return h;
}

uint64_t bits_of(double v) {
  uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

}  // namespace

uint32_t record_id(uint64_t seed, uint64_t i) {
  // Rounds of add-a-constant, odd multiply and xor-shift, each a bijection modulo 2^31, so the whole is
  // one: distinct numbers give distinct IDs.
  constexpr uint64_t kMask = (uint64_t{1} << 31) - 1;
  static constexpr uint64_t kOdd[3] = {0x2545f491ULL, 0x5bd1e995ULL, 0x27d4eb2fULL};
  const uint64_t key = mix64(seed);
  uint64_t x = i & kMask;
  for (int r = 0; r < 3; ++r) {
    x = (x + (key >> (r * 16))) & kMask;
    x = (x * kOdd[r]) & kMask;
    x ^= x >> 16;
  }
  return static_cast<uint32_t>(x);
}

void record_name(uint64_t seed, uint64_t i, uint32_t version, char (&out)[kNameMax + 1]) {
  const uint32_t len = kNameMin + field_hash(seed, i, kNameLen, version) % (kNameMax - kNameMin + 1);
  letters(field_hash(seed, i, kName, version), out, len);
  std::memset(out + len, 0, sizeof out - len);
}

void city_name(uint32_t k, char (&out)[16]) {
  // A two-letter syllable from each of two sets and one of ten distinct endings of 1 to 6 letters: the
  // first four letters and the ending together tell k, so the 1,000 texts are distinct.
  static const char *const kFirst[10] = {"ba", "ke", "lo", "mi", "nu", "ra", "si", "to", "ve", "zu"};
  static const char *const kSecond[10] = {"an", "el", "ir", "od", "um", "ar", "es", "in", "ol", "us"};
  static const char *const kEnd[10] = {"a", "o", "en", "ia", "ton", "ham", "burg", "stad", "ville", "bridge"};
  k %= kCities;
  std::memset(out, 0, sizeof out);
  std::memcpy(out, kFirst[k / 100], 2);
  std::memcpy(out + 2, kSecond[k / 10 % 10], 2);
  std::memcpy(out + 4, kEnd[k % 10], std::strlen(kEnd[k % 10]));
}

void record_code(uint64_t seed, uint64_t i, uint32_t version, char (&out)[kCodeLen]) {
  letters(field_hash(seed, i, kCode, version), out, kCodeLen);
}

void make_record(uint64_t seed, uint64_t i, Record *out) {
  *out = Record();
  out->id = record_id(seed, i);
  record_name(seed, i, 0, out->name);
  city_name(static_cast<uint32_t>(field_hash(seed, i, kCity, 0) % kCities), out->city);
  // Cents from 0.01 to 999,999.99: positive, and exact enough that equal doubles come from equal cents.
  out->amount = static_cast<double>(field_hash(seed, i, kAmount, 0) % 99999999 + 1) / 100.0;
  record_code(seed, i, 0, out->code);
}

void RecordDigest::add(const Record &r) {
  uint64_t code = 0;
  std::memcpy(&code, r.code, kCodeLen);
  uint64_t h = mix64(r.id + 0x632be59bd9b4e019ULL);
  h = mix64(h ^ text_hash(r.name, sizeof r.name));
  h = mix64(h ^ text_hash(r.city, sizeof r.city));
  h = mix64(h ^ bits_of(r.amount));
  h = mix64(h ^ code);
  count += 1;
  id_sum += r.id;
  hash += h;
}

void RangeDigest::add(const Record &r) {
  count += 1;
  hash = mix64(hash + mix64(text_hash(r.city, sizeof r.city) ^ bits_of(r.amount)));
}

}  // namespace qrx::peers
