// Threads: two opening one new name at once, and isamexit closing what several threads opened and used.
#include <atomic>
#include <filesystem>
#include <latch>
#include <thread>

#include "isam_fixture.h"

namespace isamtest {
using OpenThreadTest = IsamTest;

TEST_F(OpenThreadTest, TwoThreadsOpeningOneNewNameGetOneObject) {
  const std::string name = made("shared", {"NAME", "ID,I"});
  for (int round = 0; round < 20; ++round) {
    reset_layer();  // the name is new to the process again, and the layer not started
    std::latch go(2);
    isam_db *got[2] = {};
    auto open = [&](int i) { go.arrive_and_wait(), got[i] = iopen_db(name.c_str(), 2); };
    std::thread a(open, 0), b(open, 1);
    a.join(), b.join();
    ASSERT_TRUE(got[0] != nullptr && got[0] == got[1]) << round;
    EXPECT_TRUE(got[0]->usecount == 2 && qrx::isam::anchor_peek()->initcnt == 1) << round;
  }
}

// Each thread makes and reopens its own database and uses a shared one; isamexit then closes them all.
TEST_F(OpenThreadTest, IsamexitClosesWhatThreadsLeftOpen) {
  const std::string shared = made("shared", {"NAME", "ID,I"});
  add_index(shared + ".IDX", "BYNAME", {"NAME"}, 1);
  const std::vector<std::string> names = {shared, dir.file("own0"), dir.file("own1"), dir.file("own2")};
  std::atomic<int> good{0};
  std::latch go(3);  // all three at once
  std::vector<std::thread> threads;
  for (size_t i = 1; i < names.size(); ++i)
    threads.emplace_back([&, i] {
      const char *fields[] = {"NAME", "ID,I", nullptr};
      go.arrive_and_wait();
      isam_db *own = icreate_db(names[i].c_str(), 512, fields);
      bool ok = own != nullptr && iclose_db(own) == 1;
      for (int r = 0; r < 20 && ok; ++r)  // reopens of a cached object while the others walk the list
        ok = iopen_db(names[i].c_str(), 1) == own && (r == 19 || iclose_db(own) == 1);
      isam_db *both = iopen_db(shared.c_str(), 2);
      ok = ok && both && iopen_index(both, "BYNAME") && ihandle(both, "BYNAME") && iflush_db(both) == 1;
      good += ok && iflush_db(own) == 1 && iopen_db(names[i].c_str(), 1) == own;
    });
  for (auto &t : threads) t.join();
  ASSERT_TRUE(good == 3 && idbhandle(shared.c_str())->usecount == 3);
  EXPECT_TRUE(isamexit() == 1 && qrx::isam::anchor_peek()->initcnt == 0 && cbbufsize() == 0);
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd"))
    for (const auto &n : names)
      for (const char *ext : {".DB", ".IDX"})
        EXPECT_FALSE(std::filesystem::equivalent(e.path(), n + ext, ec));
  tb::TraceCapture cap;  // every index file was closed properly: opening again verifies nothing
  for (const auto &n : names) EXPECT_TRUE(!idbhandle(n.c_str()) && iopen_db(n.c_str(), 1)) << n;
  EXPECT_FALSE(cap.contains(QRXHOST_KIND_NOTICE, "Verify"));
}

}  // namespace isamtest
