// tree_checker.cc - the structural check of index files from their bytes (rules in tree_checker.h).
#include "support/tree_checker.h"

#include <algorithm>
#include <sstream>
#include <tuple>

#include "cbt/codec.h"
#include "support/test_util.h"

namespace qrx::test {

namespace codec = qrx::codec;

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

struct Ref {  // one entry as read from a block
  const uint8_t *key = nullptr;
  int32_t len = 0;
  uint32_t item = 0;
  int32_t blk = 0, idx = -1;  // blk 0: no entry
};

std::string show(const Ref &r) {
  return describe({std::string(reinterpret_cast<const char *>(r.key), static_cast<size_t>(r.len)), r.item}) +
         " (block " + std::to_string(r.blk) + " entry " + std::to_string(r.idx) + ")";
}

class Checker {
 public:
  Checker(std::vector<uint8_t> bytes, const CheckOptions &opt, std::vector<KeyItem> *dump)
      : b_(std::move(bytes)), opt_(opt), dump_(dump) {}

  CheckResult run() {
    if (b_.size() < kCtlSize)
      return bad("file: ", b_.size(), " bytes, shorter than the control record"), done();
    ctl_ = load_ctl(b_.data());
    bs_ = ctl_.blksize;
    if (ctl_.vparity != ctl_parity(b_.data()))
      bad("block 0: parity stored ", ctl_.vparity, ", computed ", ctl_parity(b_.data()));
    if (bs_ < kMinBlksize || bs_ > kMaxBlksize || ctl_.highblock < 0)
      return bad("block 0: blksize ", bs_, " or highblock ", ctl_.highblock, " is out of range"), done();
    const auto blocks = static_cast<int64_t>(b_.size() / bs_);
    if (b_.size() % bs_ != 0 || blocks != int64_t{ctl_.highblock} + 1)
      bad("file: ", b_.size(), " bytes, not highblock + 1 = ", ctl_.highblock + 1LL, " blocks of ", bs_);
    const auto tail = b_.begin() + std::min<size_t>(bs_, b_.size());
    if (std::any_of(b_.begin() + kCtlSize, tail, [](uint8_t c) { return c != 0; }))
      bad("block 0: the bytes after the control record are not zero");
    const auto n = static_cast<size_t>(std::min<int64_t>(ctl_.highblock, blocks - 1) + 1);
    state_.assign(n, kNone);
    leaf_prev_.assign(n, 0);
    walk_tree();
    walk_chain();
    for (size_t b = 1; b < n; ++b)
      if (state_[b] == kNone) bad("block ", b, ": neither in the tree nor on the unused chain");
    return done();
  }

 private:
  enum : uint8_t { kNone, kTree, kReadable, kChain };  // kReadable: a tree node whose entries may be read
  using Child = std::pair<int32_t, std::string>;       // a block and who names it

  template <class... A>
  void bad(const A &...a) {
    std::ostringstream os;
    (os << ... << a);
    res_.problems.push_back(os.str());
  }
  CheckResult done() { return res_.ok = res_.problems.empty(), std::move(res_); }

  bool usable(int32_t b) const { return b >= 1 && static_cast<size_t>(b) < state_.size(); }
  const uint8_t *data(int32_t b) const { return b_.data() + uint64_t{bs_} * static_cast<uint32_t>(b); }
  int32_t word(int32_t b, uint32_t off) const { return codec::load_i32(data(b), off); }
  bool leaf(int32_t b) const { return word(b, kNodeLowPathOff) == -1; }
  int32_t kc(int32_t b) const { return word(b, kNodeKeyCntOff); }
  int32_t child(int32_t b, int32_t i) const { return word(b, entry_pos(false, i) + kEntryChildOff); }
  Ref entry(int32_t b, int32_t i) const {
    const uint32_t at = entry_pos(leaf(b), i);
    return {data(b) + word(b, at + kEntryOffsetOff), word(b, at + kEntryLenOff),
            codec::load_u32(data(b), at + kEntryItemOff), b, i};
  }
  int cmp(const Ref &a, const Ref &b, bool with_items = true) const {
    const int c =
        compare_keys(opt_.cmp, a.key, static_cast<uint32_t>(a.len), b.key, static_cast<uint32_t>(b.len));
    const auto x = static_cast<int32_t>(a.item), y = static_cast<int32_t>(b.item);
    return c || !with_items ? c : (x > y) - (x < y);
  }

  // Header, directory and heap of one node; true when its entries may be read.
  bool check_node(int32_t b) {
    const bool lf = leaf(b);
    const int32_t n = kc(b), he = word(b, kNodeHeapEndOff);
    const int64_t dir_end = kNodeHeaderSize + int64_t{lf ? kLeafEntrySize : kInteriorEntrySize} * n;
    if (n < 0 || dir_end > bs_ || he < dir_end || he > int64_t{bs_})
      return bad("block ", b, ": key_cnt ", n, " or heap_end ", he, " is out of range"), false;
    if (n == 0 && (lf || b == ctl_.root))
      bad("block ", b, lf ? ": empty leaf" : ": root with only its low path");
    int64_t pos = he;  // the heap: packed in entry order, shared only by neighbours of one length
    bool heap_ok = true;
    for (int32_t i = 0; i < n; ++i) {
      const uint32_t at = entry_pos(lf, i);
      const int64_t off = word(b, at + kEntryOffsetOff), len = word(b, at + kEntryLenOff);
      if (len < 0 || off < he || off + len > int64_t{bs_})
        return bad("block ", b, " entry ", i, ": key at ", off, ", length ", len, " is outside the heap"),
               false;
      const Ref e = entry(b, i), p = i ? entry(b, i - 1) : Ref{};
      const bool shared = i > 0 && len > 0 && p.len > 0 && e.key == p.key;
      if (shared && len != p.len)
        heap_ok = false, bad("block ", b, " entry ", i, ": shares bytes with a key of another length");
      if (!shared && i > 0 && len > 0 && len == p.len && cmp(p, e, false) == 0)
        bad("block ", b, " entry ", i, ": equal to entry ", i - 1, " but keeps a copy of its own bytes");
      if (!shared && heap_ok && off != pos)
        bad("block ", b, " entry ", i, ": key at ", off, " (heap not packed)");
      if (!shared) heap_ok = heap_ok && off == pos;
      pos += shared ? 0 : len;
    }
    if (heap_ok && pos != int64_t{bs_})
      bad("block ", b, ": key heap ends at ", pos, ", not at the block end");
    return true;
  }

  // Blocks from first along the link at off, each marked; stops at a block outside the file or seen before.
  std::vector<int32_t> follow(int32_t first, uint32_t off, uint8_t mark, const std::string &what) {
    std::vector<int32_t> out;
    for (int32_t b = first, from = 0; b != 0; from = b, b = word(b, off)) {
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
    std::vector<Child> want{{ctl_.root, "the control record"}};
    std::vector<std::vector<int32_t>> levels;
    bool known = true;
    for (int32_t first = ctl_.root, level = 1; first != 0; ++level) {
      const std::vector<int32_t> nodes =
          follow(first, kNodeRightOff, kTree, "level " + std::to_string(level));
      if (nodes.empty()) break;
      const bool on_leaves = leaf(nodes[0]);
      if (known) compare_children(level, nodes, want);
      for (size_t j = 0; j < nodes.size(); ++j)
        if (const int32_t left = word(nodes[j], kNodeLeftOff), w = j ? nodes[j - 1] : 0; left != w)
          bad("block ", nodes[j], ": left is ", left, ", but the block before it on the level is ", w);
      known = true;
      Ref last;
      for (int32_t b : nodes) {
        const int32_t lp = word(b, kNodeLowPathOff);
        if (on_leaves ? lp != -1 : lp <= 0)
          bad("block ", b, ": low_path ", lp, " on level ", level);
        else if (check_node(b))
          state_[b] = kReadable;
        known = known && state_[b] == kReadable;
        if (state_[b] != kReadable) continue;
        res_.stats.leaves += on_leaves;
        for (int32_t i = 0; i < kc(b); ++i) {
          const Ref e = entry(b, i);
          if (on_leaves && dump_)
            dump_->push_back({std::string(reinterpret_cast<const char *>(e.key), e.len), e.item});
          if (last.blk != 0 && cmp(last, e) >= 0) bad(show(e), " is not after ", show(last));
          last = e;
        }
      }
      levels.push_back(nodes);
      if (on_leaves) break;
      want.clear();
      for (size_t j = 0; known && j < nodes.size(); ++j) {
        const std::string by = "block " + std::to_string(nodes[j]);
        want.push_back({word(nodes[j], kNodeLowPathOff), "the low path of " + by});
        for (int32_t i = 0; i < kc(nodes[j]); ++i)
          want.push_back({child(nodes[j], i), by + " entry " + std::to_string(i)});
      }
      first = word(nodes[0], kNodeLowPathOff);
    }
    if (levels.empty() || !leaf(levels.back()[0]))
      return bad("block 0: the walk from the root reaches no leaf");
    const std::vector<int32_t> &leaves = levels.back();
    const std::tuple<const char *, int32_t, size_t> fields[] = {{"depth", ctl_.depth, levels.size()},
                                                                {"lowleaf", ctl_.lowleaf, leaves.front()},
                                                                {"highleaf", ctl_.highleaf, leaves.back()}};
    for (const auto &[name, stored, found] : fields)
      if (stored < 0 || static_cast<size_t>(stored) != found)
        bad("block 0: ", name, " ", stored, ", but the tree says ", found);
    for (size_t j = 1; j < leaves.size(); ++j) leaf_prev_[leaves[j]] = leaves[j - 1];
    check_separators(levels);
  }

  void compare_children(int32_t level, const std::vector<int32_t> &nodes, const std::vector<Child> &want) {
    const size_t n = std::min(nodes.size(), want.size());
    for (size_t j = 0; j < n; ++j)
      if (nodes[j] != want[j].first)
        return bad("level ", level, ": block ", nodes[j], " stands at place ", j, " along right, but ",
                   want[j].second, " names block ", want[j].first);
    if (nodes.size() > n)
      bad("level ", level, ": block ", nodes[n], " is named by no entry of the level above");
    if (want.size() > n)
      bad("level ", level, ": the level ends after block ", nodes.back(), ", but ", want[n].second,
          " names block ", want[n].first);
  }

  // Every interior entry against the lowest entry under its child (relaxed: and the last one left of it).
  void check_separators(const std::vector<std::vector<int32_t>> &levels) {
    auto leftmost = [&](int32_t b) {  // the leftmost leaf under b, 0 when unreadable
      for (size_t d = 0; d < levels.size() && usable(b) && state_[b] == kReadable;
           ++d, b = word(b, kNodeLowPathOff))
        if (leaf(b)) return kc(b) > 0 ? b : 0;
      return 0;
    };
    for (size_t l = 0; l + 1 < levels.size(); ++l)
      for (int32_t b : levels[l])
        for (int32_t i = 0; state_[b] == kReadable && i < kc(b); ++i) {
          const int32_t c = child(b, i), low_leaf = leftmost(c), p = low_leaf ? leaf_prev_[low_leaf] : 0;
          if (low_leaf == 0) continue;
          const Ref e = entry(b, i), low = entry(low_leaf, 0);
          if (opt_.relaxed ? cmp(e, low) > 0 : cmp(e, low) != 0 || e.len != low.len)
            bad(show(e), " names child ", c, ", but the lowest entry under it is ", show(low));
          if (opt_.relaxed && p != 0 && state_[p] == kReadable && kc(p) > 0 &&
              cmp(e, entry(p, kc(p) - 1)) <= 0)
            bad(show(e), " does not exceed ", show(entry(p, kc(p) - 1)), ", the last entry left of child ",
                c);
        }
  }

  void walk_chain() {
    const std::vector<int32_t> chain = follow(ctl_.freechain, kNodeNextUnusedOff, kChain, "unused chain");
    res_.stats.unused = static_cast<int32_t>(chain.size());
    for (int32_t b : chain)
      if (word(b, kNodeLowPathOff) != 0)
        bad("unused chain: block ", b, " has low_path ", word(b, 0), ", not 0");
  }

  std::vector<uint8_t> b_;
  const CheckOptions opt_;
  std::vector<KeyItem> *dump_;
  CheckResult res_;
  CtlFields ctl_;
  uint32_t bs_ = 0;
  std::vector<uint8_t> state_;
  std::vector<int32_t> leaf_prev_;  // per leaf: the leaf before it
};

}  // namespace

CheckResult check_index(const std::string &path, const CheckOptions &opt,
                        std::vector<KeyItem> *leaf_entries) {
  const std::string bytes = read_file(path);
  return Checker({bytes.begin(), bytes.end()}, opt, leaf_entries).run();
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
