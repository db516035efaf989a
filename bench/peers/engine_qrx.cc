// engine_qrx.cc - this library's B-tree layer behind the benchmark's engine interface.
//
// One buffer pool of 4096-byte buffers serves every tree of the process; its buffer count is the cache
// budget divided by 4096. When a database is opened with another budget the pool is made again
// (cbexit, cbinit), which is allowed because no tree is open then. The pool's read counter gives the
// block reads of the out-of-cache workload.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "bench/peers/engine.h"
#include "cbt/cbt.h"
#include "cbt/codec.h"
#include "cbt/pool/pool.h"
#include "qrxcb.h"

namespace qrx::peers {
namespace {

class QrxEngine final : public Engine {
 public:
  ~QrxEngine() override {
    if (tree_ != nullptr) cbclose(tree_);
    if (bufcnt_ != 0) cbexit();
  }

  const char *name() const override { return "qrx"; }
  bool shared_cache() const override { return true; }  // the one buffer pool of the process
  std::vector<std::string> files(const std::string &base) const override { return {base + ".cbt"}; }

  void create(const std::string &base, uint64_t cache_bytes) override {
    use_pool(cache_bytes);
    remove_file(base + ".cbt");
    tree_ = cbcreate((base + ".cbt").c_str(), nullptr, kPageSize);
    if (tree_ == nullptr) fail("cbcreate");
  }

  void open(const std::string &base, uint64_t cache_bytes) override {
    use_pool(cache_bytes);
    tree_ = cbopen((base + ".cbt").c_str(), 2, nullptr);
    if (tree_ == nullptr) fail("cbopen");
    // A file that was not closed properly opens with error 20; a benchmark file never is.
    if (*qrxcbecd() != 0) fail("cbopen (file not closed properly)");
  }

  // Another handle on the open file: both go through one control record, whose mutex serialises them.
  bool can_share() const override { return true; }
  void share(const std::string &base) override {
    use_pool(4 * uint64_t{kPageSize});  // joins the pool already made (cbinit counts the call)
    tree_ = cbopen((base + ".cbt").c_str(), 2, nullptr);
    if (tree_ == nullptr) fail("cbopen");
  }

  void flush() override {
    if (cbflush(tree_) != 1) fail("cbflush");
  }

  void close() override {
    cbt_tree *t = tree_;
    tree_ = nullptr;
    if (t != nullptr && cbclose(t) != 1) fail("cbclose");
  }

  void insert(const uint8_t *key, uint32_t item) override {
    if (cbinsert(tree_, key, kKeyLen, item, 0) != 1) fail("cbinsert");
  }

  bool find(const uint8_t *key, uint32_t *item) override {
    int32_t r = cbfind(tree_, key, kKeyLen, item);
    if (r == CBT_FOUND) return true;
    if (r == CBT_NOT_FOUND || r == CBT_POS_EOI) return false;
    fail("cbfind");
  }

  void erase(const uint8_t *key, uint32_t item) override {
    if (cbdelete(tree_, key, kKeyLen, item) != 1) fail("cbdelete");
  }

  // Every entry's key and item: cbhead/cbnext give the item, cbkey the key at the cursor.
  ScanResult scan() override {
    ScanResult r;
    uint8_t key[kKeyLen];
    uint32_t item = 0;
    int32_t s = cbhead(tree_, &item);
    for (; s == 1; s = cbnext(tree_, &item)) {
      if (cbkey(tree_, key, kKeyLen) != 1) fail("cbkey");
      scan_add(r, key, item);
    }
    if (s != CBT_POS_EOI) fail("cbnext");
    return r;
  }

  int64_t block_reads() const override {
    const cbt::Anchor *a = cbt::cbt_anchor_get();
    return a != nullptr && a->pool != nullptr ? static_cast<int64_t>(pool_read_count(a->pool)) : -1;
  }

  int32_t depth() override { return cbdepth(tree_); }

  // Reads the closed file directly: the root from the control record, then each level from its leftmost
  // block along the `right` links, going down through `low_path`.
  std::vector<int64_t> level_blocks(const std::string &base) const override {
    std::vector<int64_t> levels;
    int fd = ::open((base + ".cbt").c_str(), O_RDONLY);
    if (fd < 0) return levels;
    std::vector<uint8_t> blk(kPageSize);
    auto read_block = [&](int32_t n) {
      return n > 0 && ::pread(fd, blk.data(), kPageSize, static_cast<off_t>(n) * kPageSize) == kPageSize;
    };
    // Control record (block 0): root at 4, highblock at 8, depth at 24.
    if (::pread(fd, blk.data(), 36, 0) == 36) {
      int32_t first = codec::load_i32(blk.data(), 4);
      const int32_t highblock = codec::load_i32(blk.data(), 8);
      const int32_t depth = codec::load_i32(blk.data(), 24);
      // Node header: low_path at 0 (-1 in a leaf), right at 8.
      for (int32_t level = 0; level < depth && first > 0; ++level) {
        int64_t count = 0;
        int32_t next_first = 0;
        for (int32_t b = first; b > 0 && count <= highblock && read_block(b);
             b = codec::load_i32(blk.data(), 8)) {
          if (count == 0) next_first = codec::load_i32(blk.data(), 0);
          ++count;
        }
        levels.push_back(count);
        first = next_first;
      }
    }
    ::close(fd);
    return levels;
  }

  // The scan with items only (cbhead/cbnext without cbkey), which shows what the second call per entry
  // costs.
  std::vector<std::pair<std::string, double>> extras() override {
    const double t0 = cpu_seconds();
    uint64_t n = 0;
    uint32_t item = 0;
    for (int32_t s = cbhead(tree_, &item); s == 1; s = cbnext(tree_, &item)) ++n;
    const double secs = cpu_seconds() - t0;
    return {{"scan of items only (cbhead/cbnext, no cbkey), ops per CPU second", secs > 0 ? n / secs : 0.0}};
  }

 private:
  [[noreturn]] void fail(const char *what) const {
    throw EngineError(std::string(what) + " failed: error " + std::to_string(*qrxcbecd()) + " (" +
                      qrxcberr(static_cast<int32_t>(*qrxcbecd())) + "), context " +
                      std::to_string(*qrxcbccd()) + " (" + qrxcbcon(static_cast<int32_t>(*qrxcbccd())) + ")");
  }

  static double cpu_seconds() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }

  // Makes the pool hold cache_bytes / 4096 buffers (at least 4, the pool's minimum).
  void use_pool(uint64_t cache_bytes) {
    uint64_t want = cache_bytes / kPageSize;
    if (want < 4) want = 4;
    if (want > UINT32_MAX) want = UINT32_MAX;
    if (want == bufcnt_) return;
    if (bufcnt_ != 0 && cbexit() != 1) fail("cbexit");
    bufcnt_ = 0;
    if (cbinit(static_cast<uint32_t>(want), kPageSize) != 1) fail("cbinit");
    bufcnt_ = static_cast<uint32_t>(want);
  }

  cbt_tree *tree_ = nullptr;
  uint32_t bufcnt_ = 0;  // buffers of the pool this engine made; 0 before the first cbinit
};

}  // namespace

std::unique_ptr<Engine> make_qrx_engine() {
  return std::make_unique<QrxEngine>();
}

}  // namespace qrx::peers
