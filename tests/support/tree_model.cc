// tree_model.cc - walks of a tree handle through the public operations, compared with a TreeModel.
#include "support/tree_model.h"

namespace qrx::test {

namespace {

std::string codes() {
  return " (error " + std::to_string(*qrxcbecd()) + ", context " + std::to_string(*qrxcbccd()) +
         ", function " + std::to_string(*qrxcbfcd()) + ")";
}

// The key at the cursor through cbkeylen and cbkey; "" in *why, else what failed.
std::string key_at_cursor(cbt_tree *t, std::string *why) {
  uint32_t len = 0;
  if (const int32_t r = cbkeylen(t, &len); r != 1)
    return *why = "cbkeylen returned " + std::to_string(r) + codes(), "";
  std::string buf(size_t{len} + 1, '\x7f');
  if (const int32_t r = cbkey(t, buf.data(), len + 1); r != 1)
    *why = "cbkey returned " + std::to_string(r) + codes();
  return buf.substr(0, len);
}

template <class It, class First, class Step>
testing::AssertionResult walk(cbt_tree *t, const TreeModel &m, It it, It end, First first, Step step,
                              int32_t end_code, const char *names) {
  uint32_t item = 0;
  for (int32_t r = first(t, &item), pos = 0;; r = step(t, &item), ++pos, ++it) {
    if (r == end_code && it == end) return testing::AssertionSuccess();
    if (r == end_code)
      return testing::AssertionFailure() << names << ": ends after " << pos << " entries, the model has "
                                         << m.size() << "; next expected " << describe(*it);
    if (r != 1) return testing::AssertionFailure() << names << ": returned " << r << " at " << pos << codes();
    std::string why;
    const KeyItem got{key_at_cursor(t, &why), item};
    if (!why.empty()) return testing::AssertionFailure() << names << ": at " << pos << ": " << why;
    if (it == end)
      return testing::AssertionFailure() << names << ": " << describe(got) << " at " << pos
                                         << " is beyond the model's " << m.size() << " entries";
    if (auto same = same_entries({got}, {*it}, m.compare()); !same)
      return testing::AssertionFailure() << names << ": at " << pos << ": " << same.message();
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
  if (cbflush(t) != 1) return testing::AssertionFailure() << "cbflush failed" << codes();
  opt.cmp = m.compare();
  std::vector<KeyItem> leaves;
  const CheckResult c = check_index(path, opt, &leaves);
  if (!c.ok) return testing::AssertionFailure() << path << " fails the structural check:\n" << c.text();
  if (auto r = same_entries(leaves, m.to_vector(), m.compare()); !r)
    return testing::AssertionFailure() << "leaves against the model: " << r.message();
  if (qrxcbchk(t) != 1) return testing::AssertionFailure() << "the library's deep check disagrees" << codes();
  if (auto r = walk_forward_matches(t, m); !r) return r;
  return walk_backward_matches(t, m);
}

std::optional<KeyItem> cursor_entry(cbt_tree *t, int32_t *status) {
  uint32_t item = 0;
  int32_t r = cbcurr(t, &item);
  std::string why, key = r == 1 ? key_at_cursor(t, &why) : "";
  if (status) *status = why.empty() ? r : -1;
  return r == 1 && why.empty() ? std::optional<KeyItem>(KeyItem{key, item}) : std::nullopt;
}

}  // namespace qrx::test
