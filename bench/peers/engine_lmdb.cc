// engine_lmdb.cc - LMDB behind the benchmark's engine interface.
//
// One environment in a single file (MDB_NOSUBDIR, plus its "-lock" file) opened with MDB_NOSYNC: a
// commit writes the pages with write() and never syncs. LMDB's page size is the system's (4096 here) and
// it has no cache of its own: reads go through a read-only memory map of the file, so the cache budget
// cannot be applied; the operating system's page cache is its cache. Every workload runs as one
// transaction (read-only for the lookups and the scan).
#include <lmdb.h>

#include <cstring>
#include <string>

#include "bench/peers/engine.h"
#include "bench/peers/lmdb_util.h"

namespace qrx::peers {
namespace {

class LmdbEngine final : public LmdbAdapter<Engine> {
 public:
  LmdbEngine() : LmdbAdapter("") {}

  const char *name() const override { return "lmdb"; }
  std::vector<std::string> files(const std::string &base) const override {
    return {base + ".mdb", base + ".mdb-lock"};
  }

  void create(const std::string &base, uint64_t cache_bytes) override {
    remove_file(base + ".mdb");
    remove_file(base + ".mdb-lock");
    open(base, cache_bytes);
  }

  void open(const std::string &base, uint64_t /*cache_bytes*/) override {
    open_env(base + ".mdb", 0);
    MDB_txn *txn = nullptr;
    check(mdb_txn_begin(env_, nullptr, 0, &txn), "mdb_txn_begin");
    int rc = mdb_dbi_open(txn, nullptr, 0, &dbi_);
    if (rc != 0) {
      mdb_txn_abort(txn);
      check(rc, "mdb_dbi_open");
    }
    check(mdb_txn_commit(txn), "mdb_txn_commit");
  }

  void begin(bool write) override {
    check(mdb_txn_begin(env_, nullptr, write ? 0 : MDB_RDONLY, &txn_), "begin");
  }

  void insert(const uint8_t *key, uint32_t item) override {
    MDB_val k = val(key, kKeyLen);
    MDB_val d = val(&item, sizeof item);
    check(mdb_put(txn(), dbi_, &k, &d, MDB_NOOVERWRITE), "mdb_put");
  }

  bool find(const uint8_t *key, uint32_t *item) override {
    MDB_val k = val(key, kKeyLen);
    MDB_val d{};
    int rc = mdb_get(txn(), dbi_, &k, &d);
    if (rc == MDB_NOTFOUND) return false;
    check(rc, "mdb_get");
    if (d.mv_size != sizeof *item) return false;
    std::memcpy(item, d.mv_data, sizeof *item);
    return true;
  }

  void erase(const uint8_t *key, uint32_t /*item*/) override {
    MDB_val k = val(key, kKeyLen);
    check(mdb_del(txn(), dbi_, &k, nullptr), "mdb_del");
  }

  ScanResult scan() override {
    ScanResult r;
    MDB_cursor *c = nullptr;
    check(mdb_cursor_open(txn(), dbi_, &c), "mdb_cursor_open");
    MDB_val k{};
    MDB_val d{};
    int rc = mdb_cursor_get(c, &k, &d, MDB_FIRST);
    for (; rc == 0; rc = mdb_cursor_get(c, &k, &d, MDB_NEXT)) {
      uint32_t item = 0;
      std::memcpy(&item, d.mv_data, sizeof item);
      scan_add(r, static_cast<const uint8_t *>(k.mv_data), item);
    }
    mdb_cursor_close(c);
    if (rc != MDB_NOTFOUND) check(rc, "mdb_cursor_get");
    return r;
  }

  int32_t depth() override {
    MDB_stat st{};
    MDB_txn *t = nullptr;
    if (mdb_txn_begin(env_, nullptr, MDB_RDONLY, &t) != 0) return -1;
    int rc = mdb_stat(t, dbi_, &st);
    mdb_txn_abort(t);
    return rc == 0 ? static_cast<int32_t>(st.ms_depth) : -1;
  }

 private:
  static MDB_val val(const void *p, size_t n) { return lmdb_val(p, n); }
  MDB_dbi dbi_ = 0;
};

}  // namespace

std::unique_ptr<Engine> make_lmdb_engine() {
  return std::make_unique<LmdbEngine>();
}

}  // namespace qrx::peers
