// Keyed files under threads: first opens racing for the service's anchor; four threads changing and reading
// one file, each through cursors of its own, held against their own logs; the close of a file racing the use
// of its cursors and update handles.
#include <atomic>
#include <map>
#include <random>
#include <thread>

#include "keyed_fixture.h"

namespace keyedtest {
namespace {

using KeyedThreadTest = KeyedTest;

TEST_F(KeyedThreadTest, TwoFirstOpensAtOnceBothGetTheOneAnchor) {
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

TEST_F(KeyedThreadTest, FourThreadsOnOneFileSeeWholeRecordsAndLeaveWhatTheirLogsSay) {
  const KeyHandle f = open(sample("T"), 3);  // changes are not synced one by one
  std::map<int32_t, std::string> logs[4];    // each thread's keys: t * 1000 + 0 .. 39
  // Payloads name their keys: a record read with another key's payload was written through a wrong place.
  const auto whole = [](const std::string &r) {
    return r.substr(4, 20).rfind("k" + std::to_string(id_of(r)) + "v", 0) == 0;
  };
  auto worker = [&](int t) {
    std::mt19937 g{uint32_t(t)};
    auto &log = logs[t];
    const KeyHandle c = cursor(f, key(0).data(), 1), uc = cursor(f, key(0).data(), 1, true);
    char b[32];
    int32_t n = 0;
    const auto got = [&] { return std::string(b, size_t(n)); };
    const auto logged = [&](int32_t id) { return log.count(id) ? log.at(id) : std::string(); };
    for (int i = 0; i < 1500 && !HasFailure(); ++i) {
      const int32_t id = t * 1000 + int32_t(g() % 40), any = int32_t(g() % 4) * 1000 + int32_t(g() % 40);
      const std::string r = rec(id, "k" + std::to_string(id) + "v" + std::to_string(i)), was = logged(id);
      const int op = int(g() % 6);
      KeyHandle u{};
      if (op < 3) {  // add, update, delete by key
        const int32_t st = op == 0   ? AddRecord(f, key(id).data(), 4, r.data(), 32)
                           : op == 1 ? UpdateByKey(f, key(id).data(), 4, r.data(), 32)
                                     : DeleteByKey(f, key(id).data(), 4);
        EXPECT_EQ(st, op == 0 ? (was.empty() ? 0 : 4) : was.empty() ? 5 : 0) << op;
        if (st == 0) op == 2 ? void(log.erase(id)) : void(log[id] = r);
      } else if (op == 3) {  // any thread's key: a whole record, an own one as logged
        const int32_t st = ReadByKey(f, key(any).data(), 4, b, 32, &n);
        EXPECT_TRUE(st == 0 ? whole(got()) : st == 5) << got();
        EXPECT_TRUE(any / 1000 != t || logged(any) == (st == 0 ? got() : "")) << got();
      } else if (op == 4) {  // through the own update cursor: the record read is the one changed
        EXPECT_EQ(RepositionCursor(uc, key(id).data(), 4), 0);
        if (ReadNextForUpdate(uc, 0, b, 32, &n, &u) != 0) continue;
        EXPECT_TRUE(whole(got()) && (id_of(got()) != id || got() == was)) << got();
        EXPECT_EQ(id_of(got()) == id ? UpdateHeldRecord(u, r.data(), 32) : ReleaseHeldRecord(u), 0);
        if (id_of(got()) == id) log[id] = r;
      } else {  // a walk: ascending whole records, every own one as logged
        size_t own = 0;
        int32_t prev = INT32_MIN;
        EXPECT_EQ(RepositionCursor(c, key(INT32_MIN).data(), 4), 0);
        for (std::string s; !(s = next(c)).empty(); prev = id_of(s), own += id_of(s) / 1000 == t)
          EXPECT_TRUE(whole(s) && id_of(s) > prev && (id_of(s) / 1000 != t || s == logged(id_of(s)))) << s;
        EXPECT_EQ(own, log.size());
      }
    }
  };
  std::thread t0(worker, 0), t1(worker, 1), t2(worker, 2), t3(worker, 3);
  t0.join(), t1.join(), t2.join(), t3.join();
  const KeyHandle c = cursor(f, key(0).data(), 1);
  for (const auto &log : logs)
    for (const auto &[id, r] : log) EXPECT_EQ(next(c), r);
  EXPECT_EQ(next(c), "");
}

TEST_F(KeyedThreadTest, CloseFileRacingItsCursorsAndUpdateHandlesLeavesEveryHandleDead) {
  const std::string db = sample("C", {1, 2, 3, 4, 5, 6});
  const uint32_t live = qrx::keyed::slot_live_count();
  for (int round = 0; round < 100 && !HasFailure(); ++round) {
    const KeyHandle f = open(db), c[3] = {cursor(f), cursor(f), cursor(f, QRXKY_KEY_HEAD, 0, true)};
    KeyHandle u{}, cu{}, more[8] = {};
    char b[4][32];
    int32_t n[4] = {};
    ASSERT_EQ(ReadByKeyForUpdate(f, key(2).data(), 4, b[0], 32, n, &u), 0);
    ASSERT_EQ(ReadNextForUpdate(c[2], 0, b[0], 32, n, &cu), 0);
    std::atomic<int> go{0}, bad{0};
    const auto ok = [&](int32_t st) { bad += st == 0 || st == 2 || st == 5 || st == 10 ? 0 : 1; };
    const auto body = [&](int t) {
      for (go++; go.load() < 4;) std::this_thread::yield();
      uint32_t why = 0;
      if (t == 0) bad += CloseFile(f, &why) == 0 ? 0 : 1;
      if (t == 1) ok(CloseCursor(c[0], &why));
      for (int i = 0; t == 1 && i < 8; ++i) ok(OpenCursor(f, QRXKY_KEY_HEAD, 0, &more[i]));
      for (int i = 0; t == 2 && i < 64; ++i) ok(ReadNext(c[1], i % 3, b[t], 32, &n[t]));
      if (t == 3) ok(UpdateHeldRecord(u, rec(2, "by key").data(), 32)), ok(ReleaseHeldRecord(cu));
      for (int i = 0; t == 3 && i < 32; ++i) {
        KeyHandle h{};
        const int32_t st = ReadNextForUpdate(c[2], 0, b[t], 32, &n[t], &h);
        ok(st == 0 ? UpdateHeldRecord(h, b[t], 32) : st);
      }
    };
    std::thread t0(body, 0), t1(body, 1), t2(body, 2), t3(body, 3);
    t0.join(), t1.join(), t2.join(), t3.join();
    EXPECT_EQ(bad.load(), 0);
    for (const KeyHandle &h : c) EXPECT_EQ(ReadNext(h, 0, b[0], 32, n), 2);
    for (const KeyHandle &h : more) EXPECT_TRUE(h.slot == 0 || ReadNext(h, 0, b[0], 32, n) == 2);
    EXPECT_EQ(ReleaseHeldRecord(u) + ReleaseHeldRecord(cu) + FlushFile(f), 6);
    EXPECT_EQ(qrx::keyed::slot_live_count(), live) << "round " << round;
  }
}

}  // namespace
}  // namespace keyedtest
