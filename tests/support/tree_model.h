// tree_model.h - the reference for model-based tests: a sorted set of (key, item) pairs in the tree's
// order, a deterministic generator whose seed is shown on failure, and walks of a tree handle through the
// public operations compared with the model (not while another thread changes the same file).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <random>
#include <set>
#include <string_view>
#include <utility>

#include "support/tree_checker.h"  // KeyItem, CheckOptions, qrxcb.h

namespace qrx::test {

// The entries a correct tree holds: compare function, then the item as a signed number.
class TreeModel {
 public:
  struct Less {
    cbt_keycmp_fn cmp;
    bool operator()(const KeyItem &a, const KeyItem &b) const { return compare_entries(cmp, a, b) < 0; }
  };
  using Set = std::set<KeyItem, Less>;

  explicit TreeModel(cbt_keycmp_fn cmp = nullptr) : cmp_(cmp), set_(Less{cmp}) {}
  cbt_keycmp_fn compare() const { return cmp_; }
  size_t size() const { return set_.size(); }
  bool empty() const { return set_.empty(); }
  const Set &entries() const { return set_; }
  std::vector<KeyItem> to_vector() const { return {set_.begin(), set_.end()}; }
  // What cbinsert must report: 18 when the pair is present, 17 when an equal key is and dupok is 0.
  int insert_error(const std::string &key, uint32_t item, int32_t dupok) const {
    if (set_.count({key, item})) return 18;
    auto it = set_.lower_bound({key, 0x80000000u});  // the lowest signed item
    return dupok == 0 && it != set_.end() && compare_keys(cmp_, it->key, key) == 0 ? 17 : 0;
  }
  bool insert(const std::string &key, uint32_t item) { return set_.insert({key, item}).second; }
  bool erase(const std::string &key, uint32_t item) { return set_.erase({key, item}) != 0; }

 private:
  cbt_keycmp_fn cmp_;
  Set set_;
};

// The standard 64-bit Mersenne Twister; QRX_TEST_SEED in the environment overrides the seed.
class Rng {
 public:
  explicit Rng(uint64_t seed) : seed_(seed) {
    if (const char *env = std::getenv("QRX_TEST_SEED"); env && *env) seed_ = std::strtoull(env, nullptr, 0);
    gen_.seed(seed_);
  }
  uint64_t seed() const { return seed_; }
  uint64_t next() { return gen_(); }
  uint64_t below(uint64_t n) {  // uniform in [0, n); 0 when n is 0
    uint64_t x = n ? next() : 0;
    while (n && x >= UINT64_MAX - UINT64_MAX % n) x = next();
    return n ? x % n : 0;
  }
  int64_t range(int64_t lo, int64_t hi) { return lo + static_cast<int64_t>(below(uint64_t(hi - lo) + 1)); }
  bool one_in(uint64_t n) { return below(n) == 0; }
  uint32_t item() { return static_cast<uint32_t>(next() >> 32); }
  std::string bytes(size_t len) {  // any byte values, NUL included
    std::string s(len, '\0');
    for (auto &c : s) c = static_cast<char>(next() >> 56);
    return s;
  }
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
  uint64_t seed_;
  std::mt19937_64 gen_;
};

#define QRX_TRACE_SEED(rng) \
  SCOPED_TRACE("seed " + std::to_string((rng).seed()) + " (rerun with QRX_TEST_SEED set to it)")

// After a batch: cbflush, check_index (with the model's compare), the leaf entries, the library's deep
// check, and cbhead/cbnext to EOI and cbtail/cbprev to BOI against the model. path is the file the
// handle was opened on.
testing::AssertionResult tree_matches_model(cbt_tree *t, const std::string &path, const TreeModel &m,
                                            CheckOptions opt = {});

// The entry under the cursor, or nullopt with *status what cbcurr returned (-1 when a read failed).
std::optional<KeyItem> cursor_entry(cbt_tree *t, int32_t *status = nullptr);

}  // namespace qrx::test
