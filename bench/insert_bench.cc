// Insertion and lookup costs of the B-tree layer: 1,000,000 keys of 16 random bytes, each with a 4-byte
// item, in 4096-byte blocks, through a pool large enough to hold the whole tree (so the timed part reads
// nothing from the file; new blocks are still appended to it at once, as the layer always does).
//
//  Insert/random     cbinsert of all keys into a new file, in random order (leaves split and shift).
//  Insert/ascending  the same keys sorted: every key goes to the end of the last leaf.
//  Find/random       cbfind of one key per iteration, keys taken in random order, on the tree built from
//                    the same order; checks that every key is found with its item.
//  Find/ascending    the same on the tree built in ascending order, keys looked up in ascending order.
//
// Only the public interface (qrxcb.h) is used.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "qrxcb.h"

namespace {

constexpr uint32_t kBlk = 4096;
constexpr uint32_t kBufs = 32768;  // 128 MiB of buffers: several times the tree
constexpr size_t kKeys = 1000000;
constexpr uint32_t kKeyLen = 16;

struct Entry {
  std::array<uint8_t, kKeyLen> key;
  uint32_t item;
};

// The keys in random order (item = position) and the same entries sorted by key.
struct Keys {
  std::vector<Entry> random, ascending;
};

const Keys &keys() {
  static const Keys k = [] {
    Keys out;
    std::mt19937_64 gen(20240601);
    out.random.resize(kKeys);
    for (size_t i = 0; i < kKeys; ++i) {
      for (size_t b = 0; b < kKeyLen; b += 8) {
        const uint64_t v = gen();
        for (size_t j = 0; j < 8; ++j) out.random[i].key[b + j] = static_cast<uint8_t>(v >> (8 * j));
      }
      out.random[i].item = static_cast<uint32_t>(i);
    }
    out.ascending = out.random;
    std::sort(out.ascending.begin(), out.ascending.end(),
              [](const Entry &a, const Entry &b) { return a.key < b.key; });
    return out;
  }();
  return k;
}

const std::vector<Entry> &ordered(bool ascending) {
  return ascending ? keys().ascending : keys().random;
}

// The pool, made once for the whole run.
bool pool_ready() {
  static const bool ok = cbinit(kBufs, kBlk) == 1;
  return ok;
}

// A scratch directory removed with its files.
class ScratchDir {
 public:
  ScratchDir() {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qrxinsbench.XXXXXX";
    path_ = mkdtemp(tmpl.data()) != nullptr ? tmpl : "";
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string file(const char *name) const { return path_ + "/" + name; }
  bool ok() const { return !path_.empty(); }

 private:
  std::string path_;
};

// Inserts all entries into t; false at the first failure.
bool fill(cbt_tree *t, const std::vector<Entry> &entries) {
  for (const Entry &e : entries)
    if (cbinsert(t, e.key.data(), kKeyLen, e.item, 0) != 1) return false;
  return true;
}

void Insert(benchmark::State &state, bool ascending) {
  const std::vector<Entry> &entries = ordered(ascending);
  if (!pool_ready()) {
    state.SkipWithError("cbinit failed");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    ScratchDir dir;
    const std::string path = dir.file("bench.idx");
    cbt_tree *t = dir.ok() ? cbcreate(path.c_str(), nullptr, kBlk) : nullptr;
    if (t == nullptr) {
      state.SkipWithError("cbcreate failed");
      break;
    }
    state.ResumeTiming();
    const bool ok = fill(t, entries);
    state.PauseTiming();
    state.counters["depth"] = cbdepth(t);
    cbclose(t);
    state.ResumeTiming();
    if (!ok) {
      state.SkipWithError("cbinsert failed");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * entries.size()));
}

// Trees for the lookups, built once per order and kept open until the process ends.
struct Built {
  std::unique_ptr<ScratchDir> dir;
  cbt_tree *tree = nullptr;
};

cbt_tree *built_tree(bool ascending) {
  static std::map<bool, Built> trees;
  Built &b = trees[ascending];
  if (b.tree == nullptr && pool_ready()) {
    b.dir = std::make_unique<ScratchDir>();
    const std::string path = b.dir->file("find.idx");
    b.tree = cbcreate(path.c_str(), nullptr, kBlk);
    if (b.tree != nullptr && !fill(b.tree, ordered(ascending))) b.tree = nullptr;
  }
  return b.tree;
}

void Find(benchmark::State &state, bool ascending) {
  const std::vector<Entry> &entries = ordered(ascending);
  cbt_tree *t = built_tree(ascending);
  if (t == nullptr) {
    state.SkipWithError("building the tree failed");
    return;
  }
  size_t i = 0;
  for (auto _ : state) {
    uint32_t item = 0;
    const Entry &e = entries[i];
    if (cbfind(t, e.key.data(), kKeyLen, &item) != CBT_FOUND || item != e.item) {
      state.SkipWithError("cbfind missed a key");
      break;
    }
    if (++i == entries.size()) i = 0;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

BENCHMARK_CAPTURE(Insert, random, false)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK_CAPTURE(Insert, ascending, true)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK_CAPTURE(Find, random, false)->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(Find, ascending, true)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
