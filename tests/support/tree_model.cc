// tree_model.cc - walks of a tree handle through the public operations, compared with a TreeModel.
#include "support/tree_model.h"

#include <algorithm>

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

// The entries from cbhead along cbnext to EOI (forward) or from cbtail along cbprev to BOI, at most
// limit + 1 of them; *why says what failed.
std::vector<KeyItem> walk(cbt_tree *t, bool forward, size_t limit, std::string *why) {
  std::vector<KeyItem> out;
  uint32_t item = 0;
  int32_t r = forward ? cbhead(t, &item) : cbtail(t, &item);
  for (; r == 1 && why->empty() && out.size() <= limit; r = forward ? cbnext(t, &item) : cbprev(t, &item))
    out.push_back({key_at_cursor(t, why), item});
  if (why->empty() && r != 1 && r != (forward ? CBT_POS_EOI : CBT_POS_BOI))
    *why = "returned " + std::to_string(r) + " after " + std::to_string(out.size()) + " entries" + codes();
  return out;
}

}  // namespace

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
  for (const bool forward : {true, false}) {
    std::string why;
    const std::vector<KeyItem> got = walk(t, forward, m.size(), &why);
    std::vector<KeyItem> want = m.to_vector();
    if (!forward) std::reverse(want.begin(), want.end());
    const char *names = forward ? "cbhead/cbnext: " : "cbtail/cbprev: ";
    if (!why.empty()) return testing::AssertionFailure() << names << why;
    if (auto r = same_entries(got, want, m.compare()); !r)
      return testing::AssertionFailure() << names << r.message();
  }
  return testing::AssertionSuccess();
}

std::optional<KeyItem> cursor_entry(cbt_tree *t, int32_t *status) {
  uint32_t item = 0;
  int32_t r = cbcurr(t, &item);
  std::string why, key = r == 1 ? key_at_cursor(t, &why) : "";
  if (status) *status = why.empty() ? r : -1;
  return r == 1 && why.empty() ? std::optional<KeyItem>(KeyItem{key, item}) : std::nullopt;
}

}  // namespace qrx::test
