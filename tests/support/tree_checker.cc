// tree_checker.cc - the structural check of index files from their bytes (rules in tree_checker.h).
#include "support/tree_checker.h"

#include <algorithm>
#include <sstream>

#include "support/test_util.h"

namespace qrx::test {

bool CheckResult::mentions(const std::string &part) const {
  return std::any_of(problems.begin(), problems.end(),
                     [&](const std::string &p) { return p.find(part) != std::string::npos; });
}

std::string CheckResult::text() const {
  std::string s;
  for (const auto &p : problems) s += p + "\n";
  return s + std::to_string(stats.leaves) + " leaves, " + std::to_string(stats.unused) + " unused";
}

namespace {

constexpr uint32_t kMinBlksize = 88, kMaxBlksize = 16u << 20;

class Checker {
 public:
  Checker(const std::string &bytes, const CheckOptions &opt, std::vector<KeyItem> *dump)
      : b_(bytes), opt_(opt), dump_(dump) {}

  CheckResult run() {
    const auto *raw = reinterpret_cast<const uint8_t *>(b_.data());
    if (b_.size() < kCtlSize)
      return bad("file: ", b_.size(), " bytes, shorter than the control record"), done();
    ctl_ = load_ctl(raw);
    bs_ = ctl_.blksize;
    if (ctl_.vparity != ctl_parity(raw))
      bad("block 0: parity stored ", ctl_.vparity, ", computed ", ctl_parity(raw));
    if (bs_ < kMinBlksize || bs_ > kMaxBlksize || ctl_.highblock < 0)
      return bad("block 0: blksize ", bs_, " or highblock ", ctl_.highblock, " is out of range"), done();
    const auto blocks = static_cast<int64_t>(b_.size() / bs_);
    if (b_.size() % bs_ != 0 || blocks != int64_t{ctl_.highblock} + 1)
      bad("file: ", b_.size(), " bytes, not highblock + 1 = ", ctl_.highblock + 1LL, " blocks of ", bs_);
    if (b_.find_first_not_of('\0', kCtlSize) < std::min<size_t>(bs_, b_.size()))
      bad("block 0: the bytes after the control record are not zero");
    const auto n = static_cast<size_t>(std::min<int64_t>(ctl_.highblock, blocks - 1) + 1);
    state_.assign(n, kNone);
    nodes_.resize(n), parse_problems_.resize(n), leaf_prev_.assign(n, 0);
    for (size_t b = 1; b < n; ++b) nodes_[b] = parse_node(raw + uint64_t{bs_} * b, bs_, &parse_problems_[b]);
    walk_tree();
    walk_chain();
    for (size_t b = 1; b < n; ++b)
      if (state_[b] == kNone) bad("block ", b, ": neither in the tree nor on the unused chain");
    return done();
  }

 private:
  enum : uint8_t { kNone, kTree, kReadable, kChain };  // kReadable: a tree node whose entries may be read

  template <class... A>
  void bad(const A &...a) {
    std::ostringstream os;
    (os << ... << a);
    res_.problems.push_back(os.str());
  }
  CheckResult done() { return res_.ok = res_.problems.empty(), std::move(res_); }

  bool usable(int32_t b) const { return b >= 1 && static_cast<size_t>(b) < state_.size(); }
  bool leaf(int32_t b) const { return nodes_[b].low_path == -1; }
  static std::string show(int32_t b, size_t i, const KeyItem &e) {
    return describe(e) + " (block " + std::to_string(b) + " entry " + std::to_string(i) + ")";
  }

  // The heap of one node: packed from heap_end to the block end in entry order, bytes shared only by
  // equal neighbours of one length, and always by them. True when its entries may be read.
  bool check_node(int32_t b) {
    const NodeImage &n = nodes_[b];
    if (!parse_problems_[b].empty()) return bad("block ", b, ": ", parse_problems_[b]), false;
    if (n.key_cnt == 0 && (leaf(b) || b == ctl_.root))
      bad("block ", b, leaf(b) ? ": empty leaf" : ": root with only its low path");
    int64_t pos = n.heap_end;
    bool heap_ok = true;
    for (size_t i = 0; i < n.entries.size(); ++i) {
      const std::string &k = n.entries[i].key, *p = i ? &n.entries[i - 1].key : nullptr;
      const bool shared = p && !k.empty() && !p->empty() && n.offsets[i] == n.offsets[i - 1];
      if (shared && k.size() != p->size())
        heap_ok = false, bad("block ", b, " entry ", i, ": shares bytes with a key of another length");
      if (!shared && p && !k.empty() && k.size() == p->size() && compare_keys(opt_.cmp, *p, k) == 0)
        bad("block ", b, " entry ", i, ": equal to entry ", i - 1, " but keeps a copy of its own bytes");
      if (!shared && heap_ok && n.offsets[i] != pos)
        bad("block ", b, " entry ", i, ": key at ", n.offsets[i], " (heap not packed)");
      if (!shared) heap_ok = heap_ok && n.offsets[i] == pos;
      pos += shared ? 0 : static_cast<int64_t>(k.size());
    }
    if (heap_ok && pos != int64_t{bs_})
      bad("block ", b, ": key heap ends at ", pos, ", not at the block end");
    return true;
  }

  // Blocks from first along right links (or the unused chain), each marked; stops at a block outside the
  // file or seen before.
  std::vector<int32_t> follow(int32_t first, bool chain, uint8_t mark, const std::string &what) {
    std::vector<int32_t> out;
    for (int32_t b = first, from = 0; b != 0; from = b, b = chain ? nodes_[b].left : nodes_[b].right) {
      if (!usable(b) || state_[b] != kNone)
        return bad(what, ": block ", b, " (after block ", from, ") ",
                   !usable(b)            ? "is outside the file"
                   : state_[b] == kChain ? "is reached a second time (a cycle)"
                                         : "is reached a second time (in the tree)"),
               out;
      state_[b] = mark;
      out.push_back(b);
    }
    return out;
  }

  void walk_tree() {
    if (ctl_.root == 0 && (ctl_.depth || ctl_.lowleaf || ctl_.highleaf))
      bad("block 0: root 0 but a depth or leaf");
    if (ctl_.root == 0) return;
    std::vector<int32_t> want{ctl_.root};  // the blocks the level above names, in order
    std::vector<std::vector<int32_t>> levels;
    bool known = true;
    for (int32_t first = ctl_.root, level = 1; first != 0; ++level) {
      const std::vector<int32_t> nodes = follow(first, false, kTree, "level " + std::to_string(level));
      if (nodes.empty()) break;
      const bool on_leaves = leaf(nodes[0]);
      if (known && nodes != want)
        bad("level ", level, ": the blocks along right are not the children the level above names");
      for (size_t j = 0; j < nodes.size(); ++j)
        if (const int32_t left = nodes_[nodes[j]].left, w = j ? nodes[j - 1] : 0; left != w)
          bad("block ", nodes[j], ": left is ", left, ", but the block before it on the level is ", w);
      known = true;
      const KeyItem *last = nullptr;
      int32_t last_blk = 0;
      size_t last_i = 0;
      for (int32_t b : nodes) {
        const int32_t lp = nodes_[b].low_path;
        if (on_leaves ? lp != -1 : lp <= 0)
          bad("block ", b, ": low_path ", lp, " on level ", level);
        else if (check_node(b))
          state_[b] = kReadable;
        known = known && state_[b] == kReadable;
        if (state_[b] != kReadable) continue;
        res_.stats.leaves += on_leaves;
        const std::vector<KeyItem> &es = nodes_[b].entries;
        for (size_t i = 0; i < es.size(); ++i) {
          if (on_leaves && dump_) dump_->push_back(es[i]);
          if (last && compare_entries(opt_.cmp, *last, es[i]) >= 0)
            bad(show(b, i, es[i]), " is not after ", show(last_blk, last_i, *last));
          last = &es[i], last_blk = b, last_i = i;
        }
      }
      levels.push_back(nodes);
      if (on_leaves) break;
      want.clear();
      for (size_t j = 0; known && j < nodes.size(); ++j) {
        want.push_back(nodes_[nodes[j]].low_path);
        want.insert(want.end(), nodes_[nodes[j]].children.begin(), nodes_[nodes[j]].children.end());
      }
      first = nodes_[nodes[0]].low_path;
    }
    if (levels.empty() || !leaf(levels.back()[0]))
      return bad("block 0: the walk from the root reaches no leaf");
    const std::vector<int32_t> &leaves = levels.back();
    const std::pair<const char *, std::pair<int32_t, size_t>> fields[] = {
        {"depth", {ctl_.depth, levels.size()}},
        {"lowleaf", {ctl_.lowleaf, leaves.front()}},
        {"highleaf", {ctl_.highleaf, leaves.back()}}};
    for (const auto &[name, values] : fields)
      if (values.first < 0 || static_cast<size_t>(values.first) != values.second)
        bad("block 0: ", name, " ", values.first, ", but the tree says ", values.second);
    for (size_t j = 1; j < leaves.size(); ++j) leaf_prev_[leaves[j]] = leaves[j - 1];
    check_separators(levels);
  }

  // Every interior entry against the lowest entry under its child (relaxed: and the last one left of it).
  void check_separators(const std::vector<std::vector<int32_t>> &levels) {
    auto leftmost = [&](int32_t b) {  // the leftmost leaf under b, 0 when unreadable
      for (size_t d = 0; d < levels.size() && usable(b) && state_[b] == kReadable;
           ++d, b = nodes_[b].low_path)
        if (leaf(b)) return nodes_[b].key_cnt > 0 ? b : 0;
      return 0;
    };
    for (size_t l = 0; l + 1 < levels.size(); ++l)
      for (int32_t b : levels[l])
        for (size_t i = 0; state_[b] == kReadable && i < nodes_[b].entries.size(); ++i) {
          const int32_t c = nodes_[b].children[i], low_leaf = leftmost(c),
                        p = low_leaf ? leaf_prev_[low_leaf] : 0;
          if (low_leaf == 0) continue;
          const KeyItem &e = nodes_[b].entries[i], &low = nodes_[low_leaf].entries[0];
          const int order = compare_entries(opt_.cmp, e, low);
          if (opt_.relaxed ? order > 0 : order != 0 || e.key.size() != low.key.size())
            bad(show(b, i, e), " names child ", c, ", but the lowest entry under it is ",
                show(low_leaf, 0, low));
          if (opt_.relaxed && p != 0 && state_[p] == kReadable && nodes_[p].key_cnt > 0 &&
              compare_entries(opt_.cmp, e, nodes_[p].entries.back()) <= 0)
            bad(show(b, i, e), " does not exceed ",
                show(p, nodes_[p].entries.size() - 1, nodes_[p].entries.back()),
                ", the last entry left of child ", c);
        }
  }

  void walk_chain() {
    const std::vector<int32_t> chain = follow(ctl_.freechain, true, kChain, "unused chain");
    res_.stats.unused = static_cast<int32_t>(chain.size());
    for (int32_t b : chain)
      if (nodes_[b].low_path != 0)
        bad("unused chain: block ", b, " has low_path ", nodes_[b].low_path, ", not 0");
  }

  const std::string &b_;
  const CheckOptions opt_;
  std::vector<KeyItem> *dump_;
  CheckResult res_;
  CtlFields ctl_;
  uint32_t bs_ = 0;
  std::vector<uint8_t> state_;
  std::vector<NodeImage> nodes_;  // blocks 1..highblock as read (entries only where parse_node allows)
  std::vector<std::string> parse_problems_;
  std::vector<int32_t> leaf_prev_;  // per leaf: the leaf before it
};

}  // namespace

CheckResult check_index(const std::string &path, const CheckOptions &opt,
                        std::vector<KeyItem> *leaf_entries) {
  const std::string bytes = read_file(path);
  return Checker(bytes, opt, leaf_entries).run();
}

testing::AssertionResult index_ok(const std::string &path, const CheckOptions &opt) {
  const CheckResult r = check_index(path, opt);
  if (r.ok) return testing::AssertionSuccess();
  return testing::AssertionFailure() << path << " fails the structural check:\n" << r.text();
}

std::vector<KeyItem> dump_entries(const std::string &path) {
  std::vector<KeyItem> out;
  check_index(path, {.relaxed = true}, &out);
  return out;
}

testing::AssertionResult same_entries(const std::vector<KeyItem> &got, const std::vector<KeyItem> &want,
                                      cbt_keycmp_fn cmp) {
  for (size_t i = 0; i < std::min(got.size(), want.size()); ++i)
    if (got[i].key.size() != want[i].key.size() || got[i].item != want[i].item ||
        (cmp ? compare_keys(cmp, got[i].key, want[i].key) != 0 : got[i].key != want[i].key))
      return testing::AssertionFailure()
             << "entry " << i << " is " << describe(got[i]) << ", expected " << describe(want[i]);
  if (got.size() == want.size()) return testing::AssertionSuccess();
  const bool more = got.size() > want.size();
  return testing::AssertionFailure() << got.size() << " entries, expected " << want.size() << "; "
                                     << (more ? "extra " : "missing ")
                                     << describe(more ? got[want.size()] : want[got.size()]);
}

}  // namespace qrx::test
