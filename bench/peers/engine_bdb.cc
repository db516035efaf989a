// engine_bdb.cc - Berkeley DB 5.3, B-tree access method, behind the benchmark's engine interface.
//
// A database handle without an environment: no transactions, no logging, no locking; a private cache
// of the budget's size and 4096-byte pages. Berkeley DB raises caches below 500 MB by 25% for its own
// bookkeeping, so such a budget is passed as four fifths of itself to end up at the budget.
#include <db.h>

#include <cstring>
#include <string>

#include "bench/peers/engine.h"

namespace qrx::peers {
namespace {

class BdbEngine final : public Engine {
 public:
  ~BdbEngine() override {
    if (db_ != nullptr) db_->close(db_, 0);
  }

  const char *name() const override { return "bdb"; }
  std::vector<std::string> files(const std::string &base) const override { return {base + ".db"}; }

  void create(const std::string &base, uint64_t cache_bytes) override {
    remove_file(base + ".db");
    open_db(base + ".db", cache_bytes, DB_CREATE);
  }
  void open(const std::string &base, uint64_t cache_bytes) override { open_db(base + ".db", cache_bytes, 0); }

  void flush() override { check(db_->sync(db_, 0), "DB->sync"); }

  void close() override {
    DB *db = db_;
    db_ = nullptr;
    if (db != nullptr) check(db->close(db, 0), "DB->close");
  }

  void insert(const uint8_t *key, uint32_t item) override {
    DBT k = dbt(key, kKeyLen);
    DBT d = dbt(&item, sizeof item);
    check(db_->put(db_, nullptr, &k, &d, DB_NOOVERWRITE), "DB->put");
  }

  bool find(const uint8_t *key, uint32_t *item) override {
    DBT k = dbt(key, kKeyLen);
    DBT d = dbt(item, sizeof *item);
    d.ulen = sizeof *item;
    d.flags = DB_DBT_USERMEM;
    int r = db_->get(db_, nullptr, &k, &d, 0);
    if (r == DB_NOTFOUND) return false;
    check(r, "DB->get");
    return d.size == sizeof *item;
  }

  void erase(const uint8_t *key, uint32_t /*item*/) override {
    DBT k = dbt(key, kKeyLen);
    check(db_->del(db_, nullptr, &k, 0), "DB->del");
  }

  ScanResult scan() override {
    ScanResult r;
    DBC *c = nullptr;
    check(db_->cursor(db_, nullptr, &c, 0), "DB->cursor");
    DBT k{};
    DBT d{};
    int rc;
    while ((rc = c->get(c, &k, &d, DB_NEXT)) == 0) {
      uint32_t item = 0;
      std::memcpy(&item, d.data, sizeof item);
      scan_add(r, static_cast<const uint8_t *>(k.data), item);
    }
    c->close(c);
    if (rc != DB_NOTFOUND) check(rc, "DBC->get");
    return r;
  }

 private:
  static DBT dbt(const void *data, uint32_t size) {
    DBT t{};
    t.data = const_cast<void *>(data);
    t.size = size;
    return t;
  }

  static void check(int rc, const char *what) {
    if (rc != 0) throw EngineError(std::string(what) + ": " + db_strerror(rc));
  }

  void open_db(const std::string &path, uint64_t cache_bytes, uint32_t flags) {
    check(db_create(&db_, nullptr, 0), "db_create");
    uint64_t pass = cache_bytes < (uint64_t{500} << 20) ? cache_bytes / 5 * 4 : cache_bytes;
    check(db_->set_cachesize(db_, static_cast<uint32_t>(pass >> 30),
                             static_cast<uint32_t>(pass & ((1u << 30) - 1)), 1),
          "DB->set_cachesize");
    check(db_->set_pagesize(db_, kPageSize), "DB->set_pagesize");
    int rc = db_->open(db_, nullptr, path.c_str(), nullptr, DB_BTREE, flags, 0644);
    if (rc != 0) {
      db_->close(db_, 0);
      db_ = nullptr;
      check(rc, "DB->open");
    }
  }

  DB *db_ = nullptr;
};

}  // namespace

std::unique_ptr<Engine> make_bdb_engine() {
  return std::make_unique<BdbEngine>();
}

}  // namespace qrx::peers
