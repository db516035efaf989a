// The keyed-file service's frame under threads: first opens racing for the anchor, and handle checks
// racing the closes of their blocks.
#include <atomic>
#include <thread>

#include "keyed_fixture.h"

namespace keyedtest {
namespace {

using FrameThreadTest = KeyedTest;

TEST_F(FrameThreadTest, TwoFirstOpensAtOnceBothGetTheOneAnchor) {
  const std::string db = sample("A", {1, 2});
  for (int round = 0; round < 100; ++round) {
    ASSERT_EQ(Terminate(), round == 0 ? RGY1_NOT_FOUND : 0);
    std::atomic<int> ready{0};
    int32_t st[2] = {-1, -1};
    KeyHandle h[2] = {};
    auto first_open = [&](int i) {
      ready.fetch_add(1);
      while (ready.load() < 2) std::this_thread::yield();
      uint32_t reason = 0;
      st[i] = i == 0 ? Initialize() : OpenKeyedFile(db.data(), int32_t(db.size()), 1, &h[1], &reason);
    };
    std::thread t0(first_open, 0), t1(first_open, 1);
    t0.join();
    t1.join();
    ASSERT_EQ(st[0], 0) << round;
    ASSERT_EQ(st[1], 0) << round;
    uint32_t len = 0;
    ASSERT_EQ(QueryRecLen(h[1], &len), 0);
  }
}

}  // namespace
}  // namespace keyedtest
