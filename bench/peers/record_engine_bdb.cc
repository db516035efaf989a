// record_engine_bdb.cc - Berkeley DB 5.3 behind the record workloads' engine interface.
//
// A private environment (DB_CREATE | DB_INIT_MPOOL | DB_PRIVATE: one cache of the budget for all three
// databases, no transactions, locks or log) holding three B-trees of 4096-byte pages, each in its own
// file: the records keyed by ID (4 bytes big-endian, so key order is numeric order), and two secondary
// indexes kept by DB->associate, NAME and CITY + AMOUNT (sorted duplicates, the primary key as data).
//
// A record's data is its encoding of record_codec.h; both secondary keys are slices of it, so the key
// callbacks point into the record and copy nothing.
#include <db.h>

#include <cstring>
#include <string>

#include "bench/peers/record_codec.h"

namespace qrx::peers {
namespace {

void check(int rc, const char *what) {
  if (rc != 0) throw EngineError(std::string("bdb: ") + what + ": " + db_strerror(rc));
}

DBT dbt(const void *data, uint32_t size) {
  DBT t{};
  t.data = const_cast<void *>(data);
  t.size = size;
  return t;
}

void decode(const DBT &key, const DBT &data, Record *r) {
  if (key.size != 4) throw EngineError("bdb: a malformed key");
  decode_record(codec::load_u32(static_cast<const uint8_t *>(key.data), 0), data.data, data.size, r);
}

// Secondary key callbacks of DB->associate: slices of the primary's data.
int city_index_key(DB * /*sec*/, const DBT * /*key*/, const DBT *data, DBT *result) {
  const uint32_t len = city_key_len(data->data, data->size);
  if (len == 0) return EINVAL;
  *result = dbt(data->data, len);
  return 0;
}

int name_index_key(DB * /*sec*/, const DBT * /*key*/, const DBT *data, DBT *result) {
  const uint32_t len = city_key_len(data->data, data->size);
  if (len == 0) return EINVAL;
  *result = dbt(static_cast<uint8_t *>(data->data) + len + kCodeLen, data->size - len - kCodeLen);
  return 0;
}

class BdbRecordEngine final : public RecordEngine {
 public:
  ~BdbRecordEngine() override { shut(); }

  const char *name() const override { return "bdb"; }
  std::vector<std::string> files(const std::string &base) const override {
    return {base + ".bdb", base + "-name.bdb", base + "-city.bdb"};
  }

  void create(const std::string &base, uint64_t cache_bytes) override {
    shut();
    for (const std::string &f : files(base)) remove_file(f);
    // Files are named relative to the environment's home, the directory of `base`.
    const size_t slash = base.rfind('/');
    const std::string home = slash == std::string::npos ? "." : base.substr(0, slash + 1);
    const std::string leaf = slash == std::string::npos ? base : base.substr(slash + 1);
    check(db_env_create(&env_, 0), "db_env_create");
    // Berkeley DB adds 25% to caches below 500 MB for its own bookkeeping; four fifths of such a budget
    // end up at the budget.
    const uint64_t pass = cache_bytes < (uint64_t{500} << 20) ? cache_bytes / 5 * 4 : cache_bytes;
    check(env_->set_cachesize(env_, static_cast<uint32_t>(pass >> 30),
                              static_cast<uint32_t>(pass & ((1u << 30) - 1)), 1),
          "DB_ENV->set_cachesize");
    check(env_->open(env_, home.c_str(), DB_CREATE | DB_INIT_MPOOL | DB_PRIVATE, 0), "DB_ENV->open");
    primary_ = open_db(leaf + ".bdb", 0);
    name_ = open_db(leaf + "-name.bdb", DB_DUP | DB_DUPSORT);
    city_ = open_db(leaf + "-city.bdb", DB_DUP | DB_DUPSORT);
    check(primary_->associate(primary_, nullptr, name_, name_index_key, 0), "DB->associate (name)");
    check(primary_->associate(primary_, nullptr, city_, city_index_key, 0), "DB->associate (city)");
  }

  void flush() override { check(env_->memp_sync(env_, nullptr), "DB_ENV->memp_sync"); }

  void close() override {
    if (shut() != 0) throw EngineError("bdb: close failed");
  }

  void add(const Record &r) override {
    uint8_t buf[kMaxRecordBytes];
    put(r.id, buf, encode_record(r, buf), DB_NOOVERWRITE);
  }

  bool get_by_id(uint32_t id, Record *out) override {
    uint8_t kb[4];
    codec::store_u32(kb, 0, id);
    DBT k = dbt(kb, 4), d{};
    const int rc = primary_->get(primary_, nullptr, &k, &d, 0);
    if (rc == DB_NOTFOUND) return false;
    check(rc, "DB->get");
    decode(k, d, out);
    return true;
  }

  bool get_by_name(const char *name, Record *out) override {
    DBT sk = dbt(name, static_cast<uint32_t>(std::strlen(name))), pk{}, d{};
    const int rc = name_->pget(name_, nullptr, &sk, &pk, &d, 0);
    if (rc == DB_NOTFOUND) return false;
    check(rc, "DB->pget (name)");
    decode(pk, d, out);
    return true;
  }

  uint32_t range(const char *city, double amount, uint32_t count, RangeDigest &dg) override {
    uint8_t buf[kMaxRecordBytes];
    DBT sk = dbt(buf, city_key(city, amount, buf)), pk{}, d{};
    DBC *c = nullptr;
    check(city_->cursor(city_, nullptr, &c, 0), "DB->cursor");
    uint32_t n = 0;
    Record r;
    int rc = c->pget(c, &sk, &pk, &d, DB_SET_RANGE);
    for (; rc == 0 && n < count; rc = c->pget(c, &sk, &pk, &d, DB_NEXT)) {
      decode(pk, d, &r);
      dg.add(r);
      ++n;
    }
    c->close(c);
    if (rc != 0 && rc != DB_NOTFOUND) check(rc, "DBC->pget");
    return n;
  }

  void scan(RecordDigest &dg) override {
    DBC *c = nullptr;
    check(primary_->cursor(primary_, nullptr, &c, 0), "DB->cursor");
    DBT k{}, d{};
    Record r;
    int rc;
    while ((rc = c->get(c, &k, &d, DB_NEXT)) == 0) {
      decode(k, d, &r);
      dg.add(r);
    }
    c->close(c);
    if (rc != DB_NOTFOUND) check(rc, "DBC->get");
  }

  bool set_code(uint32_t id, const char (&code)[kCodeLen]) override {
    Record r;
    if (!get_by_id(id, &r)) return false;
    std::memcpy(r.code, code, kCodeLen);
    uint8_t buf[kMaxRecordBytes];
    put(id, buf, encode_record(r, buf), 0);
    return true;
  }

  bool set_name(uint32_t id, const char *name) override {
    Record r;
    if (!get_by_id(id, &r)) return false;
    std::memset(r.name, 0, sizeof r.name);
    std::strncpy(r.name, name, kNameMax);
    uint8_t buf[kMaxRecordBytes];
    put(id, buf, encode_record(r, buf), 0);
    return true;
  }

  bool remove(uint32_t id) override {
    uint8_t kb[4];
    codec::store_u32(kb, 0, id);
    DBT k = dbt(kb, 4);
    const int rc = primary_->del(primary_, nullptr, &k, 0);
    if (rc == DB_NOTFOUND) return false;
    check(rc, "DB->del");
    return true;
  }

 private:
  DB *open_db(const std::string &file, uint32_t flags) {
    DB *db = nullptr;
    check(db_create(&db, env_, 0), "db_create");
    int rc = db->set_pagesize(db, kPageSize);
    if (rc == 0 && flags != 0) rc = db->set_flags(db, flags);
    if (rc == 0) rc = db->open(db, nullptr, file.c_str(), nullptr, DB_BTREE, DB_CREATE, 0644);
    if (rc != 0) {
      db->close(db, 0);
      check(rc, ("DB->open " + file).c_str());
    }
    return db;
  }

  // Writes the record's data under its ID; associate updates both secondary indexes.
  void put(uint32_t id, const uint8_t *data, uint32_t size, uint32_t flags) {
    uint8_t kb[4];
    codec::store_u32(kb, 0, id);
    DBT k = dbt(kb, 4), d = dbt(data, size);
    check(primary_->put(primary_, nullptr, &k, &d, flags), "DB->put");
  }

  // Closes the secondaries before the primary, then the environment; the first error, or 0.
  int shut() {
    int first = 0;
    for (DB **db : {&city_, &name_, &primary_}) {
      if (*db == nullptr) continue;
      const int rc = (*db)->close(*db, 0);
      if (first == 0) first = rc;
      *db = nullptr;
    }
    if (env_ != nullptr) {
      const int rc = env_->close(env_, 0);
      if (first == 0) first = rc;
      env_ = nullptr;
    }
    return first;
  }

  DB_ENV *env_ = nullptr;
  DB *primary_ = nullptr, *name_ = nullptr, *city_ = nullptr;
};

}  // namespace

std::unique_ptr<RecordEngine> make_bdb_record_engine() {
  return std::make_unique<BdbRecordEngine>();
}

}  // namespace qrx::peers
