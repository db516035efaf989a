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

TEST_F(FrameThreadTest, HandleChecksRacingClosesNeverTouchAClosedBlock) {
  const std::string db = sample("R", {1, 2, 3, 4});
  for (int round = 0; round < 60; ++round) {
    const KeyHandle f = open(db);
    const KeyHandle c = cursor(f);
    KeyHandle u{};
    char buf[32];
    int32_t len = 0;
    ASSERT_EQ(ReadByKeyForUpdate(f, key(2).data(), 4, buf, 32, &len, &u), 0);
    std::atomic<bool> closed{false};
    std::atomic<int> bad{0};
    std::thread user([&] {
      char b[32];
      int32_t n = 0;
      uint32_t r = 0;
      for (int i = 0; i < 400 && !(closed.load() && i > 50); ++i) {
        const int32_t s[] = {ReadNext(c, 0, b, 32, &n),
                             ReadByKey(f, key(3).data(), 4, b, 32, &n),
                             GetReason(u, &r),
                             CheckAsynch(c),
                             RepositionCursor(c, QRXKY_KEY_HEAD, 0),
                             SetAccessMode(u, 0),
                             QueryKey(f, &r, &r)};
        for (int32_t v : s) {
          if (v != 0 && v != 2 && v != 5 && v != 6) bad.fetch_add(1);
        }
      }
    });
    uint32_t reason = 0;
    if (round % 2 == 0) {
      EXPECT_EQ(CloseCursor(c, &reason), 0);
    }
    EXPECT_EQ(CloseFile(f, &reason), 0);
    closed.store(true);
    user.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(ReadNext(c, 0, buf, 32, &len), 2);
    EXPECT_EQ(GetReason(u, &reason), 2);
    EXPECT_EQ(FlushFile(f), 2);
  }
  EXPECT_EQ(qrx::keyed::slot_live_count(), 0u);
}

}  // namespace
}  // namespace keyedtest
