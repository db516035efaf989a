// index_file_seeds.h - sound index files, built with the library, that seed the whole-file fuzzer
// (fuzz/index_file_seeds.cc writes them to a directory) and that its CTest replay runs the exercise over.
// Each is small (at most kMaxSeedBytes) so that runs stay fast, and each is checked when built: it verifies,
// it has the depth it is named for and it closes.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "cbt/codec.h"
#include "qrxcb.h"

namespace qrx::index_file {

constexpr size_t kMaxSeedBytes = 32 * 1024;  // the fuzzer's -max_len

struct Seed {
  std::string name;
  std::vector<uint8_t> bytes;
  uint64_t entries = 0;  // entries the file holds
};

namespace seeds {

inline bool put(cbt_tree *t, const std::string &key, uint32_t item, int32_t dupok = 0) {
  return cbinsert(t, key.data(), static_cast<uint32_t>(key.size()), item, dupok) == 1;
}

// Text keys of about `width` characters that sort in another order than they are made.
inline std::string word(uint32_t i, size_t width) {
  std::string k = std::to_string(i * 7919 % 100003);
  k.insert(0, width > k.size() ? width - k.size() : 0, static_cast<char>('a' + i % 26));
  return k;
}

// Makes a file with blksize-byte blocks at path, fills it (fill returns the number of entries, or -1),
// checks its depth and its verification, closes it and reads it back. No bytes on failure.
inline Seed build(const std::string &name, const std::string &path, uint32_t blksize, int32_t depth,
                  const std::function<int64_t(cbt_tree *)> &fill) {
  Seed s{name, {}, 0};
  cbt_tree *t = cbcreate(path.c_str(), nullptr, blksize);
  if (!t) return s;
  const int64_t entries = fill(t);
  const bool ok = entries >= 0 && cbdepth(t) == depth && qrxcbver(t) == 1;
  if (cbclose(t) != 1 || !ok) return s;
  std::ifstream in(path, std::ios::binary);
  s.bytes.assign(std::istreambuf_iterator<char>(in), {});
  ::unlink(path.c_str());
  if (s.bytes.size() > kMaxSeedBytes) s.bytes.clear();
  s.entries = static_cast<uint64_t>(entries);
  return s;
}

// Inserts word(i, width) for i = 0.. until the tree has `depth` levels, then `more` keys after that.
inline int64_t grow(cbt_tree *t, size_t width, int32_t depth, uint32_t more) {
  uint32_t i = 0;
  for (; cbdepth(t) < depth; ++i)
    if (i > 5000 || !put(t, word(i, width), i)) return -1;
  for (const uint32_t end = i + more; i < end; ++i)
    if (!put(t, word(i, width), i)) return -1;
  return i;
}

}  // namespace seeds

// The seed files, built in scratch_dir (a file at a time, removed again). A seed that cannot be built
// comes back without bytes.
inline std::vector<Seed> build_seeds(const std::string &scratch_dir) {
  using seeds::put;
  using seeds::word;
  const std::string path = scratch_dir + "/seed.idx";
  std::vector<Seed> out;
  out.push_back(seeds::build("empty", path, 512, 0, [](cbt_tree *) { return 0; }));
  out.push_back(seeds::build("one-leaf", path, 512, 1, [](cbt_tree *t) -> int64_t {
    for (uint32_t i = 0; i < 12; ++i)
      if (!put(t, word(i, 6), i)) return -1;
    return 12;
  }));
  out.push_back(seeds::build("depth2", path, 512, 2, [](cbt_tree *t) { return seeds::grow(t, 10, 2, 100); }));
  out.push_back(seeds::build("depth3", path, 512, 3, [](cbt_tree *t) { return seeds::grow(t, 24, 3, 40); }));
  out.push_back(
      seeds::build("depth3-blk88", path, 88, 3, [](cbt_tree *t) { return seeds::grow(t, 5, 3, 24); }));
  // Most keys deleted again: nodes merged away leave a chain of unused blocks.
  out.push_back(seeds::build("after-deletions", path, 512, 2, [](cbt_tree *t) -> int64_t {
    const uint32_t n = 400;
    int64_t left = 0;
    for (uint32_t i = 0; i < n; ++i)
      if (!put(t, word(i, 12), i)) return -1;
    for (uint32_t i = 0; i < n; ++i) {
      const std::string k = word(i, 12);
      if (i % 10 == 0) {
        ++left;
      } else if (cbdelete(t, k.data(), static_cast<uint32_t>(k.size()), i) != 1) {
        return -1;
      }
    }
    return left;
  }));
  if (out.back().bytes.empty() || codec::load_u32(out.back().bytes.data(), 20) == 0)  // no unused chain
    out.back().bytes.clear();
  // Equal keys with different items: equal neighbours share their key bytes, runs cross leaves.
  out.push_back(seeds::build("duplicates", path, 512, 2, [](cbt_tree *t) -> int64_t {
    for (uint32_t i = 0; i < 150; ++i)
      if (!put(t, i % 3 == 0 ? "beta" : (i % 3 == 1 ? "duplicate-key" : "g"), i, 1)) return -1;
    return 150;
  }));
  // Long common prefixes: comparisons run deep into the keys.
  out.push_back(seeds::build("shared-prefixes", path, 512, 2, [](cbt_tree *t) -> int64_t {
    for (uint32_t i = 0; i < 90; ++i)
      if (!put(t, "/var/lib/index/section-" + std::to_string(i % 4) + "/" + word(i, 4), i)) return -1;
    return 90;
  }));
  // The empty key, many times, beside one-byte keys at both ends of the order.
  out.push_back(seeds::build("empty-keys", path, 512, 1, [](cbt_tree *t) -> int64_t {
    for (uint32_t i = 0; i < 20; ++i)
      if (!put(t, "", i, 1)) return -1;
    const bool ok = put(t, std::string(1, '\0'), 100) && put(t, "\xff", 101) && put(t, "a", 102);
    return ok ? 23 : -1;
  }));
  return out;
}

}  // namespace qrx::index_file
