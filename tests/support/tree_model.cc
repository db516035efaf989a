// tree_model.cc - walks of a tree handle through the public operations, compared with a TreeModel.
#include "support/tree_model.h"

#include <vector>

namespace qrx::test {

namespace {

std::string codes() {
  return "(error " + std::to_string(*qrxcbecd()) + ", context " + std::to_string(*qrxcbccd()) +
         ", function " + std::to_string(*qrxcbfcd()) + ")";
}

// The key at the cursor through cbkeylen and cbkey; false with *why on failure.
bool key_at_cursor(cbt_tree *t, std::string *key, std::string *why) {
  uint32_t len = 0;
  const int32_t r = cbkeylen(t, &len);
  if (r != 1) {
    *why = "cbkeylen returned " + std::to_string(r) + " " + codes();
    return false;
  }
  std::vector<char> buf(static_cast<size_t>(len) + 1, '\x7f');
  const int32_t k = cbkey(t, buf.data(), static_cast<uint32_t>(buf.size()));
  if (k != 1) {
    *why = "cbkey returned " + std::to_string(k) + " " + codes();
    return false;
  }
  key->assign(buf.data(), len);
  return true;
}

bool same_key(cbt_keycmp_fn cmp, const std::string &got, const std::string &want) {
  if (got.size() != want.size()) return false;
  return cmp ? compare_keys(cmp, got, want) == 0 : got == want;
}

// Shared walk: first() positions on the first entry of the direction, step() moves on; `end` is the result
// that ends the walk (-3 forward, -2 backward).
template <class It, class First, class Step>
testing::AssertionResult walk(cbt_tree *t, const TreeModel &m, It begin, It end, First first, Step step,
                              int32_t end_code, const char *names) {
  uint32_t item = 0;
  int32_t r = first(t, &item);
  size_t pos = 0;
  for (It it = begin;; ++pos) {
    if (r == end_code) {
      if (it != end)
        return testing::AssertionFailure()
               << names << ": the walk ends after " << pos << " entries, the model has " << m.size()
               << "; next expected " << describe(*it);
      return testing::AssertionSuccess();
    }
    if (r != 1)
      return testing::AssertionFailure()
             << names << ": returned " << r << " at position " << pos << " " << codes();
    std::string key, why;
    if (!key_at_cursor(t, &key, &why))
      return testing::AssertionFailure() << names << ": at position " << pos << ": " << why;
    const KeyItem got{key, item};
    if (it == end)
      return testing::AssertionFailure() << names << ": entry " << describe(got) << " at position " << pos
                                         << " is beyond the model's " << m.size() << " entries";
    if (!same_key(m.compare(), key, it->key) || item != it->item)
      return testing::AssertionFailure() << names << ": position " << pos << " gives " << describe(got)
                                         << ", the model has " << describe(*it);
    ++it;
    r = step(t, &item);
  }
}

}  // namespace

testing::AssertionResult walk_forward_matches(cbt_tree *t, const TreeModel &m) {
  return walk(t, m, m.entries().begin(), m.entries().end(), cbhead, cbnext, CBT_POS_EOI, "cbhead/cbnext");
}

testing::AssertionResult walk_backward_matches(cbt_tree *t, const TreeModel &m) {
  return walk(t, m, m.entries().rbegin(), m.entries().rend(), cbtail, cbprev, CBT_POS_BOI, "cbtail/cbprev");
}

testing::AssertionResult tree_matches_model(cbt_tree *t, const std::string &path, const TreeModel &m,
                                            CheckOptions opt) {
  if (cbflush(t) != 1) return testing::AssertionFailure() << "cbflush failed " << codes();
  opt.cmp = m.compare();
  const CheckResult c = check_index(path, opt);
  if (!c.ok) return testing::AssertionFailure() << path << " fails the structural check:\n" << c.text();
  if (c.stats.entries != static_cast<int64_t>(m.size()))
    return testing::AssertionFailure()
           << "the leaves hold " << c.stats.entries << " entries, the model " << m.size();
  std::string error;
  const std::vector<KeyItem> leaves = dump_entries(path, &error);
  if (!error.empty()) return testing::AssertionFailure() << "reading the leaves: " << error;
  if (auto r = same_entries(leaves, m.to_vector(), m.compare()); !r)
    return testing::AssertionFailure() << "leaves against the model: " << r.message();
  if (auto r = walk_forward_matches(t, m); !r) return r;
  return walk_backward_matches(t, m);
}

std::optional<KeyItem> cursor_entry(cbt_tree *t, int32_t *status) {
  uint32_t item = 0;
  const int32_t r = cbcurr(t, &item);
  if (status) *status = r;
  if (r != 1) return std::nullopt;
  std::string key, why;
  if (!key_at_cursor(t, &key, &why)) {
    if (status) *status = -1;
    return std::nullopt;
  }
  return KeyItem{key, item};
}

}  // namespace qrx::test
