// sqlite_util.h - the connection settings, error handling and transactions both SQLite adapters share.
//
// Every SQLite database of the benchmarks is opened alike: 4096-byte pages, a page cache of the budget
// (cache_size in KiB, at least 1), journal_mode=OFF, synchronous=OFF and locking_mode=EXCLUSIVE (the file
// lock is taken once and kept). Failures throw EngineError with SQLite's own message.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/peers/engine.h"

namespace qrx::peers {

// Throws EngineError "<what>: <SQLite's message of db>".
[[noreturn]] inline void sqlite_fail(sqlite3 *db, const char *what) {
  throw EngineError(std::string(what) + ": " + (db != nullptr ? sqlite3_errmsg(db) : "no database"));
}

// Runs SQL that returns no rows; throws EngineError "<sql>: <message>" when it fails.
inline void sqlite_exec(sqlite3 *db, const char *sql) {
  char *msg = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
    std::string text = std::string(sql) + ": " + (msg != nullptr ? msg : "?");
    sqlite3_free(msg);
    throw EngineError(text);
  }
}

// Prepares `sql` into *st; throws EngineError naming the SQL when it does not compile.
inline void sqlite_prepare(sqlite3 *db, const char *sql, sqlite3_stmt **st) {
  if (sqlite3_prepare_v2(db, sql, -1, st, nullptr) != SQLITE_OK) sqlite_fail(db, sql);
}

// Opens (or makes) the database file `path` into *db with the settings above. *db is set even when a
// step fails, so that the caller's close releases the handle.
inline void sqlite_connect(const std::string &path, uint64_t cache_bytes, sqlite3 **db) {
  if (sqlite3_open_v2(path.c_str(), db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
    sqlite_fail(*db, "sqlite3_open_v2");
  sqlite_exec(*db, "PRAGMA page_size=4096");
  sqlite_exec(*db, "PRAGMA journal_mode=OFF");
  sqlite_exec(*db, "PRAGMA synchronous=OFF");
  sqlite_exec(*db, "PRAGMA locking_mode=EXCLUSIVE");
  sqlite_exec(*db,
              ("PRAGMA cache_size=-" + std::to_string(std::max<uint64_t>(cache_bytes / 1024, 1))).c_str());
}

// The part of an SQLite adapter that does not depend on its tables, on top of its engine interface
// (Engine or RecordEngine): the connection, the prepared statements, and one transaction per workload
// (BEGIN ... COMMIT). The adapter's destructor calls shut().
template <class Interface>
class SqliteAdapter : public Interface {
 public:
  // A transaction's commit has written its pages; without journal or sync there is nothing else.
  void flush() override {}

  void close() override {
    if (in_txn_) commit();
    if (shut() != SQLITE_OK) throw EngineError("sqlite3_close failed");
  }

  void begin(bool /*write*/) override {
    exec("BEGIN");
    in_txn_ = true;
  }
  void commit() override {
    in_txn_ = false;
    exec("COMMIT");
  }

 protected:
  void connect(const std::string &path, uint64_t cache_bytes) { sqlite_connect(path, cache_bytes, &db_); }
  [[noreturn]] void fail(const char *what) const { sqlite_fail(db_, what); }
  void exec(const char *sql) { sqlite_exec(db_, sql); }

  // Prepares `sql` into *st, which shut() finalizes and clears.
  void prep(const char *sql, sqlite3_stmt **st) {
    statements_.push_back(st);
    sqlite_prepare(db_, sql, st);
  }

  // Finalizes the statements and closes the database; SQLite's status of the close.
  int shut() {
    for (sqlite3_stmt **st : statements_) {
      sqlite3_finalize(*st);
      *st = nullptr;
    }
    statements_.clear();
    int rc = sqlite3_close(db_);
    db_ = nullptr;
    in_txn_ = false;
    return rc;
  }

  sqlite3 *db_ = nullptr;

 private:
  std::vector<sqlite3_stmt **> statements_;
  bool in_txn_ = false;
};

}  // namespace qrx::peers
