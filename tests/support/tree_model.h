// tree_model.h - the reference for model-based tests of B-tree files: a sorted set of (key, item) pairs in
// the tree's order, a deterministic random generator whose seed is printed on failure, and helpers that
// walk a tree handle through the public operations and compare it with the model.
//
// TreeModel and Rng are plain in-memory objects (defined here, usable without the library). The walk
// helpers (tree_model.cc) call the public operations of qrxcb.h; they take the handle as the caller's
// thread uses it and are not meant to run while another thread changes the same file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qrxcb.h"
#include "support/tree_builder.h"
#include "support/tree_checker.h"

namespace qrx::test {

// The entries a correct tree holds, in its order: compare function, then the item as a signed number.
class TreeModel {
 public:
  struct Less {
    cbt_keycmp_fn cmp;
    bool operator()(const KeyItem &a, const KeyItem &b) const { return compare_entries(cmp, a, b) < 0; }
  };
  using Set = std::set<KeyItem, Less>;

  // cmp null: the default byte order.
  explicit TreeModel(cbt_keycmp_fn cmp = nullptr) : cmp_(cmp), set_(Less{cmp}) {}

  cbt_keycmp_fn compare() const { return cmp_; }
  size_t size() const { return set_.size(); }
  bool empty() const { return set_.empty(); }
  const Set &entries() const { return set_; }
  std::vector<KeyItem> to_vector() const { return {set_.begin(), set_.end()}; }

  bool contains(const std::string &key, uint32_t item) const { return set_.count({key, item}) != 0; }
  // True when some entry's key compares equal to key (any item).
  bool has_key(const std::string &key) const {
    auto it = set_.lower_bound({key, 0x80000000u});  // the lowest signed item
    return it != set_.end() && compare_keys(cmp_, it->key, key) == 0;
  }
  // The error cbinsert must report for the pair: 18 when it is present, 17 when an equal key is present
  // and dupok is 0, else 0 (accepted).
  int insert_error(const std::string &key, uint32_t item, int32_t dupok) const {
    if (contains(key, item)) return 18;
    if (dupok == 0 && has_key(key)) return 17;
    return 0;
  }
  // Adds the pair; false when it was there already.
  bool insert(const std::string &key, uint32_t item) { return set_.insert({key, item}).second; }
  // Removes the pair; false when it was not there.
  bool erase(const std::string &key, uint32_t item) { return set_.erase({key, item}) != 0; }
  // The first entry at or after (key, item): where cbfinditem lands (cbfind uses item 0).
  std::optional<KeyItem> lower_bound(const std::string &key, uint32_t item) const {
    auto it = set_.lower_bound({key, item});
    if (it == set_.end()) return std::nullopt;
    return *it;
  }

 private:
  cbt_keycmp_fn cmp_;
  Set set_;
};

// Deterministic generator (xoshiro256** seeded through splitmix64): the same seed gives the same sequence
// on every platform and library. QRX_TEST_SEED in the environment overrides the seed a test asks for.
class Rng {
 public:
  explicit Rng(uint64_t seed) : seed_(seed_from_env(seed)) {
    uint64_t x = seed_;
    for (auto &w : s_) {
      x += 0x9e3779b97f4a7c15ULL;
      uint64_t z = x;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
      w = z ^ (z >> 31);
    }
  }

  static uint64_t seed_from_env(uint64_t fallback) {
    const char *s = std::getenv("QRX_TEST_SEED");
    if (s == nullptr || *s == '\0') return fallback;
    return std::strtoull(s, nullptr, 0);
  }

  uint64_t seed() const { return seed_; }

  uint64_t next() {
    const uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }
  // Uniform in [0, n); 0 when n is 0.
  uint64_t below(uint64_t n) {
    if (n == 0) return 0;
    const uint64_t limit = UINT64_MAX - UINT64_MAX % n;  // reject the uneven top to stay uniform
    uint64_t x;
    do x = next();
    while (x >= limit);
    return x % n;
  }
  // Uniform in [lo, hi].
  int64_t range(int64_t lo, int64_t hi) {
    return lo + static_cast<int64_t>(below(static_cast<uint64_t>(hi - lo) + 1));
  }
  // True once in n calls on average.
  bool one_in(uint64_t n) { return below(n) == 0; }
  uint32_t item() { return static_cast<uint32_t>(next() >> 32); }
  // len bytes of any value (NUL included).
  std::string bytes(size_t len) {
    std::string s(len, '\0');
    for (auto &c : s) c = static_cast<char>(next() >> 56);
    return s;
  }
  // len characters drawn from alphabet.
  std::string text(size_t len, std::string_view alphabet = "abcdefghijklmnopqrstuvwxyz") {
    std::string s(len, '\0');
    for (auto &c : s) c = alphabet[below(alphabet.size())];
    return s;
  }
  template <class T>
  void shuffle(std::vector<T> &v) {
    for (size_t i = v.size(); i > 1; --i) std::swap(v[i - 1], v[below(i)]);
  }

 private:
  static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t seed_;
  uint64_t s_[4];
};

// The text SCOPED_TRACE shows for a generator: its seed and how to rerun with it.
inline std::string seed_text(const Rng &rng) {
  return "seed " + std::to_string(rng.seed()) + " (rerun with QRX_TEST_SEED=" + std::to_string(rng.seed()) +
         ")";
}
#define QRX_TRACE_SEED(rng) SCOPED_TRACE(::qrx::test::seed_text(rng))

// ---------------------------------------------------------------------------------------------------
// Walks through the public operations (tree_model.cc).
// ---------------------------------------------------------------------------------------------------

// cbhead, then cbnext until the end: exactly the model's entries in order (keys compared as same_entries
// does), then -3. Bounded by the model's size, so a looping tree is reported, not followed.
testing::AssertionResult walk_forward_matches(cbt_tree *t, const TreeModel &m);
// cbtail, then cbprev until the start: the model backward, then -2.
testing::AssertionResult walk_backward_matches(cbt_tree *t, const TreeModel &m);

// The whole check after a batch of changes: cbflush, check_index on path (with the model's compare
// function; opt.cmp is replaced), the checker's entry count and dump_entries against the model, then
// both walks. path is the file the handle was opened on.
testing::AssertionResult tree_matches_model(cbt_tree *t, const std::string &path, const TreeModel &m,
                                            CheckOptions opt = {});

// The entry under the handle's cursor (cbcurr, cbkeylen, cbkey), or nullopt with *status set to what
// cbcurr returned when the cursor is not on an entry (-2, -3) or a read failed (-1).
std::optional<KeyItem> cursor_entry(cbt_tree *t, int32_t *status = nullptr);

}  // namespace qrx::test
