// engine.h - the one interface every engine of the side-by-side benchmark is driven through, the keys
// the workloads use, and the counters read around a workload.
//
// Each engine adapter lives in a file of its own (engine_*.cc) and is made by one factory function below.
// An engine object is used by one thread of one (forked) process at a time; adapters report any failure
// by throwing EngineError, which the harness turns into a failed run.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qrx::peers {

// Keys are 16 bytes, items 4 bytes, pages and blocks 4096 bytes in every engine.
constexpr uint32_t kKeyLen = 16;
constexpr uint32_t kPageSize = 4096;

class EngineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a full forward scan saw: number of entries, the sum of their items and a digest of their keys (so
// that every key is really read).
struct ScanResult {
  uint64_t count = 0;
  uint64_t item_sum = 0;
  uint64_t key_digest = 0;
};

// Adds one entry to a ScanResult.
inline void scan_add(ScanResult &r, const uint8_t *key, uint32_t item) {
  uint64_t head = 0;
  for (int i = 0; i < 8; ++i) head = (head << 8) | key[i];
  r.count += 1;
  r.item_sum += item;
  r.key_digest ^= head;
}

class Engine {
 public:
  virtual ~Engine() = default;
  virtual const char *name() const = 0;
  // False for the in-memory reference: no file, no cache, nothing to reopen.
  virtual bool persistent() const { return true; }
  // True when every engine object of the process shares one cache, sized by the first create or open.
  virtual bool shared_cache() const { return false; }
  // The files that make up the database named `base` (a path without extension); first the main file.
  virtual std::vector<std::string> files(const std::string &base) const = 0;
  // True when share works: a second engine object can open a handle of its own on a database another
  // engine object of the process has open, for a thread of its own.
  virtual bool can_share() const { return false; }
  virtual void share(const std::string & /*base*/) { throw EngineError("no second handle on one file"); }
  // Makes a fresh, empty database named `base` with a cache of `cache_bytes`; old files are removed.
  virtual void create(const std::string &base, uint64_t cache_bytes) = 0;
  // Opens the existing database `base` with a cache of `cache_bytes`.
  virtual void open(const std::string &base, uint64_t cache_bytes) = 0;
  // Writes what the engine still holds in memory into its files (see the README for which engines sync).
  virtual void flush() = 0;
  // Flushes and closes the database; the engine can then create or open another one.
  virtual void close() = 0;
  // Brackets one workload where the engine has transactions (one transaction per load or per pass).
  virtual void begin(bool /*write*/) {}
  virtual void commit() {}
  // The key is kKeyLen bytes. insert and erase throw when the engine refuses.
  virtual void insert(const uint8_t *key, uint32_t item) = 0;
  virtual bool find(const uint8_t *key, uint32_t *item) = 0;
  virtual void erase(const uint8_t *key, uint32_t item) = 0;
  virtual ScanResult scan() = 0;
  // Engine-specific figures for the out-of-cache workload; the defaults mean "not known".
  virtual int64_t block_reads() const { return -1; }  // blocks the engine's own cache read from its file
  virtual int32_t depth() { return -1; }              // levels of the tree
  // Blocks on each level of the closed database `base`, root level first; empty when not known.
  virtual std::vector<int64_t> level_blocks(const std::string & /*base*/) const { return {}; }
  // Extra measurements an adapter wants to show (name and value), taken on the open database.
  virtual std::vector<std::pair<std::string, double>> extras() { return {}; }
};

std::unique_ptr<Engine> make_qrx_engine();
std::unique_ptr<Engine> make_bdb_engine();
std::unique_ptr<Engine> make_sqlite_engine();
std::unique_ptr<Engine> make_lmdb_engine();
std::unique_ptr<Engine> make_kyoto_engine();  // built only where Kyoto Cabinet builds
std::unique_ptr<Engine> make_absl_engine();

struct EngineEntry {
  const char *name;                   // short name used on the command line and in the tables
  const char *what;                   // one line for people
  std::unique_ptr<Engine> (*make)();  // factory
};

// Every engine this build has, in table order: this library first, the in-memory reference last.
std::vector<EngineEntry> all_engines();

// Removes a file if it exists (errors other than "not there" throw).
void remove_file(const std::string &path);
// Size of a file in bytes, 0 when it does not exist.
uint64_t file_size(const std::string &path);

}  // namespace qrx::peers
