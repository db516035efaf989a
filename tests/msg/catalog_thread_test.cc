// The message catalog under threads: four threads make the anchor, open, write and close components at
// once, sharing one component and one open record among them.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "keyed/handles.h"
#include "qrxmsg.h"

namespace {

TEST(CatalogThreads, FourThreadsOpenWriteAndCloseAtOnce) {
  constexpr int kThreads = 4, kLoops = 40;
  const qrxm_entry shared[] = {{"shared", 6, 0}, {}}, *sp = shared;
  qrxm_entry own[kThreads][3];
  for (auto &t : own) t[0] = {"own", 3, 0}, t[1] = {"thread %d", 9, 0}, t[2] = {};
  std::map<std::string, int> want{{"THRSshared", kThreads * kLoops}};
  for (int t = 0; t < kThreads; ++t) want["THRTthread " + std::to_string(t)] = kLoops;
  for (int round = 0; round < 5; ++round) {
    const uint32_t live = qrx::keyed::slot_live_count();
    std::atomic<int> ready{0}, made{0}, bad{0};
    testing::internal::CaptureStdout();
    auto body = [&](int t) {
      for (ready.fetch_add(1); ready.load() < kThreads;) std::this_thread::yield();
      const int32_t in = qrxm1in("THR");
      made.fetch_add(in == 0);
      bad.fetch_add(in != 0 && in != QRXM_INITIALISED);
      const qrxm_entry *mine = own[t];
      const std::string name = "THREAD0" + std::to_string(t);
      const uintptr_t ins[QRXM_INSERTS] = {uintptr_t(t)};
      char buf[255];
      for (int i = 0; i < kLoops; ++i) {
        qrxm_handle a{}, s{}, o{};
        qrxm_desc d{buf, 255, 0};
        // An open of the shared component of its own, one shared by all, and an own component.
        const bool done = !qrxm1om("SHAREDCM", &mine, 0, "T", &a) && !qrxm1om("SHAREDCM", &sp, 0, "S", &s) &&
                          !qrxm1om(name.c_str(), &mine, 1, "O", &o) && !qrxm2sc(o, "0") &&
                          !qrxm2gc(name.c_str(), &d) && !qrxm1wf(a, "1", ins) && !qrxm1wm(s, "0") &&
                          !qrxm1cm(a) && !qrxm1cm(s) && !qrxm1cm(o);
        bad.fetch_add(!done || std::string(buf, d.length) != "THROown");
      }
    };
    std::thread th[kThreads];
    for (int t = 0; t < kThreads; ++t) th[t] = std::thread(body, t);
    for (auto &x : th) x.join();
    std::map<std::string, int> lines;
    std::istringstream out(testing::internal::GetCapturedStdout());
    for (std::string line; std::getline(out, line);) ++lines[line];
    EXPECT_EQ(made.load(), 1);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(lines, want);
    EXPECT_EQ(qrx::keyed::slot_live_count(), live);  // every open closed: no record left
    EXPECT_EQ(qrxm1te(), 0);
  }
}

}  // namespace
