// Threads: per-thread status codes, handles opened and closed on shared files from several threads, and
// two threads changing and positioning through two handles on one file (cursor correction walks the
// record's handle list under the record's mutex; no lock-order cycle with the anchor mutex).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_model.h"

namespace {

namespace tb = qrx::test;

// Ends the process when a test does not finish in time: a deadlock fails fast instead of hanging.
class Watchdog {
 public:
  explicit Watchdog(int seconds)
      : th_([this, seconds] {
          std::unique_lock<std::mutex> g(mu_);
          if (!cv_.wait_for(g, std::chrono::seconds(seconds), [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: no progress after %d s (deadlock?)\n", seconds);
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> g(mu_);
      done_ = true;
    }
    cv_.notify_all();
    th_.join();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread th_;
};

struct Codes {
  uint32_t err, fn, ctx;
  bool operator==(const Codes &) const = default;
};
Codes codes() {
  return {*qrxcbecd(), *qrxcbfcd(), *qrxcbccd()};
}

std::string base_key(int i) {
  char b[16];
  std::snprintf(b, sizeof b, "b%05d", i);
  return b;
}

// ---------------------------------------------------------------------------------------------------
// Per-thread codes
// ---------------------------------------------------------------------------------------------------

TEST(CodesThread, CodesDoNotLeakBetweenThreads) {
  EXPECT_EQ(cbdepth(nullptr), -1);
  const Codes mine = codes();
  ASSERT_EQ(mine, (Codes{15, 25, 10}));
  Codes fresh{}, after{};
  uint32_t *their_word = nullptr;
  std::thread th([&] {
    fresh = codes();
    their_word = qrxcbecd();
    cbkey(nullptr, nullptr, 0);
    *qrxcbccd() = 44;
    after = codes();
  });
  th.join();
  EXPECT_EQ(fresh, (Codes{0, 0, 0}));
  EXPECT_EQ(after, (Codes{15, 12, 44}));
  EXPECT_NE(their_word, qrxcbecd());
  EXPECT_EQ(codes(), mine);
}

// ---------------------------------------------------------------------------------------------------
// Opening and closing from several threads
// ---------------------------------------------------------------------------------------------------

TEST(HandlesThread, OpenAndCloseSharedFilesFromManyThreads) {
  ASSERT_EQ(cbinit(32, 512), 1);
  tb::TempDir dir;
  std::vector<std::string> files;
  for (int f = 0; f < 3; ++f) {
    files.push_back(dir.file("shared" + std::to_string(f)));
    std::vector<tb::KeyItem> entries;
    for (int i = 0; i < 60; ++i) entries.push_back({base_key(i), static_cast<uint32_t>(i)});
    tb::build_index(files.back(), 512, tb::split_leaves(entries, 7), 3);
  }
  Watchdog dog(120);
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&, k] {
      tb::Rng rng(1000 + k);
      for (int i = 0; i < 150; ++i) {
        const std::string &p = files[rng.below(files.size())];
        cbt_tree *t = cbopen(p.c_str(), rng.one_in(2) ? 2 : 1, nullptr);
        if (!t || *qrxcbecd() != 0) {
          ++bad;
          continue;
        }
        uint32_t item = 0;
        const int want = static_cast<int>(rng.below(60));
        const std::string key = base_key(want);
        if (cbfind(t, key.data(), static_cast<uint32_t>(key.size()), &item) != 2 ||
            item != static_cast<uint32_t>(want))
          ++bad;
        if (cbhead(t, &item) != 1 || item != 0) ++bad;
        if (rng.one_in(3) && cbflush(t) != 1) ++bad;
        if (cbdepth(t) != 3) ++bad;
        if (cbclose(t) != 1) ++bad;
      }
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
  // Every open was matched by its close: the files are marked closed and their records are gone.
  for (const std::string &p : files) {
    EXPECT_EQ(tb::read_ctl(p).openflag, 0) << p;
    cbt_tree *t = cbcreate(p.c_str(), nullptr, 0);
    EXPECT_NE(t, nullptr) << p;
    if (t) cbclose(t);
  }
  EXPECT_EQ(cbexit(), 1);
}

// ---------------------------------------------------------------------------------------------------
// One file, two handles, two threads: one changes, one positions
// ---------------------------------------------------------------------------------------------------

TEST(HandlesThread, ChangesAndPositioningOnOneFileThroughTwoHandles) {
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

  Watchdog dog(240);
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

  // Inserts and deletes keys between the base keys ("b00012x"), so leaves split, shift and join under
  // the reader's cursor.
  std::thread changer([&] {
    tb::Rng rng(77);
    std::vector<std::string> added;
    // At least 3000 changes, and on until the reader has walked a good many times meanwhile.
    for (int round = 0; (round < 3000 || walks < 300) && round < 300000; ++round) {
      if (added.size() < 300 && (added.empty() || rng.below(3) != 0)) {
        std::string k = base_key(static_cast<int>(rng.below(kBase))) + rng.text(1 + rng.below(20));
        int32_t rc = cbinsert(w, k.data(), static_cast<uint32_t>(k.size()), 1, 0);
        if (rc == 1)
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

  // Walks forward and back. Whatever the other handle changes, the cursor stays on its entry, or moves
  // to the following one when its entry is deleted. So a forward walk reads strictly increasing keys,
  // and a backward step reads a lower key than the read before it unless a deletion ran between the two
  // reads (a deleted entry hands the cursor forward). Base keys stay found.
  std::thread reader([&] {
    tb::Rng rng(78);
    char key[64], last[64];
    while (!stop) {
      uint32_t item = 0, len = 0, last_len = 0;
      const bool forward = rng.one_in(2);
      int32_t rc = forward ? cbhead(r, &item) : cbtail(r, &item);
      int steps = 0;
      int window = 0;
      while (rc == 1 && steps++ < 200) {
        const int read_start = deletes_finished;
        // One call reads the key: the keys hold no NUL and are shorter than the buffer, so the NUL
        // cbkey puts behind the key gives its length. Deleting the last entry under the cursor puts
        // the cursor at the end.
        const int32_t krc = cbkey(r, key, sizeof key);
        if (krc != 1) {
          if (krc != -3) ++reader_errors;
          break;
        }
        len = static_cast<uint32_t>(std::strlen(key));
        if (steps > 1) {
          int c = qrxcbkcm(last, last_len, key, len);
          if (forward && c >= 0) ++reader_errors;
          if (!forward && deletes_started == window) {
            ++checked_back_steps;
            if (c <= 0) ++reader_errors;
          }
        }
        std::memcpy(last, key, len);
        last_len = len;
        window = read_start;
        rc = forward ? cbnext(r, &item) : cbprev(r, &item);
      }
      if (rc == -1) ++reader_errors;
      const int i = static_cast<int>(rng.below(kBase));
      const std::string k = base_key(i);
      if (cbfind(r, k.data(), 6, &item) != 2 || item != static_cast<uint32_t>(i)) ++reader_errors;
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
}

}  // namespace
