// lmdb_util.h - the environment setup and error handling both LMDB adapters share.
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

}  // namespace qrx::peers
