// The host services under several threads: once-only steps, per-thread blocks, locks, the anchor
// registry, storage areas, the trace flag word and whole trace lines.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <latch>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/qrxhost.h"
#include "support/test_util.h"

namespace {

constexpr int kThreads = 6;

// Starts n threads that run fn(i) together and joins them.
template <class Fn>
void run_together(int n, Fn fn) {
  std::latch start(n);
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i)
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      fn(i);
    });
  for (auto &t : threads) t.join();
}

// ---------------------------------------------------------------------------------------------------
struct SlowStep {
  volatile int32_t word = 0;
  std::atomic<int> runs{0};
  std::atomic<bool> finished{false};
};
void slow_step(void *arg) {
  auto *s = static_cast<SlowStep *>(arg);
  s->runs++;
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  s->finished = true;
}

TEST(OnceThreads, RunsExactlyOnceAndEveryCallerWaitsForTheEnd) {
  SlowStep step;
  std::atomic<int> returned_early{0};
  run_together(kThreads, [&](int) {
    OSV1_InitializeOnce(&step.word, &slow_step, &step, __FILE__, __LINE__);
    if (!step.finished) returned_early++;
  });
  EXPECT_EQ(step.runs, 1);
  EXPECT_EQ(returned_early, 0);
  EXPECT_LT(step.word, 0);
}

struct TwoSteps {
  volatile int32_t outer = 0;
  volatile int32_t inner = 0;
  std::atomic<int> outer_runs{0};
  std::atomic<int> inner_runs{0};
};
void inner_of_two(void *arg) {
  static_cast<TwoSteps *>(arg)->inner_runs++;
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
void outer_of_two(void *arg) {
  auto *s = static_cast<TwoSteps *>(arg);
  s->outer_runs++;
  OSV1_InitializeOnce(&s->inner, &inner_of_two, s, __FILE__, __LINE__);
}

TEST(OnceThreads, NestedStepsWhileOtherThreadsAskForTheInnerOne) {
  TwoSteps s;
  run_together(kThreads, [&](int i) {
    if (i % 2 == 0)
      OSV1_InitializeOnce(&s.outer, &outer_of_two, &s, __FILE__, __LINE__);
    else
      OSV1_InitializeOnce(&s.inner, &inner_of_two, &s, __FILE__, __LINE__);
    EXPECT_LT(s.inner, 0);
  });
  EXPECT_EQ(s.outer_runs, 1);
  EXPECT_EQ(s.inner_runs, 1);
}

// ---------------------------------------------------------------------------------------------------
struct PerThread {
  uint32_t magic;
  uint32_t uses;
  char rest[56];
};
std::atomic<int> g_inits{0};
std::atomic<int> g_ends{0};
std::mutex g_ended_mutex;
std::set<void *> g_ended;  // guarded by g_ended_mutex

void init_block(void *p) {
  auto *b = static_cast<PerThread *>(p);
  EXPECT_EQ(b->magic, 0u);  // handed over zero-filled
  b->magic = 0xB10C;
  g_inits++;
}
void end_block(void *p) {
  EXPECT_EQ(static_cast<PerThread *>(p)->magic, 0xB10Cu);
  g_ends++;
  std::lock_guard<std::mutex> g(g_ended_mutex);
  g_ended.insert(p);
}

TEST(ThreadBlocks, EachThreadGetsItsOwnBlockWithInitAndEnd) {
  static OSV1_ThreadKey key = {sizeof(PerThread), &init_block, &end_block, 0, 0};
  std::mutex m;
  std::set<void *> blocks;
  std::latch all_resolved(kThreads);  // every block is alive at once, so no address can be reused
  run_together(kThreads, [&](int) {
    auto *b = static_cast<PerThread *>(OSV1_ResolveThread(&key, __FILE__, __LINE__));
    if (b == nullptr) {
      ADD_FAILURE() << "no per-thread block";
      all_resolved.count_down();
      return;
    }
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % alignof(std::max_align_t), 0u);
    for (int n = 0; n < 100; ++n) {
      EXPECT_EQ(OSV1_ResolveThread(&key, __FILE__, __LINE__), b);  // the same block every time
      b->uses++;
    }
    EXPECT_EQ(b->uses, 100u);  // nobody else writes it
    {
      std::lock_guard<std::mutex> g(m);
      blocks.insert(b);
    }
    all_resolved.arrive_and_wait();
  });
  EXPECT_EQ(blocks.size(), static_cast<size_t>(kThreads));
  EXPECT_EQ(g_inits, kThreads);
  EXPECT_EQ(g_ends, kThreads);  // every thread has ended (joined) and handed its block to end
  std::lock_guard<std::mutex> g(g_ended_mutex);
  EXPECT_EQ(g_ended, blocks);
}

// ---------------------------------------------------------------------------------------------------
TEST(LockThreads, GetExcludesEveryOtherHolder) {
  OSV1_Lock lock;
  ASSERT_EQ(OSV1_InitializeLock(&lock), 0);
  long counter = 0;  // plain on purpose: only the lock protects it
  run_together(kThreads, [&](int) {
    for (int n = 0; n < 5000; ++n) {
      OSV1_GetLock(&lock);
      ++counter;
      OSV1_ReleaseLock(&lock);
    }
  });
  EXPECT_EQ(counter, kThreads * 5000L);
  EXPECT_EQ(OSV1_DestroyLock(&lock), 0);
}

TEST(RegistryThreads, ExactlyOneCreatorWhenAllCreateAtOnce) {
  RGY1_Name name{"THR1", 4, 4};
  std::atomic<int> created{0};
  std::atomic<int> existed{0};
  std::vector<void *> got(kThreads);
  run_together(kThreads, [&](int i) {
    int32_t rc = RGY1_LocateCreateAnchor(&name, 64, &got[i], nullptr);
    (rc == RGY1_CREATED ? created : existed)++;
  });
  EXPECT_EQ(created, 1);
  EXPECT_EQ(existed, kThreads - 1);
  for (void *p : got) EXPECT_EQ(p, got[0]);
  RGY1_ForgetAnchorAddress(&name, nullptr);
  OSV1_FreeMem(got[0], nullptr);
}

TEST(StorageThreads, ConcurrentAllocateAndFreeInOneArea) {
  HPM1_Handle storage{}, area{};
  ASSERT_EQ(HPM1_GetStorageHandle(&storage, nullptr), HPM1_OK);
  ASSERT_EQ(HPM1_CreateArea(&storage, "THRAREA", 0, 32, 32, &area), HPM1_OK);
  std::atomic<int> failures{0};
  run_together(kThreads, [&](int i) {
    std::vector<void *> mine;
    for (int n = 0; n < 200; ++n) {
      void *p = nullptr;
      if (HPM1_AllocateStorage(&area, 32, &p) != HPM1_OK) {
        failures++;
        continue;
      }
      std::memset(p, i, 32);  // a piece handed to two threads at once would be overwritten
      mine.push_back(p);
      if (n % 3 == 0) {
        void *q = mine.front();
        mine.erase(mine.begin());
        if (static_cast<unsigned char *>(q)[31] != i) failures++;
        if (HPM1_FreeStorage(&area, q) != HPM1_OK) failures++;
      }
    }
    for (void *p : mine)
      if (static_cast<unsigned char *>(p)[0] != i || HPM1_ElementState(&area, p) != HPM1_ELEMENT_LIVE)
        failures++;
  });
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(HPM1_DestroySpace(&area), HPM1_OK);
}

// ---------------------------------------------------------------------------------------------------
TEST(TraceThreads, UnitsSeeTheLastFlagWordAfterConcurrentChanges) {
  uint32_t saved = TLG1_Flags(nullptr);
  static TLG1_Unit units[4] = {{"a.cc", 0, 0}, {"b.cc", 0, 0}, {"c.cc", 0, 0}, {"d.cc", 0, 0}};
  run_together(kThreads, [&](int i) {
    for (uint32_t n = 0; n < 2000; ++n) {
      if (i == 0)
        TLG1_SetFlags(n);
      else
        (void)TLG1_Flags(&units[n % 4]);
    }
  });
  TLG1_SetFlags(0x77);
  for (auto &u : units) EXPECT_EQ(TLG1_Flags(&u), 0x77u);
  TLG1_SetFlags(saved);
}

TEST(TraceThreads, LinesFromManyThreadsStayWhole) {
  qrx::test::TempDir dir;
  std::string path = dir.file("lines");
  int saved = dup(STDERR_FILENO);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  dup2(fd, STDERR_FILENO);
  close(fd);
  TLG1_Unit unit = {"lines.cc", 0, 0};
  const std::string filler(300, '=');
  run_together(kThreads, [&](int i) {
    for (int n = 0; n < 300; ++n) qrxtrerr(&unit, i, "t%d n%d %s end", i, n, filler.c_str());
  });
  dup2(saved, STDERR_FILENO);
  close(saved);

  std::istringstream in(qrx::test::read_file(path));
  std::string line;
  int count = 0;
  std::vector<int> next(kThreads, 0);
  while (std::getline(in, line)) {
    int t = -1, n = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "qrx lines.cc:%*d ERROR t%d n%d", &t, &n), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(line, "qrx lines.cc:" + std::to_string(t) + " ERROR t" + std::to_string(t) + " n" +
                        std::to_string(n) + " " + filler + " end");
    EXPECT_EQ(n, next[t]++) << "lines of one thread keep their order";
    ++count;
  }
  EXPECT_EQ(count, kThreads * 300);
}

}  // namespace
