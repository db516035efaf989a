// Threads: two threads opening one new name at once, and isamexit closing what several threads opened
// and used.
#include <atomic>
#include <filesystem>
#include <latch>
#include <thread>

#include "isam_fixture.h"

namespace {

using namespace isamtest;
namespace fs = std::filesystem;
using OpenThreadTest = IsamTest;

TEST_F(OpenThreadTest, TwoThreadsOpeningOneNewNameGetOneObject) {
  const std::string name = made("shared", {"NAME", "ID,I"});
  for (int round = 0; round < 20; ++round) {
    reset_layer();  // the name is new to the process again, and the layer not started
    std::latch go(2);
    isam_db *got[2] = {};
    std::thread a([&] { go.arrive_and_wait(), got[0] = iopen_db(name.c_str(), 2); });
    std::thread b([&] { go.arrive_and_wait(), got[1] = iopen_db(name.c_str(), 2); });
    a.join(), b.join();
    ASSERT_TRUE(got[0] != nullptr && got[0] == got[1]) << round;
    EXPECT_TRUE(got[0]->usecount == 2 && qrx::isam::anchor_peek()->initcnt == 1) << round;
  }
}

TEST_F(OpenThreadTest, IsamexitClosesWhatThreadsLeftOpen) {
  const std::string shared = made("shared", {"NAME", "ID,I"});
  add_index(shared + ".IDX", "BYNAME", {"NAME"}, 1);
  std::vector<std::string> names = {shared};
  for (int i = 0; i < 3; ++i) names.push_back(dir.file("own" + std::to_string(i)));
  std::atomic<int> good{0};
  std::latch go(3);
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i)
    threads.emplace_back([&, i] {
      const char *fields[] = {"NAME", "ID,I", nullptr};
      go.arrive_and_wait();
      isam_db *own = icreate_db(names[size_t(i + 1)].c_str(), 512, fields);
      isam_db *both = iopen_db(shared.c_str(), 2);
      isam_index *mine = both != nullptr ? iopen_index(both, "BYNAME") : nullptr;
      bool ok = own != nullptr && mine != nullptr && ihandle(both, "BYNAME") != nullptr;
      ok = ok && iflush_db(own) == 1 && iflush_db(both) == 1 &&
           iopen_db(names[size_t(i + 1)].c_str(), 1) == own;
      good += ok;
    });
  for (auto &t : threads) t.join();
  ASSERT_EQ(good, 3);
  EXPECT_EQ(idbhandle(shared.c_str())->usecount, 3);
  EXPECT_EQ(isamexit(), 1);
  EXPECT_TRUE(qrx::isam::anchor_peek()->initcnt == 0 && cbbufsize() == 0);
  std::error_code ec;
  for (const auto &e : fs::directory_iterator("/proc/self/fd"))
    for (const auto &n : names)
      for (const char *ext : {".DB", ".IDX"}) EXPECT_FALSE(fs::equivalent(e.path(), n + ext, ec)) << n << ext;
  // Every index file was closed properly: opening again verifies nothing.
  tb::TraceCapture cap;
  for (const auto &n : names) {
    EXPECT_EQ(idbhandle(n.c_str()), nullptr);
    EXPECT_NE(iopen_db(n.c_str(), 1), nullptr) << n;
  }
  EXPECT_FALSE(cap.contains(QRXHOST_KIND_NOTICE, "Verify"));
}

}  // namespace
