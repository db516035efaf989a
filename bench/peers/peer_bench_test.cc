// peer_bench_test.cc - checks of the benchmark itself: the key sets the workloads rely on, the report's
// calculations, the command line and choice of engines both benchmark programs share, and that every
// engine adapter keeps the same contract (so that no engine is measured doing less than the others).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "bench/peers/engine.h"
#include "bench/peers/harness.h"
#include "bench/peers/stats.h"
#include "bench/peers/workloads.h"

namespace qrx::peers {

// Test names and failure messages show the engine by name.
void PrintTo(const EngineEntry &e, std::ostream *os) {
  *os << e.name;
}

namespace {

using Key = std::array<uint8_t, kKeyLen>;

Key present(uint64_t seed, uint64_t i) {
  Key k;
  present_key(seed, i, k.data());
  return k;
}
Key absent(uint64_t seed, uint64_t i) {
  Key k;
  absent_key(seed, i, k.data());
  return k;
}
Key ascending(uint64_t seed, uint64_t i) {
  Key k;
  ascending_key(seed, i, k.data());
  return k;
}

// ---- keys ------------------------------------------------------------------------------------------

TEST(Keys, PresentKeysAreDistinctAndAbsentKeysNeverCollideWithThem) {
  constexpr uint64_t kN = 50000;
  std::set<Key> seen;
  for (uint64_t i = 0; i < kN; ++i) ASSERT_TRUE(seen.insert(present(7, i)).second) << "index " << i;
  for (uint64_t i = 0; i < kN; ++i) ASSERT_EQ(seen.count(absent(7, i)), 0u) << "index " << i;
}

TEST(Keys, AscendingKeysIncreaseStrictlyInByteOrder) {
  Key prev = ascending(7, 0);
  for (uint64_t i = 1; i < 70000; ++i) {  // crosses the carry into the second and third byte
    Key k = ascending(7, i);
    ASSERT_LT(std::memcmp(prev.data(), k.data(), kKeyLen), 0) << "index " << i;
    prev = k;
  }
}

TEST(Keys, PresentKeysLookRandomSoIndexOrderIsARandomInsertOrder) {
  // In byte order, a random sequence goes up about half of the time.
  int ups = 0;
  for (uint64_t i = 1; i <= 10000; ++i)
    ups += std::memcmp(present(7, i - 1).data(), present(7, i).data(), kKeyLen) < 0;
  EXPECT_GT(ups, 4500);
  EXPECT_LT(ups, 5500);
}

TEST(Keys, TheSeedChoosesTheSet) {
  EXPECT_EQ(present(7, 123), present(7, 123));
  EXPECT_NE(present(7, 123), present(8, 123));
}

// ---- report calculations -------------------------------------------------------------------------

TEST(Stats, MedianOfOddAndEvenCounts) {
  EXPECT_EQ(median({}), 0);
  EXPECT_EQ(median({5, 1, 3}), 3);
  EXPECT_EQ(median({4, 1, 3, 2}), 2.5);
}

TEST(Stats, SpreadIsRangeOverMedian) {
  EXPECT_EQ(spread({10}), 0);
  EXPECT_DOUBLE_EQ(spread({90, 100, 110}), 20.0);
}

TEST(Stats, CachedLevelsCountWholeLevelsFromTheRoot) {
  EXPECT_EQ(cached_levels({1, 75, 8394}, 169), 2);
  EXPECT_EQ(cached_levels({1, 75, 8394}, 76), 2);  // exactly fits
  EXPECT_EQ(cached_levels({1, 75, 8394}, 75), 1);
  EXPECT_EQ(cached_levels({1, 75, 8394}, 0), 0);
  EXPECT_EQ(cached_levels({1, 2}, 1e9), 2);
  EXPECT_EQ(cached_levels({}, 10), 0);
}

// ---- harness ---------------------------------------------------------------------------------------

// Parses `args` as a command line with one program option, --extra V.
bool parse(std::vector<std::string> args, Settings &st, CommonOptions &o, std::string *extra) {
  args.insert(args.begin(), "bench");
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  return parse_options(static_cast<int>(argv.size()), argv.data(), st, o,
                       [&](const std::string &a, auto value) {
                         if (a != "--extra") return false;
                         *extra = value();
                         return true;
                       });
}

TEST(Harness, QuickGivesWayToExplicitOptionsAndBadArgumentsAreRefused) {
  Settings st;
  CommonOptions o;
  std::string extra;
  ASSERT_TRUE(
      parse({"--quick", "--runs", "2", "--extra", "x", "--engines", "a,b", "--seed", "9"}, st, o, &extra));
  EXPECT_EQ(st.n, 20000u);
  EXPECT_EQ(o.runs, 2);
  EXPECT_EQ(st.seed, 9u);
  EXPECT_EQ(extra, "x");
  EXPECT_EQ(o.engines, (std::vector<std::string>{"a", "b"}));
  Settings st2;
  CommonOptions o2;
  ASSERT_TRUE(parse({"--n", "500", "--quick"}, st2, o2, &extra));
  EXPECT_EQ(st2.n, 500u);
  EXPECT_EQ(o2.runs, 1);
  for (const std::vector<std::string> &bad : std::vector<std::vector<std::string>>{
           {"--bogus"}, {"--n"}, {"--n", "x"}, {"--n", "1"}, {"--n", "2147483648"}, {"--runs", "0"}}) {
    Settings s;
    CommonOptions c;
    EXPECT_FALSE(parse(bad, s, c, &extra)) << bad.front();
  }
}

TEST(Harness, EnginesAreChosenInTableOrderAndAnUnknownNameIsNamed) {
  std::vector<EngineEntry> chosen;
  std::string unknown;
  ASSERT_TRUE(select_engines(all_engines(), {"sqlite", "qrx"}, &chosen, &unknown));
  ASSERT_EQ(chosen.size(), 2u);
  EXPECT_STREQ(chosen[0].name, "qrx");
  EXPECT_STREQ(chosen[1].name, "sqlite");
  chosen.clear();
  EXPECT_FALSE(select_engines(all_engines(), {"qrx", "nosuch"}, &chosen, &unknown));
  EXPECT_EQ(unknown, "nosuch");
}

// ---- engine contract ------------------------------------------------------------------------------

class EngineContract : public ::testing::TestWithParam<EngineEntry> {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "peerbench.XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    engine_ = GetParam().make();
    ASSERT_NE(engine_, nullptr);
  }
  void TearDown() override {
    engine_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string base() const { return dir_ + "/db"; }

  // Loads keys 0..n-1 with their index as item, in one transaction.
  void load(uint64_t n) {
    engine_->begin(true);
    for (uint64_t i = 0; i < n; ++i) engine_->insert(present(1, i).data(), static_cast<uint32_t>(i));
    engine_->commit();
  }

  ScanResult scan() {
    engine_->begin(false);
    ScanResult r = engine_->scan();
    engine_->commit();
    return r;
  }

  std::string dir_;
  std::unique_ptr<Engine> engine_;
};

constexpr uint64_t kEntries = 3000;  // several blocks and more than one level in every engine

TEST_P(EngineContract, FindsEveryLoadedKeyWithItsItemAndNoOtherKey) {
  engine_->create(base(), 1 << 20);
  load(kEntries);
  engine_->begin(false);
  for (uint64_t i = 0; i < kEntries; ++i) {
    uint32_t item = 0;
    ASSERT_TRUE(engine_->find(present(1, i).data(), &item)) << "index " << i;
    ASSERT_EQ(item, i);
    ASSERT_FALSE(engine_->find(absent(1, i).data(), &item)) << "index " << i;
  }
  engine_->commit();
  engine_->close();
}

TEST_P(EngineContract, ScanVisitsEveryEntryOnceInKeyOrder) {
  engine_->create(base(), 1 << 20);
  load(kEntries);
  ScanResult r = scan();
  EXPECT_EQ(r.count, kEntries);
  EXPECT_EQ(r.item_sum, kEntries * (kEntries - 1) / 2);
  ScanResult expect;
  std::vector<Key> keys;
  for (uint64_t i = 0; i < kEntries; ++i) keys.push_back(present(1, i));
  for (uint64_t i = 0; i < kEntries; ++i) scan_add(expect, keys[i].data(), static_cast<uint32_t>(i));
  EXPECT_EQ(r.key_digest, expect.key_digest);
  engine_->close();
}

TEST_P(EngineContract, RefusesADuplicateKeyAndTheDeletionOfAMissingOne) {
  engine_->create(base(), 1 << 20);
  load(10);
  engine_->begin(true);
  EXPECT_THROW(engine_->insert(present(1, 3).data(), 99), EngineError);
  EXPECT_THROW(engine_->erase(absent(1, 3).data(), 3), EngineError);
  engine_->commit();
  EXPECT_EQ(scan().count, 10u);
  engine_->close();
}

TEST_P(EngineContract, ErasedKeysAreGoneAndTheRestStays) {
  engine_->create(base(), 1 << 20);
  load(kEntries);
  engine_->begin(true);
  for (uint64_t i = 0; i < kEntries; i += 2) engine_->erase(present(1, i).data(), static_cast<uint32_t>(i));
  engine_->commit();
  engine_->begin(false);
  for (uint64_t i = 0; i < kEntries; ++i) {
    uint32_t item = 0;
    ASSERT_EQ(engine_->find(present(1, i).data(), &item), i % 2 == 1) << "index " << i;
  }
  engine_->commit();
  EXPECT_EQ(scan().count, kEntries / 2);
  engine_->close();
}

TEST_P(EngineContract, ReopenedDatabaseHoldsWhatWasLoaded) {
  if (!engine_->persistent()) GTEST_SKIP() << "in-memory engine";
  engine_->create(base(), 1 << 20);
  load(kEntries);
  engine_->flush();
  engine_->close();
  uint64_t bytes = 0;
  for (const std::string &f : engine_->files(base())) bytes += file_size(f);
  EXPECT_GT(bytes, kEntries * (kKeyLen + 4)) << "the data did not reach the files";
  engine_->open(base(), 64 * kPageSize);  // a small cache, as in the out-of-cache workload
  EXPECT_EQ(scan().count, kEntries);
  uint32_t item = 0;
  engine_->begin(false);
  EXPECT_TRUE(engine_->find(present(1, kEntries - 1).data(), &item));
  engine_->commit();
  EXPECT_EQ(item, kEntries - 1);
  engine_->close();
}

TEST(QrxEngine, CountsPoolReadsAndReportsItsLevels) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "peerbench.XXXXXX").string();
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  const std::string base = tmpl + "/db";
  std::unique_ptr<Engine> e = make_qrx_engine();
  e->create(base, 1 << 20);
  for (uint64_t i = 0; i < kEntries; ++i) e->insert(present(1, i).data(), static_cast<uint32_t>(i));
  const int32_t depth = e->depth();
  e->close();
  std::vector<int64_t> levels = e->level_blocks(base);
  ASSERT_EQ(static_cast<int32_t>(levels.size()), depth);
  EXPECT_EQ(levels.front(), 1);  // the root
  EXPECT_TRUE(std::is_sorted(levels.begin(), levels.end()));
  // Every block but block 0 belongs to a level right after a load that deleted nothing.
  int64_t blocks = 0;
  for (int64_t c : levels) blocks += c;
  EXPECT_EQ(static_cast<uint64_t>(blocks + 1) * kPageSize, file_size(base + ".cbt"));

  // A cold pool of 4 buffers reads the path of a lookup from the file.
  e->open(base, 4 * kPageSize);
  const int64_t before = e->block_reads();
  uint32_t item = 0;
  ASSERT_TRUE(e->find(present(1, 17).data(), &item));
  EXPECT_EQ(e->block_reads() - before, depth);
  // The same lookup again finds the path in the pool.
  ASSERT_TRUE(e->find(present(1, 17).data(), &item));
  EXPECT_EQ(e->block_reads() - before, depth);
  e->close();
  e.reset();
  std::error_code ec;
  std::filesystem::remove_all(tmpl, ec);
}

// The threads workload: every thread's keys are found with their items, in its own file or in the one
// file all threads share (engines whose handles can share one; the others fail that run), and a failure
// of one thread fails the run.
TEST_P(EngineContract, ThreadsWorkloadFindsEveryThreadsKeys) {
  Settings s;
  s.n = kEntries;
  s.dir = dir_;
  s.cache_bytes = default_cache_bytes(s.n);
  for (bool one_file : {false, true}) {
    RunResult r;
    run_threads(GetParam().make, s, 3, one_file, r);
    const bool runs = !one_file || GetParam().make()->can_share();
    EXPECT_EQ(r.ok, runs ? 1 : 0) << one_file << r.error;
    if (runs) {
      EXPECT_TRUE(r.threads_insert_ops > 0 && r.threads_lookup_ops > 0) << one_file;
    }
  }
  s.dir = dir_ + "/missing";  // no such directory: the creates fail
  RunResult bad;
  run_threads(GetParam().make, s, 2, false, bad);
  EXPECT_EQ(bad.ok, GetParam().make()->persistent() ? 0 : 1) << bad.error;
}

INSTANTIATE_TEST_SUITE_P(AllEngines, EngineContract, ::testing::ValuesIn(all_engines()),
                         [](const ::testing::TestParamInfo<EngineEntry> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace qrx::peers
