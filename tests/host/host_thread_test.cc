// Host services under threads: once-only steps, per-thread blocks, locks, registry, storage, trace lines.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <latch>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/qrxhost.h"
#include "support/test_util.h"

namespace {

constexpr int kThreads = 6;
std::atomic<int> g_runs{0}, g_blocks{0};
volatile int32_t g_word = 0;
void (*const kSlowStep)(void *) = [](void *) { g_runs++, usleep(30000), g_runs++; };

TEST(HostThreads, OnceBlocksLocksRegistryStorageAndTraceLines) {
  static OSV1_ThreadKey key = {64, [](void *p) { std::memcpy(p, "B10C", 4), g_blocks++; },
                               [](void *p) { g_blocks += std::memcmp(p, "B10C", 4) == 0; }, 0, 0};
  OSV1_Lock lock;
  ASSERT_EQ(OSV1_InitializeLock(&lock), 0);
  RGY1_Name name{"THR1", 4, 4};
  HPM1_Handle storage{}, area{};
  ASSERT_EQ(HPM1_GetStorageHandle(&storage, nullptr), HPM1_OK);
  ASSERT_EQ(HPM1_CreateArea(&storage, "THRAREA", 0, 32, 32, &area), HPM1_OK);
  qrx::test::TempDir dir;
  int saved = dup(STDERR_FILENO), fd = open(dir.file("lines").c_str(), O_WRONLY | O_CREAT, 0644);
  dup2(fd, STDERR_FILENO), close(fd);
  const std::string filler(300, '=');
  std::vector<std::string> got(kThreads), want(kThreads);
  std::vector<void *> anchors(kThreads);
  std::atomic<int> early{0}, failures{0};
  long counter = 0;                               // only the lock protects it
  std::latch start(kThreads), checked(kThreads);  // blocks and pieces stay alive until all are checked
  auto body = [&](int i) {
    start.arrive_and_wait();
    OSV1_InitializeOnce(&g_word, kSlowStep, nullptr, "", 0);
    early += g_runs != 2;  // nobody goes on before the step is complete
    void *b = OSV1_ResolveThread(&key, __FILE__, __LINE__);
    static_cast<char *>(b)[4] = static_cast<char>(i);  // what two threads share is overwritten
    RGY1_LocateCreateAnchor(&name, 64, &anchors[i], nullptr);
    for (int n = 0; n < 2000; ++n) OSV1_GetLock(&lock), ++counter, OSV1_ReleaseLock(&lock);
    std::vector<void *> mine(200);
    for (void *&p : mine) failures += HPM1_AllocateStorage(&area, 32, &p) || !std::memset(p, i, 32);
    for (size_t n = 0; n < mine.size(); n += 2) HPM1_FreeStorage(&area, mine[n]);
    for (int n = 0; n < 300; ++n) {
      qrxtrerr(nullptr, i, "t%d n%d %s end", i, n, filler.c_str());
      want[i] += "qrx ?:" + std::to_string(i) + " ERROR t" + std::to_string(i) + " n" + std::to_string(n) +
                 " " + filler + " end\n";
    }
    checked.arrive_and_wait();
    for (size_t n = 1; n < mine.size(); n += 2) failures += static_cast<unsigned char *>(mine[n])[31] != i;
    failures += static_cast<char *>(b)[4] != i;
  };
  std::vector<std::jthread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(body, i);
  threads.clear();  // joins
  dup2(saved, STDERR_FILENO), close(saved);
  std::istringstream in(qrx::test::read_file(dir.file("lines")));  // line numbers name the threads
  for (std::string l; std::getline(in, l);) got.at(l.size() > 6 ? l[6] - '0' : 0) += l + "\n";
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(got[t], want[t]) << t;
  EXPECT_EQ(g_runs + early, 2);
  EXPECT_EQ(g_blocks, 2 * kThreads);
  EXPECT_EQ(counter, kThreads * 2000L);
  for (void *p : anchors) EXPECT_EQ(p, anchors[0]);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(HPM1_DestroySpace(&area), HPM1_OK);
}

}  // namespace
