// engine_sqlite.cc - SQLite 3 behind the benchmark's engine interface.
//
// One WITHOUT ROWID table with a BLOB primary key and an INTEGER item, reached through prepared
// statements. Pages of 4096 bytes, page cache of the budget (cache_size in KiB), journal_mode=OFF,
// synchronous=OFF, locking_mode=EXCLUSIVE (the file lock is taken once and kept, as this library takes
// none per call). Every workload runs as one transaction (BEGIN ... COMMIT).
#include <sqlite3.h>

#include <string>

#include "bench/peers/engine.h"
#include "bench/peers/sqlite_util.h"

namespace qrx::peers {
namespace {

class SqliteEngine final : public SqliteAdapter<Engine> {
 public:
  ~SqliteEngine() override { shut(); }

  const char *name() const override { return "sqlite"; }
  std::vector<std::string> files(const std::string &base) const override { return {base + ".sqlite"}; }

  void create(const std::string &base, uint64_t cache_bytes) override {
    remove_file(base + ".sqlite");
    connect(base + ".sqlite", cache_bytes);
    exec("CREATE TABLE kv(k BLOB PRIMARY KEY, v INTEGER NOT NULL) WITHOUT ROWID");
    prepare();
  }

  void open(const std::string &base, uint64_t cache_bytes) override {
    connect(base + ".sqlite", cache_bytes);
    prepare();
  }

  void insert(const uint8_t *key, uint32_t item) override {
    sqlite3_bind_blob(ins_, 1, key, kKeyLen, SQLITE_STATIC);
    sqlite3_bind_int64(ins_, 2, item);
    int rc = sqlite3_step(ins_);
    sqlite3_reset(ins_);
    if (rc != SQLITE_DONE) fail("INSERT");
  }

  bool find(const uint8_t *key, uint32_t *item) override {
    sqlite3_bind_blob(sel_, 1, key, kKeyLen, SQLITE_STATIC);
    int rc = sqlite3_step(sel_);
    bool found = rc == SQLITE_ROW;
    if (found) *item = static_cast<uint32_t>(sqlite3_column_int64(sel_, 0));
    sqlite3_reset(sel_);
    if (!found && rc != SQLITE_DONE) fail("SELECT");
    return found;
  }

  void erase(const uint8_t *key, uint32_t /*item*/) override {
    sqlite3_bind_blob(del_, 1, key, kKeyLen, SQLITE_STATIC);
    int rc = sqlite3_step(del_);
    sqlite3_reset(del_);
    if (rc != SQLITE_DONE) fail("DELETE");
    if (sqlite3_changes(db_) != 1) throw EngineError("DELETE: key not found");
  }

  ScanResult scan() override {
    ScanResult r;
    int rc;
    while ((rc = sqlite3_step(scan_)) == SQLITE_ROW) {
      const void *k = sqlite3_column_blob(scan_, 0);
      if (sqlite3_column_bytes(scan_, 0) != static_cast<int>(kKeyLen))
        throw EngineError("scan: bad key size");
      scan_add(r, static_cast<const uint8_t *>(k), static_cast<uint32_t>(sqlite3_column_int64(scan_, 1)));
    }
    sqlite3_reset(scan_);
    if (rc != SQLITE_DONE) fail("SELECT (scan)");
    return r;
  }

 private:
  void prepare() {
    prep("INSERT INTO kv(k, v) VALUES(?1, ?2)", &ins_);
    prep("SELECT v FROM kv WHERE k = ?1", &sel_);
    prep("DELETE FROM kv WHERE k = ?1", &del_);
    prep("SELECT k, v FROM kv ORDER BY k", &scan_);
  }

  sqlite3_stmt *ins_ = nullptr;
  sqlite3_stmt *sel_ = nullptr;
  sqlite3_stmt *del_ = nullptr;
  sqlite3_stmt *scan_ = nullptr;
};

}  // namespace

std::unique_ptr<Engine> make_sqlite_engine() {
  return std::make_unique<SqliteEngine>();
}

}  // namespace qrx::peers
