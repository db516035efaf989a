// record_engine_lmdb.cc - LMDB behind the record workloads' engine interface.
//
// One environment in a single file (MDB_NOSUBDIR, plus its "-lock" file, which files() leaves out as it
// holds no data) opened with MDB_NOSYNC, as in the key-value adapter, with three sub-databases: "main"
// maps the ID (4 bytes big-endian) to the record in the encoding of record_codec.h, "name" and "city"
// map the NAME and the CITY + AMOUNT key to the ID (sorted duplicates of fixed size). LMDB has no
// secondary indexes: every add, update and delete keeps the two index databases by hand, in the same
// transaction as the record. Every workload runs as one transaction, read-only for the reads. LMDB reads
// through a memory map, so the cache budget does not apply.
#include <lmdb.h>

#include <cstring>
#include <string>

#include "bench/peers/lmdb_util.h"
#include "bench/peers/record_codec.h"

namespace qrx::peers {
namespace {

MDB_val val(const void *p, size_t n) {
  return lmdb_val(p, n);
}

class LmdbRecordEngine final : public LmdbAdapter<RecordEngine> {
 public:
  LmdbRecordEngine() : LmdbAdapter("lmdb: ") {}

  const char *name() const override { return "lmdb"; }
  std::vector<std::string> files(const std::string &base) const override { return {base + ".mdb"}; }

  void create(const std::string &base, uint64_t /*cache_bytes*/) override {
    shut();
    remove_file(base + ".mdb");
    remove_file(base + ".mdb-lock");
    open_env(base + ".mdb", 3);
    begin(true);
    check(mdb_dbi_open(txn_, "main", MDB_CREATE, &main_), "mdb_dbi_open main");
    check(mdb_dbi_open(txn_, "name", MDB_CREATE | MDB_DUPSORT | MDB_DUPFIXED, &name_), "mdb_dbi_open name");
    check(mdb_dbi_open(txn_, "city", MDB_CREATE | MDB_DUPSORT | MDB_DUPFIXED, &city_), "mdb_dbi_open city");
    commit();
  }

  void begin(bool write) override {
    check(mdb_txn_begin(env_, nullptr, write ? 0 : MDB_RDONLY, &txn_), "mdb_txn_begin");
  }

  void add(const Record &r) override {
    uint8_t id[4];
    codec::store_u32(id, 0, r.id);
    uint8_t buf[kMaxRecordBytes];
    MDB_val k = val(id, 4), d = val(buf, encode_record(r, buf));
    check(mdb_put(txn(), main_, &k, &d, MDB_NOOVERWRITE), "mdb_put main");
    index(name_, r.name, std::strlen(r.name), id, true);
    index(city_, buf, city_key_len(buf, d.mv_size), id, true);
  }

  bool get_by_id(uint32_t id, Record *out) override {
    uint8_t kb[4];
    codec::store_u32(kb, 0, id);
    MDB_val k = val(kb, 4), d{};
    const int rc = mdb_get(txn(), main_, &k, &d);
    if (rc == MDB_NOTFOUND) return false;
    check(rc, "mdb_get main");
    decode_record(id, d.mv_data, d.mv_size, out);
    return true;
  }

  // mdb_get of a key with duplicates gives its first one: the lowest ID with that name.
  bool get_by_name(const char *name, Record *out) override {
    MDB_val k = val(name, std::strlen(name)), d{};
    const int rc = mdb_get(txn(), name_, &k, &d);
    if (rc == MDB_NOTFOUND) return false;
    check(rc, "mdb_get name");
    if (!get_by_id(id_of(d), out)) throw EngineError("lmdb: a NAME entry without its record");
    return true;
  }

  uint32_t range(const char *city, double amount, uint32_t count, RangeDigest &dg) override {
    uint8_t buf[kMaxRecordBytes];
    MDB_val k = val(buf, city_key(city, amount, buf)), d{};
    MDB_cursor *c = nullptr;
    check(mdb_cursor_open(txn(), city_, &c), "mdb_cursor_open");
    uint32_t n = 0;
    Record r;
    int rc = mdb_cursor_get(c, &k, &d, MDB_SET_RANGE);
    try {
      for (; rc == 0 && n < count; rc = mdb_cursor_get(c, &k, &d, MDB_NEXT)) {
        if (!get_by_id(id_of(d), &r)) throw EngineError("lmdb: a CITY entry without its record");
        dg.add(r);
        ++n;
      }
    } catch (...) {
      mdb_cursor_close(c);
      throw;
    }
    mdb_cursor_close(c);
    if (rc != 0 && rc != MDB_NOTFOUND) check(rc, "mdb_cursor_get city");
    return n;
  }

  void scan(RecordDigest &dg) override {
    MDB_cursor *c = nullptr;
    check(mdb_cursor_open(txn(), main_, &c), "mdb_cursor_open");
    MDB_val k{}, d{};
    Record r;
    int rc = mdb_cursor_get(c, &k, &d, MDB_FIRST);
    try {
      for (; rc == 0; rc = mdb_cursor_get(c, &k, &d, MDB_NEXT)) {
        if (k.mv_size != 4) throw EngineError("lmdb: a malformed key");
        decode_record(codec::load_u32(static_cast<const uint8_t *>(k.mv_data), 0), d.mv_data, d.mv_size, &r);
        dg.add(r);
      }
    } catch (...) {
      mdb_cursor_close(c);
      throw;
    }
    mdb_cursor_close(c);
    if (rc != MDB_NOTFOUND) check(rc, "mdb_cursor_get main");
  }

  bool set_code(uint32_t id, const char (&code)[kCodeLen]) override {
    Record r;
    if (!get_by_id(id, &r)) return false;
    std::memcpy(r.code, code, kCodeLen);
    put(r);
    return true;
  }

  bool set_name(uint32_t id, const char *name) override {
    Record r;
    if (!get_by_id(id, &r)) return false;
    uint8_t kb[4];
    codec::store_u32(kb, 0, id);
    index(name_, r.name, std::strlen(r.name), kb, false);
    std::memset(r.name, 0, sizeof r.name);
    std::strncpy(r.name, name, kNameMax);
    index(name_, r.name, std::strlen(r.name), kb, true);
    put(r);
    return true;
  }

  bool remove(uint32_t id) override {
    Record r;
    if (!get_by_id(id, &r)) return false;
    uint8_t kb[4];
    codec::store_u32(kb, 0, id);
    MDB_val k = val(kb, 4);
    check(mdb_del(txn(), main_, &k, nullptr), "mdb_del main");
    index(name_, r.name, std::strlen(r.name), kb, false);
    uint8_t buf[kMaxRecordBytes];
    index(city_, buf, city_key(r.city, r.amount, buf), kb, false);
    return true;
  }

 private:
  static uint32_t id_of(const MDB_val &d) {
    if (d.mv_size != 4) throw EngineError("lmdb: a malformed index entry");
    return codec::load_u32(static_cast<const uint8_t *>(d.mv_data), 0);
  }

  // Adds or deletes the index entry (key, id): only that duplicate of the key, not the key's others.
  void index(MDB_dbi dbi, const void *key, size_t len, const uint8_t (&id)[4], bool add) {
    MDB_val k = val(key, len), d = val(id, 4);
    check(add ? mdb_put(txn(), dbi, &k, &d, 0) : mdb_del(txn(), dbi, &k, &d),
          add ? "mdb_put index" : "mdb_del index");
  }

  // Overwrites the record stored under its ID.
  void put(const Record &r) {
    uint8_t id[4];
    codec::store_u32(id, 0, r.id);
    uint8_t buf[kMaxRecordBytes];
    MDB_val k = val(id, 4), d = val(buf, encode_record(r, buf));
    check(mdb_put(txn(), main_, &k, &d, 0), "mdb_put main");
  }

  MDB_dbi main_ = 0, name_ = 0, city_ = 0;
};

}  // namespace

std::unique_ptr<RecordEngine> make_lmdb_record_engine() {
  return std::make_unique<LmdbRecordEngine>();
}

}  // namespace qrx::peers
