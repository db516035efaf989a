// Buffer-replacement rules for the B-tree layer's pool, compared on real access traces.
//
// Builds a tree of N keys of 16 random bytes (4-byte items, 4096-byte blocks) in a scratch directory,
// then runs each workload through the library with the pool's access hook set, recording every block the
// pool hands out (file, block number, and whether it is the control block, an interior node or a leaf):
//
//  (a) lookups       cbfind of present keys chosen uniformly at random
//  (b) scan          cbhead, then cbnext to the end
//  (c) hot lookups   90% of the lookups on a contiguous tenth of the key order, 10% anywhere
//  (d) hot + scan    the lookups of (c), while a second handle scans the file 5 entries per lookup
//  (e) mixed         lookups, inserts of new keys and deletes of present keys, 50/25/25, interleaved
//
// Each workload runs on a freshly started pool of 2% of the file's blocks, so that the pool's own read
// count can be held against the simulated exact LRU of the same size: the two agree when the trace and
// the simulation are faithful. Each trace is then replayed through cold simulated pools of 1%, 2%, 5% and
// 10% of the file's blocks under every rule (see replay_sim.h), and one table per workload shows the
// block reads per operation (total reads in parentheses); an operation is one call of cbfind, cbinsert,
// cbdelete, cbhead or cbnext. GCLOCK also runs with interior weights 16 and 32, to show where the gain of
// a heavier weight ends. The last lines name the rule with the fewest reads over all workloads, at 2%
// and over all sizes, and how far interior-first LRU and 2Q are from the best GCLOCK weight.
//
// Options: --n N (keys, default 1,000,000), --ops M (operations of the lookup and mixed workloads,
// default 200,000), --quick (N = 50,000 and M = 20,000).
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/replay_sim.h"
#include "cbt/codec.h"
#include "cbt/ctl.h"
#include "cbt/pool/pool.h"
#include "qrxcb.h"

namespace {

using replay::Access;
using replay::Kind;
using replay::Trace;

constexpr uint32_t kBlk = 4096, kKeyLen = 16;
constexpr int kScanStep = 5;  // entries the scanning handle of (d) moves per lookup
constexpr double kSizes[] = {0.01, 0.02, 0.05, 0.10};
constexpr int kNumSizes = 4, kSize2 = 1;  // kSizes[kSize2] is the 2% pool

struct Entry {
  std::array<uint8_t, kKeyLen> key;
  uint32_t item;
};

// The recording: the hook appends to `out`. Block ids are dense over the whole run.
struct Recorder {
  Trace *out = nullptr;
  std::vector<uint64_t> fids;                  // file index -> Bfile id
  std::unordered_map<uint64_t, uint32_t> ids;  // (file index << 32 | block number) -> dense id
  std::vector<uint8_t> seen;                   // per dense id: seen in the current trace
  int32_t first_new = 0;  // block numbers from here on did not exist when the trace began
};
Recorder g_rec;

void on_access(uint64_t fid, int32_t blkno, const void *data, bool) {
  Recorder &r = g_rec;
  size_t file = std::find(r.fids.begin(), r.fids.end(), fid) - r.fids.begin();
  if (file == r.fids.size()) r.fids.push_back(fid);
  const uint64_t key = (uint64_t{file} << 32) | static_cast<uint32_t>(blkno);
  auto [it, fresh_id] = r.ids.try_emplace(key, static_cast<uint32_t>(r.ids.size()));
  if (fresh_id) r.seen.push_back(0);
  const uint32_t id = it->second;
  Kind kind = Kind::kUnused;
  if (blkno == 0) {
    kind = Kind::kControl;
  } else {
    const int32_t low_path = qrx::codec::load_i32(static_cast<const uint8_t *>(data), 0);
    kind = low_path == -1 ? Kind::kLeaf : low_path > 0 ? Kind::kInterior : Kind::kUnused;
  }
  // The first get of a block appended during the trace follows the pool's fresh buffer for it: no read.
  const uint8_t created = r.seen[id] == 0 && blkno >= r.first_new ? 1 : 0;
  r.seen[id] = 1;
  r.out->accesses.push_back(Access{id, static_cast<uint16_t>(file), kind, created});
}

bool fail(const char *what) {
  std::fprintf(stderr, "replay_bench: %s failed\n", what);
  return false;
}

std::string grouped(uint64_t v) {
  const std::string digits = std::to_string(v);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

// Blocks of the file by kind: [0] all, [1] interior, [2] leaf, [3] unused.
std::array<int64_t, 4> file_blocks(const std::string &path) {
  std::array<int64_t, 4> n{};
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return n;
  std::vector<uint8_t> b(kBlk);
  for (int64_t k = 0; std::fread(b.data(), 1, kBlk, f) == kBlk; ++k) {
    ++n[0];
    if (k == 0) continue;
    const int32_t lp = qrx::codec::load_i32(b.data(), 0);
    ++n[lp == -1 ? 2 : lp > 0 ? 1 : 3];
  }
  std::fclose(f);
  return n;
}

struct Workload {
  const char *name;
  uint64_t ops = 0;
  Trace trace;
  uint64_t real_reads = 0;                                    // the library's pool of 2%, exact LRU with pins
  std::vector<std::array<uint64_t, kNumSizes>> reads, moves;  // per rule and size: reads, hand moves
};

struct Setup {
  std::string path;
  std::vector<Entry> live;    // entries in the file, in no particular order
  std::vector<Entry> sorted;  // the entries of the built file in key order (hot ranges)
  uint32_t cache[kNumSizes] = {};
  std::mt19937_64 rng{20240611};
};

bool find(cbt_tree *t, const Entry &e) {
  uint32_t item = 0;
  return cbfind(t, e.key.data(), kKeyLen, &item) == CBT_FOUND && item == e.item;
}

// Runs `body` on a fresh pool of the 2% size with the hook recording into w. `handles` trees are opened.
bool record(Setup &s, Workload &w, int handles, const std::function<bool(cbt_tree **)> &body) {
  if (cbinit(s.cache[kSize2], kBlk) != 1) return fail("cbinit");
  cbt_tree *t[2] = {nullptr, nullptr};
  for (int h = 0; h < handles; ++h)
    if ((t[h] = cbopen(s.path.c_str(), 2, nullptr)) == nullptr) return fail("cbopen");
  BufPool *pool = qrx::cbt::cbt_anchor_peek()->pool;
  g_rec.out = &w.trace;
  std::fill(g_rec.seen.begin(), g_rec.seen.end(), 0);
  g_rec.first_new = static_cast<int32_t>(file_blocks(s.path)[0]);
  const uint64_t before = pool_read_count(pool);
  pool_set_access_hook(&on_access);
  const bool ok = body(t);
  pool_set_access_hook(nullptr);
  w.real_reads = pool_read_count(pool) - before;
  w.trace.nblocks = static_cast<uint32_t>(g_rec.ids.size());
  for (int h = 0; h < handles; ++h)
    if (cbclose(t[h]) != 1) return fail("cbclose");
  if (cbexit() != 1) return fail("cbexit");
  return ok || fail(w.name);
}

// A present key: uniform, or with probability 0.9 one of the hot tenth of the key order.
const Entry &pick(Setup &s, bool hot, size_t hot_first) {
  const size_t n = s.sorted.size(), hot_n = std::max<size_t>(1, n / 10);
  if (hot && s.rng() % 10 != 0) return s.sorted[hot_first + s.rng() % hot_n];
  return s.sorted[s.rng() % n];
}

Entry random_entry(std::mt19937_64 &rng, uint32_t item) {
  Entry e{};
  for (size_t b = 0; b < kKeyLen; b += 8) {
    const uint64_t v = rng();
    std::memcpy(e.key.data() + b, &v, 8);
  }
  e.item = item;
  return e;
}

// The rules compared, in table order. GCLOCK runs with the weights 2, 4 and 8 of the study and with 16
// and 32, to show where the gain of a heavier interior weight ends.
const char *const kRules[] = {"LRU",        "CLOCK",       "interior-first LRU", "GCLOCK W=2", "GCLOCK W=4",
                              "GCLOCK W=8", "GCLOCK W=16", "GCLOCK W=32",        "2Q"};
constexpr uint32_t kWeights[] = {2, 4, 8, 16, 32};  // of the GCLOCK rows, in order
constexpr int kNumRules = 9, kInteriorFirst = 2, kFirstGclock = 3, kLastGclock = 7, kLastStudied = 5,
              kTwoQ = 8;

std::unique_ptr<replay::Rule> make_rule(int r, uint32_t n, uint32_t cap) {
  if (r == 0) return std::make_unique<replay::Lru>(n, cap);
  if (r == 1) return std::make_unique<replay::Clock>(n, cap);
  if (r == kInteriorFirst) return std::make_unique<replay::InteriorFirst>(n, cap);
  if (r == kTwoQ) return std::make_unique<replay::TwoQ>(n, cap);
  return std::make_unique<replay::GClock>(n, cap, 1, kWeights[r - kFirstGclock]);
}

void print_table(const Workload &w, const Setup &s) {
  std::printf("\n%s: %s operations, %s block accesses (%.2f per operation)\n", w.name, grouped(w.ops).c_str(),
              grouped(w.trace.accesses.size()).c_str(),
              static_cast<double>(w.trace.accesses.size()) / static_cast<double>(w.ops));
  uint64_t kinds[4] = {};
  for (const Access &a : w.trace.accesses) ++kinds[static_cast<int>(a.kind)];
  std::printf("  accesses: %s control, %s interior, %s leaf, %s unused\n", grouped(kinds[0]).c_str(),
              grouped(kinds[1]).c_str(), grouped(kinds[2]).c_str(), grouped(kinds[3]).c_str());
  // The library's pool runs exact LRU (QRX_POOL_RULE=lru) or its weighted clock, interior nodes
  // weighing 32: the simulated row of the same rule is the one to compare with.
  const bool lru = qrx::pool::default_rule() == qrx::pool::Rule::kLru;
  const int same = lru ? 0 : kLastGclock;
  const uint64_t sim = w.reads[same][kSize2];
  std::printf("  library pool of %u buffers (%s, pins): %s reads; simulated %s: %s (%+.2f%%)\n",
              s.cache[kSize2], lru ? "exact LRU" : "weighted clock", grouped(w.real_reads).c_str(),
              kRules[same], grouped(sim).c_str(),
              w.real_reads == 0 ? 0.0 : 100.0 * (static_cast<double>(sim) / w.real_reads - 1.0));
  std::printf("  %-20s", "reads/op (total)");
  for (int c = 0; c < kNumSizes; ++c) {
    char head[32];
    std::snprintf(head, sizeof head, "%.0f%% = %u bufs", kSizes[c] * 100, s.cache[c]);
    std::printf("%22s", head);
  }
  std::printf("\n");
  for (int r = 0; r < kNumRules; ++r) {
    std::printf("  %-20s", kRules[r]);
    for (int c = 0; c < kNumSizes; ++c) {
      char cell[48];
      std::snprintf(cell, sizeof cell, "%.3f (%s)", static_cast<double>(w.reads[r][c]) / w.ops,
                    grouped(w.reads[r][c]).c_str());
      std::printf("%22s", cell);
    }
    std::printf("\n");
  }
}

// Totals per rule over all workloads, at one size (size >= 0) or summed over all sizes (size < 0).
std::array<uint64_t, kNumRules> totals(const std::vector<Workload> &ws, int size) {
  std::array<uint64_t, kNumRules> t{};
  for (const Workload &w : ws)
    for (int r = 0; r < kNumRules; ++r)
      for (int c = 0; c < kNumSizes; ++c)
        if (size < 0 || c == size) t[r] += w.reads[r][c];
  return t;
}

// The best GCLOCK row among [first, last].
int best_of(const std::array<uint64_t, kNumRules> &t, int first, int last) {
  int best = first;
  for (int r = first; r <= last; ++r)
    if (t[r] < t[best]) best = r;
  return best;
}

void print_summary(const std::vector<Workload> &ws, int size, const char *label) {
  const auto t = totals(ws, size);
  const int best = static_cast<int>(std::min_element(t.begin(), t.end()) - t.begin());
  const auto pct = [&](int r, int base) { return 100.0 * (1.0 - static_cast<double>(t[r]) / t[base]); };
  std::printf("fewest total reads over all workloads %s: %s, %s reads (%.2f%% fewer than LRU's %s)\n", label,
              kRules[best], grouped(t[best]).c_str(), pct(best, 0), grouped(t[0]).c_str());
  const int studied = best_of(t, kFirstGclock, kLastStudied), any = best_of(t, kFirstGclock, kLastGclock);
  std::vector<int> bases{studied};
  if (any != studied) bases.push_back(any);
  for (int g : bases) {
    for (int r : {kInteriorFirst, kTwoQ}) {
      const double margin = pct(r, g);
      std::printf("  %s: %s reads, %.2f%% %s than the best GCLOCK %s(%s, %s): %s\n", kRules[r],
                  grouped(t[r]).c_str(), std::abs(margin), margin >= 0 ? "fewer" : "more",
                  g == studied ? "of W = 2, 4, 8 " : "of all weights ", kRules[g], grouped(t[g]).c_str(),
                  margin > 2.0 ? "a clear margin (> 2%)" : "no clear margin");
    }
  }
}

// Hand moves per miss of the sweeping rules at one size, over all workloads: the work of a miss.
void print_moves(const std::vector<Workload> &ws, int size) {
  std::printf("clock hand moves per miss at %.0f%%:", kSizes[size] * 100);
  for (int r = 1; r < kNumRules; ++r) {
    if (r == kInteriorFirst || r == kTwoQ) continue;
    uint64_t moves = 0, misses = 0;
    for (const Workload &w : ws) {
      moves += w.moves[r][size];
      misses += w.reads[r][size];
    }
    std::printf("%s %s %.1f", r == 1 ? "" : ",", kRules[r],
                misses == 0 ? 0.0 : static_cast<double>(moves) / misses);
  }
  std::printf("\n");
}

bool run(const std::string &dir, size_t n, uint64_t ops) {
  using Clock = std::chrono::steady_clock;
  const auto t0 = Clock::now();
  Setup s;
  s.path = dir + "/replay.idx";
  s.live.reserve(n);
  for (size_t i = 0; i < n; ++i) s.live.push_back(random_entry(s.rng, static_cast<uint32_t>(i)));
  // Build with a pool larger than the tree; the trace of a workload does not depend on the pool's size.
  if (cbinit(static_cast<uint32_t>(n / 16 + 1024), kBlk) != 1) return fail("cbinit");
  cbt_tree *t = cbcreate(s.path.c_str(), nullptr, kBlk);
  if (t == nullptr) return fail("cbcreate");
  for (const Entry &e : s.live)
    if (cbinsert(t, e.key.data(), kKeyLen, e.item, 0) != 1) return fail("cbinsert");
  const int32_t depth = cbdepth(t);
  if (cbclose(t) != 1 || cbexit() != 1) return fail("closing the built tree");
  s.sorted = s.live;
  std::sort(s.sorted.begin(), s.sorted.end(), [](const Entry &a, const Entry &b) { return a.key < b.key; });
  const auto blocks = file_blocks(s.path);
  for (int c = 0; c < kNumSizes; ++c)
    s.cache[c] = std::max<uint32_t>(4, static_cast<uint32_t>(std::lround(kSizes[c] * blocks[0])));
  const size_t hot_first = s.rng() % (n - n / 10 + 1);

  std::vector<Workload> ws(5);
  ws[0].name = "(a) random lookups of present keys";
  ws[0].ops = ops;
  bool ok = record(s, ws[0], 1, [&](cbt_tree **h) {
    for (uint64_t i = 0; i < ops; ++i)
      if (!find(h[0], pick(s, false, 0))) return false;
    return true;
  });
  ws[1].name = "(b) full forward scan (cbhead, cbnext to the end)";
  ok = ok && record(s, ws[1], 1, [&](cbt_tree **h) {
         uint32_t item = 0;
         for (int32_t rc = cbhead(h[0], &item); rc == CBT_POS_OK; rc = cbnext(h[0], &item)) ++ws[1].ops;
         return ws[1].ops == n;
       });
  ++ws[1].ops;  // the cbnext that reached the end
  ws[2].name = "(c) hot lookups: 90% on a contiguous tenth of the keys";
  ws[2].ops = ops;
  ok = ok && record(s, ws[2], 1, [&](cbt_tree **h) {
         for (uint64_t i = 0; i < ops; ++i)
           if (!find(h[0], pick(s, true, hot_first))) return false;
         return true;
       });
  ws[3].name = "(d) hot lookups of (c) with a second handle scanning 5 entries per lookup";
  ok = ok && record(s, ws[3], 2, [&](cbt_tree **h) {
         uint32_t item = 0;
         if (cbhead(h[1], &item) != CBT_POS_OK) return false;
         for (uint64_t i = 0; i < ops; ++i) {
           if (!find(h[0], pick(s, true, hot_first))) return false;
           for (int k = 0; k < kScanStep; ++k, ++ws[3].ops)
             if (cbnext(h[1], &item) != CBT_POS_OK && cbhead(h[1], &item) != CBT_POS_OK) return false;
         }
         ws[3].ops += ops;
         return true;
       });
  ws[4].name = "(e) mixed: 50% lookups, 25% inserts, 25% deletes";
  ws[4].ops = ops;
  ok = ok && record(s, ws[4], 1, [&](cbt_tree **h) {
         uint32_t next_item = static_cast<uint32_t>(n);
         for (uint64_t i = 0; i < ops; ++i) {
           const uint64_t dice = s.rng() % 4;
           if (dice < 2) {
             if (!find(h[0], s.live[s.rng() % s.live.size()])) return false;
           } else if (dice == 2) {
             const Entry e = random_entry(s.rng, next_item++);
             if (cbinsert(h[0], e.key.data(), kKeyLen, e.item, 0) != 1) return false;
             s.live.push_back(e);
           } else {
             const size_t k = s.rng() % s.live.size();
             const Entry &e = s.live[k];
             if (cbdelete(h[0], e.key.data(), kKeyLen, e.item) != 1) return false;
             s.live[k] = s.live.back();
             s.live.pop_back();
           }
         }
         return true;
       });
  if (!ok) return false;
  const auto t1 = Clock::now();

  for (Workload &w : ws) {
    w.reads.resize(kNumRules);
    w.moves.resize(kNumRules);
    for (int r = 0; r < kNumRules; ++r)
      for (int c = 0; c < kNumSizes; ++c) {
        auto rule = make_rule(r, w.trace.nblocks, s.cache[c]);
        w.reads[r][c] = replay::replay_reads(w.trace, *rule);
        w.moves[r][c] = rule->hand_moves();
      }
  }
  const auto t2 = Clock::now();

  std::printf("Buffer-replacement rules replayed on recorded B-tree access traces\n");
  std::printf(
      "%s keys of 16 random bytes, 4096-byte blocks, depth %d: %s blocks (%s interior, %s leaf, %s "
      "unused, 1 control)\n",
      grouped(n).c_str(), depth, grouped(blocks[0]).c_str(), grouped(blocks[1]).c_str(),
      grouped(blocks[2]).c_str(), grouped(blocks[3]).c_str());
  std::printf("pools of 1%%, 2%%, 5%% and 10%% of the blocks, cold: every read of the whole trace counts\n");
  std::printf("block pins are not modelled (the real pool pins at most a handful of blocks per operation)\n");
  std::printf(
      "a block appended during a trace takes a buffer without a read, as the pool's empty_blk does\n");
  for (const Workload &w : ws) print_table(w, s);
  std::printf("\n");
  print_summary(ws, kSize2, "at 2%");
  print_summary(ws, -1, "and all sizes");
  print_moves(ws, kSize2);
  std::printf("recording %.1f s, replay %.1f s\n", std::chrono::duration<double>(t1 - t0).count(),
              std::chrono::duration<double>(t2 - t1).count());
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  size_t n = 1000000;
  uint64_t ops = 200000;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") {
      n = 50000, ops = 20000;
    } else if (a == "--n" && i + 1 < argc) {
      n = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--ops" && i + 1 < argc) {
      ops = std::strtoull(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: %s [--quick] [--n KEYS] [--ops OPERATIONS]\n", argv[0]);
      return 2;
    }
  }
  if (n < 100 || ops == 0) {
    std::fprintf(stderr, "replay_bench: --n must be at least 100 and --ops at least 1\n");
    return 2;
  }
  const char *base = std::getenv("TMPDIR");
  std::string dir = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qrxreplay.XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) return fail("mkdtemp") ? 0 : 1;
  const bool ok = run(dir, n, ops);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ok ? 0 : 1;
}
