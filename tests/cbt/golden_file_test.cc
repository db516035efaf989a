// The bytes a fixed, seeded workload of inserts, deletes and modifies writes, held as digests: work on the
// speed of the layer must leave every file byte for byte as it was. The digests do not depend on the
// pool's size (16 or 200 buffers of 512-byte blocks, 8 or 256 of 4096-byte blocks write the same files).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "qrxcb.h"
#include "support/test_util.h"

namespace qrx::test {
namespace {

// FNV-1a over the file's bytes.
uint64_t digest(const std::string &bytes) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : bytes) h = (h ^ c) * 0x100000001b3ULL;
  return h;
}

// 30,000 steps on one tree: inserts of keys of 1 to 40 bytes (duplicates allowed now and then), deletes
// and modifies of keys it holds. The generator's raw output only, so the steps are the same everywhere.
uint64_t workload(const std::string &path, uint32_t blksize, uint32_t bufcnt) {
  EXPECT_EQ(cbinit(bufcnt, 4096), 1);
  cbt_tree *t = cbcreate(path.c_str(), nullptr, blksize);
  std::mt19937_64 g(20261206);
  std::vector<std::pair<std::string, uint32_t>> held;
  for (uint32_t step = 0; step < 30000; ++step) {
    std::string k(1 + g() % 40, '\0');
    for (char &c : k) c = static_cast<char>('a' + g() % 6);
    const uint64_t op = held.empty() ? 0 : g() % 10;
    const size_t at = held.empty() ? 0 : g() % held.size();
    if (op < 6) {
      if (cbinsert(t, k.data(), uint32_t(k.size()), step, g() % 8 == 0) == 1) held.emplace_back(k, step);
    } else if (op < 8) {
      EXPECT_EQ(cbdelete(t, held[at].first.data(), uint32_t(held[at].first.size()), held[at].second), 1);
      held[at] = held.back(), held.pop_back();
    } else if (cbmodify(t, held[at].first.data(), uint32_t(held[at].first.size()), held[at].second, k.data(),
                        uint32_t(k.size()), step, 1) == 1) {
      held[at] = {k, step};
    }
  }
  EXPECT_EQ(cbclose(t), 1);
  EXPECT_EQ(cbexit(), 1);
  return digest(read_file(path));
}

TEST(GoldenFile, SeededWorkloadWritesTheSameBytes) {
  TempDir dir;
  EXPECT_EQ(workload(dir.file("a.cbt"), 512, 16), 10621826673589887437u) << "512-byte blocks, a small pool";
  EXPECT_EQ(workload(dir.file("b.cbt"), 4096, 256), 2891414514556714180u) << "4096-byte blocks";
}

}  // namespace
}  // namespace qrx::test
