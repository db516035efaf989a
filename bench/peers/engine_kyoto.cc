// engine_kyoto.cc - Kyoto Cabinet's tree database (TreeDB) behind the benchmark's engine interface.
//
// Pages of at most 4096 bytes (tune_page), a page cache of the budget (tune_page_cache), no compression,
// the default comparator (bytes), the default memory map of the file's first 64 MiB, no transactions and
// no automatic sync. flush() is synchronize(false): cached pages are written, nothing is synced.
#include <kchashdb.h>

#include <cstring>
#include <string>

#include "bench/peers/engine.h"

namespace qrx::peers {
namespace {

class KyotoEngine final : public Engine {
 public:
  ~KyotoEngine() override {
    if (db_ != nullptr) db_->close();
  }

  const char *name() const override { return "kyoto"; }
  std::vector<std::string> files(const std::string &base) const override { return {base + ".kct"}; }

  void create(const std::string &base, uint64_t cache_bytes) override {
    remove_file(base + ".kct");
    open_db(base + ".kct", cache_bytes,
            kyotocabinet::TreeDB::OWRITER | kyotocabinet::TreeDB::OCREATE | kyotocabinet::TreeDB::OTRUNCATE);
  }
  void open(const std::string &base, uint64_t cache_bytes) override {
    open_db(base + ".kct", cache_bytes, kyotocabinet::TreeDB::OWRITER);
  }

  void flush() override {
    if (!db_->synchronize(false)) fail("synchronize");
  }

  void close() override {
    std::unique_ptr<kyotocabinet::TreeDB> db = std::move(db_);
    if (db != nullptr && !db->close()) throw EngineError(std::string("close: ") + db->error().name());
  }

  void insert(const uint8_t *key, uint32_t item) override {
    if (!db_->add(reinterpret_cast<const char *>(key), kKeyLen, reinterpret_cast<const char *>(&item),
                  sizeof item))
      fail("add");
  }

  bool find(const uint8_t *key, uint32_t *item) override {
    int32_t n =
        db_->get(reinterpret_cast<const char *>(key), kKeyLen, reinterpret_cast<char *>(item), sizeof *item);
    if (n < 0) {
      if (db_->error().code() == kyotocabinet::BasicDB::Error::NOREC) return false;
      fail("get");
    }
    return n == sizeof *item;
  }

  void erase(const uint8_t *key, uint32_t /*item*/) override {
    if (!db_->remove(reinterpret_cast<const char *>(key), kKeyLen)) fail("remove");
  }

  ScanResult scan() override {
    struct Visitor : kyotocabinet::DB::Visitor {
      ScanResult r;
      const char *visit_full(const char *kbuf, size_t ksiz, const char *vbuf, size_t vsiz,
                             size_t *) override {
        uint32_t item = 0;
        if (ksiz == kKeyLen && vsiz == sizeof item) {
          std::memcpy(&item, vbuf, sizeof item);
          scan_add(r, reinterpret_cast<const uint8_t *>(kbuf), item);
        }
        return NOP;
      }
    } v;
    if (!db_->iterate(&v, false)) fail("iterate");
    return v.r;
  }

 private:
  [[noreturn]] void fail(const char *what) const {
    throw EngineError(std::string(what) + ": " + db_->error().name() + " " + db_->error().message());
  }

  void open_db(const std::string &path, uint64_t cache_bytes, uint32_t mode) {
    db_ = std::make_unique<kyotocabinet::TreeDB>();
    db_->tune_page(kPageSize);
    db_->tune_page_cache(static_cast<int64_t>(cache_bytes));
    db_->tune_options(0);
    if (!db_->open(path, mode)) {
      std::string text = std::string("open: ") + db_->error().name();
      db_.reset();
      throw EngineError(text);
    }
  }

  std::unique_ptr<kyotocabinet::TreeDB> db_;
};

}  // namespace

std::unique_ptr<Engine> make_kyoto_engine() {
  return std::make_unique<KyotoEngine>();
}

}  // namespace qrx::peers
