// records.h - the record workloads of the side-by-side benchmark: the records every engine stores, the
// digests that prove two engines saw the same records, and the interface each engine's record adapter
// implements.
//
// A record has five fields: a unique ID (below 2^31, so that every engine orders it the same way as a
// signed or unsigned number), a NAME of 8 to 24 letters, a CITY from 1,000 values, a positive AMOUNT and
// a CODE of exactly 8 letters. Every engine keeps three indexes: unique on ID, on NAME (duplicates
// allowed, "first match" is the first in that index's order), and on CITY + AMOUNT. All texts compare
// byte for byte. Records are made on demand from their number, so a run holds no record set.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/peers/engine.h"

namespace qrx::peers {

constexpr uint32_t kCities = 1000;
constexpr uint32_t kNameMin = 8, kNameMax = 24;
constexpr uint32_t kCodeLen = 8;

struct Record {
  uint32_t id = 0;
  char name[kNameMax + 1] = {};  // NUL-terminated
  char city[16] = {};            // NUL-terminated
  double amount = 0;
  char code[kCodeLen] = {};  // exactly kCodeLen bytes, no terminator
};

// The id of record number i (i < 2^31): a bijection of [0, 2^31) mixed by the seed, so loading records in
// number order loads them in random ID order.
uint32_t record_id(uint64_t seed, uint64_t i);
// Record number i of the set. Its name is version 0 (see record_name).
void make_record(uint64_t seed, uint64_t i, Record *out);
// Version v of record i's name (v > 0: the names the key update gives it), 8 to 24 letters.
void record_name(uint64_t seed, uint64_t i, uint32_t version, char (&out)[kNameMax + 1]);
// City number k (k < kCities): distinct texts of 5 to 10 letters.
void city_name(uint32_t k, char (&out)[16]);
// Version v of record i's code (v > 0: the codes the non-key update gives it).
void record_code(uint64_t seed, uint64_t i, uint32_t version, char (&out)[kCodeLen]);

// What a set of records held, independent of the order they were seen in: equal digests of two engines
// mean equal records (up to a 64-bit hash).
struct RecordDigest {
  uint64_t count = 0;
  uint64_t id_sum = 0;
  uint64_t hash = 0;  // sum of a hash of every field of every record
  void add(const Record &r);
  bool operator==(const RecordDigest &) const = default;
};

// What a range scan saw, in order: the count and a running hash of the (CITY, AMOUNT) sequence, which
// is the same in every engine whatever order each keeps records of equal CITY and AMOUNT in.
struct RangeDigest {
  uint64_t count = 0;
  uint64_t hash = 0;
  void add(const Record &r);
  bool operator==(const RangeDigest &) const = default;
};

class RecordEngine {
 public:
  virtual ~RecordEngine() = default;
  virtual const char *name() const = 0;
  // The files of the database named `base` (a path without extension): the file holding the records
  // first, then the index files, if any.
  virtual std::vector<std::string> files(const std::string &base) const = 0;
  // A fresh, empty database with the three indexes and a cache of `cache_bytes`; old files are removed.
  virtual void create(const std::string &base, uint64_t cache_bytes) = 0;
  // Writes what the engine holds in memory into its files.
  virtual void flush() = 0;
  // Flushes and closes the database.
  virtual void close() = 0;
  // Brackets one workload where the engine has transactions.
  virtual void begin(bool /*write*/) {}
  virtual void commit() {}
  // Adds a record with its index entries; throws EngineError when the engine refuses.
  virtual void add(const Record &r) = 0;
  // The record with that ID, every field read into *out; false when there is none.
  virtual bool get_by_id(uint32_t id, Record *out) = 0;
  // The first record with that NAME in the NAME index, read into *out; false when there is none.
  virtual bool get_by_name(const char *name, Record *out) = 0;
  // Reads up to `count` records in CITY + AMOUNT order from the first at or after (city, amount), each
  // whole, into d; returns how many it read.
  virtual uint32_t range(const char *city, double amount, uint32_t count, RangeDigest &d) = 0;
  // Reads every record once in the engine's physical order into d.
  virtual void scan(RecordDigest &d) = 0;
  // Replaces the CODE (the one field no index holds) of the record with that ID; false when none.
  virtual bool set_code(uint32_t id, const char (&code)[kCodeLen]) = 0;
  // Replaces the NAME of the record with that ID, its NAME index entry with it; false when none.
  virtual bool set_name(uint32_t id, const char *name) = 0;
  // Deletes the record with that ID and its index entries; false when none.
  virtual bool remove(uint32_t id) = 0;
};

std::unique_ptr<RecordEngine> make_qrx_record_engine();
std::unique_ptr<RecordEngine> make_sqlite_record_engine();
std::unique_ptr<RecordEngine> make_bdb_record_engine();
std::unique_ptr<RecordEngine> make_lmdb_record_engine();

}  // namespace qrx::peers
