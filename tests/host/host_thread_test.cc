// Host services under several threads: once-only steps, per-thread blocks, locks, the registry,
// storage areas and whole trace lines.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <latch>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/qrxhost.h"
#include "support/test_util.h"

namespace {

constexpr int kThreads = 6;

template <class Fn>
void run_together(Fn fn) {
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back([&, i] { start.arrive_and_wait(), fn(i); });
  for (auto &t : threads) t.join();
}

std::atomic<int> g_runs{0}, g_inits{0}, g_ends{0};
std::atomic<bool> g_finished{false};
volatile int32_t g_word = 0;
void slow_step(void *) {
  g_runs++;
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  g_finished = true;
}
void init_block(void *p) {
  std::memcpy(p, "B10C", 4), g_inits++;
}
void end_block(void *p) {
  EXPECT_EQ(std::memcmp(p, "B10C", 4), 0);
  g_ends++;
}

TEST(HostThreads, OnceBlocksLocksRegistryAndStorage) {
  static OSV1_ThreadKey key = {64, &init_block, &end_block, 0, 0};
  OSV1_Lock lock;
  ASSERT_EQ(OSV1_InitializeLock(&lock), 0);
  RGY1_Name name{"THR1", 4, 4};
  HPM1_Handle storage{}, area{};
  ASSERT_EQ(HPM1_GetStorageHandle(&storage, nullptr), HPM1_OK);
  ASSERT_EQ(HPM1_CreateArea(&storage, "THRAREA", 0, 32, 32, &area), HPM1_OK);
  std::mutex m;
  std::set<void *> blocks;
  std::vector<void *> anchors(kThreads);
  std::atomic<int> early{0}, created{0}, failures{0};
  long counter = 0;                   // only the lock protects it
  std::latch all_resolved(kThreads);  // every block alive at once, so no address is reused
  run_together([&](int i) {
    OSV1_InitializeOnce(&g_word, &slow_step, nullptr, __FILE__, __LINE__);
    if (!g_finished) early++;
    void *b = OSV1_ResolveThread(&key, __FILE__, __LINE__);
    EXPECT_EQ(OSV1_ResolveThread(&key, __FILE__, __LINE__), b);
    {
      std::lock_guard<std::mutex> g(m);
      blocks.insert(b);
    }
    if (RGY1_LocateCreateAnchor(&name, 64, &anchors[i], nullptr) == RGY1_CREATED) created++;
    for (int n = 0; n < 2000; ++n) OSV1_GetLock(&lock), ++counter, OSV1_ReleaseLock(&lock);
    std::vector<void *> mine;
    for (int n = 0; n < 200; ++n) {
      void *p = nullptr;
      if (HPM1_AllocateStorage(&area, 32, &p) != HPM1_OK) {
        failures++;
        continue;
      }
      std::memset(p, i, 32), mine.push_back(p);  // a piece given twice would be overwritten
      if (n % 3 == 0) {
        if (static_cast<unsigned char *>(mine.front())[31] != i) failures++;
        HPM1_FreeStorage(&area, mine.front()), mine.erase(mine.begin());
      }
    }
    for (void *p : mine)
      if (static_cast<unsigned char *>(p)[0] != i) failures++;
    all_resolved.arrive_and_wait();
  });
  EXPECT_EQ(g_runs, 1);
  EXPECT_EQ(early, 0);
  EXPECT_EQ(blocks.size(), size_t{kThreads});
  EXPECT_EQ(g_inits, kThreads);
  EXPECT_EQ(g_ends, kThreads);
  EXPECT_EQ(counter, kThreads * 2000L);
  EXPECT_EQ(created, 1);
  for (void *p : anchors) EXPECT_EQ(p, anchors[0]);
  EXPECT_EQ(failures, 0);
  RGY1_ForgetAnchorAddress(&name, nullptr);
  OSV1_FreeMem(anchors[0], nullptr);
  EXPECT_EQ(HPM1_DestroySpace(&area), HPM1_OK);
  EXPECT_EQ(OSV1_DestroyLock(&lock), 0);
}

TEST(HostThreads, TraceLinesFromManyThreadsStayWholeAndInOrder) {
  qrx::test::TempDir dir;
  int saved = dup(STDERR_FILENO), fd = open(dir.file("lines").c_str(), O_WRONLY | O_CREAT, 0644);
  dup2(fd, STDERR_FILENO), close(fd);
  TLG1_Unit unit = {"lines.cc", 0, 0};
  const std::string filler(300, '=');
  run_together([&](int i) {
    for (int n = 0; n < 300; ++n) qrxtrerr(&unit, i, "t%d n%d %s end", i, n, filler.c_str());
  });
  dup2(saved, STDERR_FILENO), close(saved);
  std::istringstream in(qrx::test::read_file(dir.file("lines")));
  std::string line;
  std::vector<int> next(kThreads, 0);
  int count = 0, t = -1, n = -1;
  for (; std::getline(in, line); ++count) {
    ASSERT_EQ(std::sscanf(line.c_str(), "qrx lines.cc:%*d ERROR t%d n%d", &t, &n), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(line, "qrx lines.cc:" + std::to_string(t) + " ERROR t" + std::to_string(t) + " n" +
                        std::to_string(n) + " " + filler + " end");
    EXPECT_EQ(n, next[t]++);
  }
  EXPECT_EQ(count, kThreads * 300);
}

}  // namespace
