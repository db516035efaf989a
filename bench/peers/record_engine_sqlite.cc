// record_engine_sqlite.cc - SQLite 3 behind the record workloads' engine interface.
//
// One rowid table t(id, name, city, amount, code) with a unique index on id, an index on name and one on
// (city, amount), reached through prepared statements only. The connection settings are shared with the
// key-value adapter (sqlite_util.h): 4096-byte pages, a page cache of the budget, no journal, no sync,
// the file lock taken once. Every workload runs as one transaction. The indexes live in the table's
// file, so files() names one.
#include <sqlite3.h>

#include <cstring>
#include <string>

#include "bench/peers/records.h"
#include "bench/peers/sqlite_util.h"

namespace qrx::peers {
namespace {

class SqliteRecordEngine final : public SqliteAdapter<RecordEngine> {
 public:
  ~SqliteRecordEngine() override { shut(); }

  const char *name() const override { return "sqlite"; }
  std::vector<std::string> files(const std::string &base) const override { return {base + ".sqlite"}; }

  void create(const std::string &base, uint64_t cache_bytes) override {
    shut();
    remove_file(base + ".sqlite");
    connect(base + ".sqlite", cache_bytes);
    exec(
        "CREATE TABLE t(id INTEGER NOT NULL, name TEXT NOT NULL, city TEXT NOT NULL, amount REAL NOT NULL, "
        "code TEXT NOT NULL)");
    exec("CREATE UNIQUE INDEX t_id ON t(id)");
    exec("CREATE INDEX t_name ON t(name)");
    exec("CREATE INDEX t_city ON t(city, amount)");
    prep("INSERT INTO t(id, name, city, amount, code) VALUES(?1, ?2, ?3, ?4, ?5)", &ins_);
    prep("SELECT id, name, city, amount, code FROM t WHERE id = ?1", &by_id_);
    prep("SELECT id, name, city, amount, code FROM t WHERE name = ?1 ORDER BY name LIMIT 1", &by_name_);
    prep(
        "SELECT id, name, city, amount, code FROM t WHERE (city, amount) >= (?1, ?2) ORDER BY city, amount "
        "LIMIT ?3",
        &range_);
    prep("SELECT id, name, city, amount, code FROM t", &scan_);
    prep("UPDATE t SET code = ?2 WHERE id = ?1", &set_code_);
    prep("UPDATE t SET name = ?2 WHERE id = ?1", &set_name_);
    prep("DELETE FROM t WHERE id = ?1", &del_);
  }

  void add(const Record &r) override {
    sqlite3_bind_int64(ins_, 1, r.id);
    sqlite3_bind_text(ins_, 2, r.name, -1, SQLITE_STATIC);
    sqlite3_bind_text(ins_, 3, r.city, -1, SQLITE_STATIC);
    sqlite3_bind_double(ins_, 4, r.amount);
    sqlite3_bind_text(ins_, 5, r.code, kCodeLen, SQLITE_STATIC);
    done(ins_, "INSERT");
  }

  bool get_by_id(uint32_t id, Record *out) override {
    sqlite3_bind_int64(by_id_, 1, id);
    return one(by_id_, out, "SELECT by id");
  }

  bool get_by_name(const char *name, Record *out) override {
    sqlite3_bind_text(by_name_, 1, name, -1, SQLITE_STATIC);
    return one(by_name_, out, "SELECT by name");
  }

  uint32_t range(const char *city, double amount, uint32_t count, RangeDigest &d) override {
    sqlite3_bind_text(range_, 1, city, -1, SQLITE_STATIC);
    sqlite3_bind_double(range_, 2, amount);
    sqlite3_bind_int64(range_, 3, count);
    uint32_t n = 0;
    Record r;
    int rc;
    while ((rc = sqlite3_step(range_)) == SQLITE_ROW) {
      read_row(range_, &r);
      d.add(r);
      ++n;
    }
    sqlite3_reset(range_);
    if (rc != SQLITE_DONE) fail("SELECT range");
    return n;
  }

  void scan(RecordDigest &d) override {
    Record r;
    int rc;
    while ((rc = sqlite3_step(scan_)) == SQLITE_ROW) {
      read_row(scan_, &r);
      d.add(r);
    }
    sqlite3_reset(scan_);
    if (rc != SQLITE_DONE) fail("SELECT scan");
  }

  bool set_code(uint32_t id, const char (&code)[kCodeLen]) override {
    sqlite3_bind_int64(set_code_, 1, id);
    sqlite3_bind_text(set_code_, 2, code, kCodeLen, SQLITE_STATIC);
    return done(set_code_, "UPDATE code") == 1;
  }

  bool set_name(uint32_t id, const char *name) override {
    sqlite3_bind_int64(set_name_, 1, id);
    sqlite3_bind_text(set_name_, 2, name, -1, SQLITE_STATIC);
    return done(set_name_, "UPDATE name") == 1;
  }

  bool remove(uint32_t id) override {
    sqlite3_bind_int64(del_, 1, id);
    return done(del_, "DELETE") == 1;
  }

 private:
  // Runs a statement that returns no rows; the number of rows it changed.
  int done(sqlite3_stmt *st, const char *what) {
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE) fail(what);
    return sqlite3_changes(db_);
  }

  // Runs a statement that returns at most one row, read into *out.
  bool one(sqlite3_stmt *st, Record *out, const char *what) {
    int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) read_row(st, out);
    sqlite3_reset(st);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) fail(what);
    return rc == SQLITE_ROW;
  }

  // Columns id, name, city, amount, code of the current row.
  static void read_row(sqlite3_stmt *st, Record *r) {
    auto text = [st](int col, char *to, size_t cap, bool terminated) {
      const unsigned char *p = sqlite3_column_text(st, col);
      size_t n = static_cast<size_t>(sqlite3_column_bytes(st, col));
      if (p == nullptr || (terminated ? n >= cap : n != cap))
        throw EngineError("sqlite: a text of a bad length");
      std::memcpy(to, p, n);
      if (terminated) to[n] = '\0';
    };
    r->id = static_cast<uint32_t>(sqlite3_column_int64(st, 0));
    text(1, r->name, sizeof r->name, true);
    text(2, r->city, sizeof r->city, true);
    r->amount = sqlite3_column_double(st, 3);
    text(4, r->code, kCodeLen, false);
  }

  sqlite3_stmt *ins_ = nullptr, *by_id_ = nullptr, *by_name_ = nullptr, *range_ = nullptr, *scan_ = nullptr;
  sqlite3_stmt *set_code_ = nullptr, *set_name_ = nullptr, *del_ = nullptr;
};

}  // namespace

std::unique_ptr<RecordEngine> make_sqlite_record_engine() {
  return std::make_unique<SqliteRecordEngine>();
}

}  // namespace qrx::peers
