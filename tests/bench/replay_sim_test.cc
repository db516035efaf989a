// Simulated buffer pools of the replacement study: known miss counts on hand-made traces.
#include <gtest/gtest.h>

#include <vector>

#include "bench/replay_sim.h"

namespace {

using replay::Kind;

constexpr uint32_t kInterior = 100;  // in the traces below, ids from here on are interior blocks

replay::Trace trace(const std::vector<uint32_t> &ids) {
  replay::Trace t{{}, 200};
  for (uint32_t id : ids) t.accesses.push_back({id, 0, id >= kInterior ? Kind::kInterior : Kind::kLeaf, 0});
  return t;
}

template <class R, class... Args>
uint64_t reads(const replay::Trace &t, Args... args) {
  R rule(t.nblocks, args...);
  return replay::replay_reads(t, rule);
}

TEST(ReplaySim, KnownMissCounts) {
  const auto belady = trace({1, 2, 3, 4, 1, 2, 5, 1, 2, 3, 4, 5});
  EXPECT_EQ(reads<replay::Lru>(belady, 3u), 10u);
  EXPECT_EQ(reads<replay::Lru>(belady, 4u), 8u);
  // An interior block touched again after two leaves: LRU and CLOCK lose it, the level-aware rules keep it.
  const auto descent = trace({kInterior, 1, 2, kInterior});
  EXPECT_EQ(reads<replay::Lru>(descent, 2u), 4u);
  EXPECT_EQ(reads<replay::Clock>(descent, 2u), 4u);
  EXPECT_EQ(reads<replay::InteriorFirst>(descent, 2u), 3u);
  EXPECT_EQ(reads<replay::GClock>(descent, 2u, 1u, 2u), 3u);
  // 2Q: block 1 comes back while remembered in A1out, goes to Am and outlives a scan of 15 blocks; block
  // 21, hit again only while still in A1in, stays there and does not.
  std::vector<uint32_t> ids{1, 2, 3, 4, 5, 1, 21, 21};
  for (uint32_t b = 6; b <= 20; ++b) ids.push_back(b);
  ids.insert(ids.end(), {1, 21});
  EXPECT_EQ(reads<replay::TwoQ>(trace(ids), 4u), 23u);
  EXPECT_EQ(reads<replay::Lru>(trace(ids), 4u), 24u);
  // A block appended by the operation takes a buffer without a read.
  auto fresh = trace({7, 8, 7});
  fresh.accesses[0].created = 1;
  EXPECT_EQ(reads<replay::Lru>(fresh, 2u), 1u);
}

}  // namespace
