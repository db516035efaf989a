// Buffer pool costs: a hit (get_blk + rlse_blk of a cached block) and a miss (the block read from a
// file in the page cache), with pools of 16 and 65,536 buffers.
//
//  PoolHitSpread/N  16 cached blocks spread evenly over the N cached blocks of the file, in turn: the
//                   work per hit is compared between pool sizes without measuring the machine's caches.
//  PoolHitAll/N     every cached block, in a shuffled order: the same plus the memory traffic of a
//                   working set of N buffers.
//  PoolMiss/N       blocks read in a cycle over more blocks than buffers, so that every get misses and
//                   replaces the least recently used buffer.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cbt/codec.h"
#include "cbt/pool/pool.h"
#include "qrxcb.h"

namespace {

constexpr uint32_t kBlk = 512;

// A pool of n buffers over a file of `blocks` blocks (block 0 holds the block size), made once per size.
class Setup {
 public:
  Setup(uint32_t n, int32_t blocks) : blocks_(blocks) {
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qrxbench.XXXXXX";
    dir_ = mkdtemp(tmpl.data()) != nullptr ? tmpl : "";
    path_ = dir_ + "/bench.blk";
    std::vector<uint8_t> block(kBlk);
    FILE *f = std::fopen(path_.c_str(), "wb");
    for (int32_t k = 0; k < blocks && f != nullptr; ++k) {
      std::fill(block.begin(), block.end(), static_cast<uint8_t>(k));
      if (k == 0) qrx::codec::store_u32(block.data(), 0, kBlk);
      std::fwrite(block.data(), 1, block.size(), f);
    }
    if (f != nullptr) std::fclose(f);
    uint32_t st = 0;
    pool_ = mk_pool(kBlk, n, &st);
    bf_ = pool_ != nullptr ? open_blks(path_.c_str(), 2, pool_) : nullptr;
  }
  ~Setup() {
    if (bf_ != nullptr) close_blks(bf_);
    if (pool_ != nullptr) free_pool(pool_);
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  bool ok() const { return bf_ != nullptr; }
  Bfile *bf() const { return bf_; }
  BufPool *pool() const { return pool_; }
  int32_t blocks() const { return blocks_; }
  int32_t next = 0;  // where a miss cycle goes on from, across runs of the same setup

  // Gets and releases every block of [first, last]: false when one could not be had.
  bool touch(int32_t first, int32_t last) {
    for (int32_t k = first; k <= last; ++k) {
      void *d = get_blk(bf_, k);
      if (d == nullptr || rlse_blk(bf_, d) != 1) return false;
    }
    return true;
  }

 private:
  int32_t blocks_;
  std::string dir_, path_;
  BufPool *pool_ = nullptr;
  Bfile *bf_ = nullptr;
};

// Hit setups: the first N blocks after block 0 cached in a pool of N. Miss setups: a file a quarter
// larger than the pool.
std::map<std::pair<bool, uint32_t>, std::unique_ptr<Setup>> g_setups;

Setup *setup_for(bool miss, uint32_t n) {
  auto &slot = g_setups[{miss, n}];
  if (!slot) {
    const auto blocks = static_cast<int32_t>(miss ? n + n / 4 + 17 : n + 1);
    slot = std::make_unique<Setup>(n, blocks);
    if (slot->ok() && !slot->touch(1, blocks - 1)) slot.reset();
  }
  return slot.get();
}

void hit_loop(benchmark::State &state, const std::vector<int32_t> &order, Setup *s) {
  const uint64_t reads = pool_read_count(s->pool());
  const size_t mask = order.size() - 1;  // order.size() is a power of two
  size_t i = 0;
  for (auto _ : state) {
    void *d = get_blk(s->bf(), order[i++ & mask]);
    benchmark::DoNotOptimize(d);
    if (d == nullptr || rlse_blk(s->bf(), d) != 1) {
      state.SkipWithError("get_blk or rlse_blk failed");
      break;
    }
  }
  if (pool_read_count(s->pool()) != reads) state.SkipWithError("a hit read from disk");
  state.counters["buffers"] = static_cast<double>(pool_buffer_count(s->pool()));
}

void PoolHitSpread(benchmark::State &state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  Setup *s = setup_for(false, n);
  if (s == nullptr) {
    state.SkipWithError("setup failed");
    return;
  }
  std::vector<int32_t> order;
  for (uint32_t i = 0; i < 16; ++i) order.push_back(static_cast<int32_t>(1 + i * (n / 16)));
  hit_loop(state, order, s);
}

void PoolHitAll(benchmark::State &state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  Setup *s = setup_for(false, n);
  if (s == nullptr) {
    state.SkipWithError("setup failed");
    return;
  }
  std::vector<int32_t> order;
  for (uint32_t i = 0; i < n; ++i) order.push_back(static_cast<int32_t>(1 + i));
  std::shuffle(order.begin(), order.end(), std::mt19937(42));
  hit_loop(state, order, s);
}

void PoolMiss(benchmark::State &state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  Setup *s = setup_for(true, n);
  if (s == nullptr) {
    state.SkipWithError("setup failed");
    return;
  }
  const uint64_t reads = pool_read_count(s->pool());
  const int32_t cycle = s->blocks() - 1;  // blocks 1..cycle, more than the pool holds
  for (auto _ : state) {
    void *d = get_blk(s->bf(), 1 + s->next);
    benchmark::DoNotOptimize(d);
    if (d == nullptr || rlse_blk(s->bf(), d) != 1) {
      state.SkipWithError("get_blk or rlse_blk failed");
      break;
    }
    s->next = s->next + 1 == cycle ? 0 : s->next + 1;
  }
  const auto iterations = static_cast<double>(state.iterations());
  state.counters["reads/op"] =
      iterations > 0 ? static_cast<double>(pool_read_count(s->pool()) - reads) / iterations : 0;
  state.counters["buffers"] = static_cast<double>(pool_buffer_count(s->pool()));
}

BENCHMARK(PoolHitSpread)->Arg(16)->Arg(65536);
BENCHMARK(PoolHitAll)->Arg(16)->Arg(65536);
BENCHMARK(PoolMiss)->Arg(16)->Arg(65536);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  g_setups.clear();
  return 0;
}
