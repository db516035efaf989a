// Threads: per-thread status codes, and two threads changing and positioning through two handles on one
// file (cursor correction walks the record's handle list under the record's mutex; no lock-order cycle
// with the anchor mutex).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_model.h"

namespace {

namespace tb = qrx::test;

std::string base_key(int i) {
  char b[16];
  std::snprintf(b, sizeof b, "b%05d", i);
  return b;
}

TEST(CodesThread, CodesDoNotLeakBetweenThreads) {
  EXPECT_EQ(cbdepth(nullptr), -1);
  const uint32_t mine[3] = {*qrxcbecd(), *qrxcbfcd(), *qrxcbccd()};
  ASSERT_EQ(mine[0], 15u);
  uint32_t fresh = 99, after = 0;
  std::thread th([&] {
    fresh = *qrxcbecd() | *qrxcbfcd() | *qrxcbccd();
    cbkey(nullptr, nullptr, 0);
    after = *qrxcbfcd();
  });
  th.join();
  EXPECT_EQ(fresh, 0u);
  EXPECT_EQ(after, 12u);
  EXPECT_EQ(*qrxcbecd(), mine[0]);
  EXPECT_EQ(*qrxcbfcd(), mine[1]);
  EXPECT_EQ(*qrxcbccd(), mine[2]);
}

TEST(HandlesThread, ChangesAndPositioningOnOneFileThroughTwoHandles) {
  alarm(240);  // a deadlock ends the process instead of hanging it
  ASSERT_EQ(cbinit(64, 512), 1);
  tb::TempDir dir;
  const std::string p = dir.file("busy.idx");
  cbt_tree *w = cbcreate(p.c_str(), nullptr, 512);
  ASSERT_NE(w, nullptr);
  constexpr int kBase = 400;
  tb::TreeModel model;
  for (int i = 0; i < kBase; ++i) {
    ASSERT_EQ(cbinsert(w, base_key(i).data(), 6, static_cast<uint32_t>(i), 0), 1);
    model.insert(base_key(i), static_cast<uint32_t>(i));
  }
  cbt_tree *r = cbopen(p.c_str(), 1, nullptr);
  ASSERT_NE(r, nullptr);
  std::atomic<bool> stop{false};
  std::atomic<int> changer_errors{0}, reader_errors{0}, walks{0}, checked_back_steps{0};
  // Deletions counted before they start and after they end: a reader that sees no deletion started
  // after the last one it knows to have finished knows that none ran in between.
  std::atomic<int> deletes_started{0}, deletes_finished{0};
  auto erase = [&](const std::string &k) {
    ++deletes_started;
    if (cbdelete(w, k.data(), static_cast<uint32_t>(k.size()), 1) != 1) ++changer_errors;
    ++deletes_finished;
  };
  // Inserts and deletes keys between the base keys, so leaves split, shift and join under the cursor.
  std::thread changer([&] {
    tb::Rng rng(77);
    std::vector<std::string> added;
    for (int round = 0; (round < 3000 || walks < 300) && round < 300000; ++round) {
      if (added.size() < 300 && (added.empty() || rng.below(3) != 0)) {
        std::string k = base_key(static_cast<int>(rng.below(kBase))) + rng.text(1 + rng.below(20));
        if (cbinsert(w, k.data(), static_cast<uint32_t>(k.size()), 1, 0) == 1)
          added.push_back(k);
        else if (*qrxcbecd() != 17 && *qrxcbecd() != 18)
          ++changer_errors;
      } else {
        size_t at = rng.below(added.size());
        erase(added[at]);
        added[at] = added.back();
        added.pop_back();
      }
    }
    for (const std::string &k : added) erase(k);
    stop = true;
  });
  // The cursor stays on its entry, or moves to the following one when its entry is deleted: a forward
  // walk reads strictly increasing keys, a backward step a lower key unless a deletion ran between the
  // two reads. Base keys stay found, and marks bring the cursor back.
  std::thread reader([&] {
    tb::Rng rng(78);
    char key[64], last[64];
    while (!stop) {
      uint32_t item = 0, last_len = 0;
      const bool forward = rng.one_in(2);
      int32_t rc = forward ? cbhead(r, &item) : cbtail(r, &item);
      for (int steps = 0, window = 0; rc == 1 && steps < 200; ++steps) {
        const int read_start = deletes_finished;
        const int32_t krc = cbkey(r, key, sizeof key);  // keys hold no NUL and fit: NUL-terminated
        if (krc != 1) {
          reader_errors += krc != -3;  // deleting the last entry under the cursor puts it at the end
          break;
        }
        const uint32_t len = static_cast<uint32_t>(std::strlen(key));
        const int c = qrxcbkcm(last, last_len, key, len);
        if (steps > 0 && forward && c >= 0) ++reader_errors;
        if (steps > 0 && !forward && deletes_started == window) {
          ++checked_back_steps;
          reader_errors += c <= 0;
        }
        std::memcpy(last, key, len);
        last_len = len;
        window = read_start;
        rc = forward ? cbnext(r, &item) : cbprev(r, &item);
      }
      reader_errors += rc == -1;
      const int i = static_cast<int>(rng.below(kBase));
      if (cbfind(r, base_key(i).data(), 6, &item) != 2 || item != static_cast<uint32_t>(i)) ++reader_errors;
      if (cbmark(r) != 1) ++reader_errors;
      cbnext(r, &item);
      if (cbfindmark(r, &item) != 1 || item != static_cast<uint32_t>(i)) ++reader_errors;
      ++walks;
    }
  });
  changer.join();
  reader.join();
  EXPECT_EQ(changer_errors.load(), 0);
  EXPECT_EQ(reader_errors.load(), 0);
  EXPECT_GE(walks.load(), 300);
  EXPECT_GT(checked_back_steps.load(), 0);
  tb::CheckOptions opt;
  opt.relaxed = true;
  EXPECT_TRUE(tb::tree_matches_model(w, p, model, opt));
  EXPECT_EQ(cbclose(r), 1);
  EXPECT_EQ(cbclose(w), 1);
  EXPECT_EQ(cbexit(), 1);
  alarm(0);
}

}  // namespace
