// lmdb_util.h - the environment setup, error handling and transactions both LMDB adapters share.
//
// Every LMDB database of the benchmarks is one environment in a single file (MDB_NOSUBDIR, plus its
// "-lock" file) opened with MDB_NOSYNC: a commit writes the pages with write() and never syncs. LMDB has
// no cache of its own: it reads through a memory map of the file, so no cache budget applies.
#pragma once

#include <lmdb.h>

#include <cstddef>
#include <string>

#include "bench/peers/engine.h"

namespace qrx::peers {

// Address space reserved for the map; the file grows only as pages are written.
constexpr size_t kLmdbMapSize = size_t{16} << 30;

inline MDB_val lmdb_val(const void *p, size_t n) {
  return MDB_val{n, const_cast<void *>(p)};
}

// Throws EngineError "<prefix><what>: <LMDB's text for rc>" when rc is not 0.
inline void lmdb_check(int rc, const char *what, const char *prefix = "") {
  if (rc != 0) throw EngineError(std::string(prefix) + what + ": " + mdb_strerror(rc));
}

// Opens the environment of the file `path` with the settings above and room for `maxdbs` named
// sub-databases (0: the unnamed database only). On failure the environment is closed again and
// EngineError thrown, its text led by `prefix`.
inline MDB_env *lmdb_open_env(const std::string &path, unsigned maxdbs, const char *prefix = "") {
  MDB_env *env = nullptr;
  lmdb_check(mdb_env_create(&env), "mdb_env_create", prefix);
  try {
    if (maxdbs > 0) lmdb_check(mdb_env_set_maxdbs(env, maxdbs), "mdb_env_set_maxdbs", prefix);
    lmdb_check(mdb_env_set_mapsize(env, kLmdbMapSize), "mdb_env_set_mapsize", prefix);
    lmdb_check(mdb_env_open(env, path.c_str(), MDB_NOSUBDIR | MDB_NOSYNC, 0644), "mdb_env_open", prefix);
  } catch (...) {
    mdb_env_close(env);
    throw;
  }
  return env;
}

// The part of an LMDB adapter that does not depend on its databases, on top of its engine interface
// (Engine or RecordEngine): the environment, and one transaction per workload, begun by the adapter's
// begin(). Errors are EngineError texts led by the prefix given at construction.
template <class Interface>
class LmdbAdapter : public Interface {
 public:
  ~LmdbAdapter() override { shut(); }

  // A commit has written every page into the file.
  void flush() override {}

  void close() override {
    if (txn_ != nullptr) commit();
    shut();
  }

  void commit() override {
    MDB_txn *t = txn_;
    txn_ = nullptr;
    check(mdb_txn_commit(t), "mdb_txn_commit");
  }

 protected:
  explicit LmdbAdapter(const char *prefix) : prefix_(prefix) {}

  void check(int rc, const char *what) const { lmdb_check(rc, what, prefix_); }
  void open_env(const std::string &path, unsigned maxdbs) { env_ = lmdb_open_env(path, maxdbs, prefix_); }

  MDB_txn *txn() const {
    if (txn_ == nullptr) throw EngineError("lmdb: operation outside a transaction");
    return txn_;
  }

  // Aborts an open transaction and closes the environment.
  void shut() {
    if (txn_ != nullptr) mdb_txn_abort(txn_);
    txn_ = nullptr;
    if (env_ != nullptr) mdb_env_close(env_);
    env_ = nullptr;
  }

  MDB_env *env_ = nullptr;
  MDB_txn *txn_ = nullptr;

 private:
  const char *prefix_;
};

}  // namespace qrx::peers
