// tree_checker.cc - structural check of index files from their bytes; see tree_checker.h for the rules.
#include "support/tree_checker.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "cbt/codec.h"

namespace qrx::test {

namespace codec = qrx::codec;

bool CheckResult::mentions(const std::string &part) const {
  return std::any_of(problems.begin(), problems.end(),
                     [&](const std::string &p) { return p.find(part) != std::string::npos; });
}

std::string CheckResult::text() const {
  std::ostringstream os;
  for (const auto &p : problems) os << p << "\n";
  if (problem_count > problems.size()) os << "... and " << (problem_count - problems.size()) << " more\n";
  os << "blksize " << stats.blksize << ", highblock " << stats.highblock << ", depth " << stats.depth
     << ", entries " << stats.entries << ", leaves " << stats.leaves << ", interior " << stats.interior
     << ", unused " << stats.unused;
  return os.str();
}

namespace {

constexpr uint32_t kMinBlksize = 88;                 // the smallest block size a file is created with
constexpr uint32_t kMaxBlksize = 16u * 1024 * 1024;  // beyond any pool buffer: certainly damaged

// One entry as read from a block, with where it stands.
struct Ref {
  const uint8_t *key = nullptr;
  int32_t len = 0;
  uint32_t item = 0;
  int32_t blk = 0;  // 0: no entry
  int32_t idx = -1;
};

std::string show(const Ref &r) {
  return "('" + printable(r.key, static_cast<size_t>(r.len)) + "', " +
         std::to_string(static_cast<int32_t>(r.item)) + ")";
}

std::string where(const Ref &r) {
  return "block " + std::to_string(r.blk) + " entry " + std::to_string(r.idx);
}

class Checker {
 public:
  Checker(const std::string &path, const CheckOptions &opt) : path_(path), opt_(opt) {}

  CheckResult run() {
    try {
      bytes_ = read_file_bytes(path_);
    } catch (const std::exception &e) {
      problem(std::string("file: ") + e.what());
      return finish();
    }
    if (bytes_.size() < kCtlSize) {
      problem("file: " + std::to_string(bytes_.size()) + " bytes, shorter than the control record");
      return finish();
    }
    if (!check_ctl()) return finish();
    // Per-block tables cover the blocks that are both named by highblock and present in the file, so a
    // damaged highblock costs nothing.
    const auto n = static_cast<size_t>(std::min<int64_t>(hb_, blocks_ - 1) + 1);
    state_.assign(n, kNone);
    ok_.assign(n, 0);
    leftmost_.assign(n, 0);
    leaf_prev_.assign(n, 0);
    walk_tree();
    walk_chain();
    for (int32_t b = 1; b <= hb_ && b < blocks_; ++b)
      if (state_[b] == kNone) problem(blk(b) + "neither in the tree nor on the unused chain");
    return finish();
  }

 private:
  enum : uint8_t { kNone = 0, kTree = 1, kChain = 2 };

  // The parent's reference that put a block at its place on a level.
  struct Child {
    int32_t blk;
    int32_t parent;  // 0: the control record's root
    int32_t entry;   // -1: the parent's low path
  };

  static std::string blk(int32_t b) { return "block " + std::to_string(b) + ": "; }
  static std::string ent(int32_t b, int32_t i) {
    return "block " + std::to_string(b) + " entry " + std::to_string(i) + ": ";
  }

  void problem(std::string text) {
    ++res_.problem_count;
    if (res_.problems.size() < opt_.max_problems) res_.problems.push_back(std::move(text));
  }

  CheckResult finish() {
    res_.ok = res_.problem_count == 0;
    return std::move(res_);
  }

  int cmp_keys(const Ref &a, const Ref &b) const {
    return compare_keys(opt_.cmp, a.key, static_cast<uint32_t>(a.len), b.key, static_cast<uint32_t>(b.len));
  }
  int cmp_entries(const Ref &a, const Ref &b) const {
    const int c = cmp_keys(a, b);
    if (c != 0) return c;
    const auto x = static_cast<int32_t>(a.item);
    const auto y = static_cast<int32_t>(b.item);
    return x < y ? -1 : (x > y ? 1 : 0);
  }

  // Block access; callers have checked in_file.
  const uint8_t *data(int32_t b) const { return bytes_.data() + uint64_t{bs_} * static_cast<uint64_t>(b); }
  int32_t word(int32_t b, uint32_t off) const { return codec::load_i32(data(b), off); }
  bool in_range(int32_t b) const { return b >= 1 && b <= hb_; }
  bool in_file(int32_t b) const { return b >= 1 && b < blocks_; }
  bool usable(int32_t b) const { return in_range(b) && in_file(b); }
  bool is_leaf(int32_t b) const { return word(b, kNodeLowPathOff) == -1; }
  int32_t key_cnt(int32_t b) const { return word(b, kNodeKeyCntOff); }

  Ref entry(int32_t b, int32_t i) const {
    const bool leaf = is_leaf(b);
    const uint32_t at = entry_pos(leaf, i);
    Ref r;
    r.len = word(b, at + kEntryLenOff);
    r.key = data(b) + word(b, at + kEntryOffsetOff);
    r.item = codec::load_u32(data(b), at + kEntryItemOff);
    r.blk = b;
    r.idx = i;
    return r;
  }
  int32_t child(int32_t b, int32_t i) const { return word(b, entry_pos(false, i) + kEntryChildOff); }

  // ------------------------------------------------------------------------------------------------
  // Block 0.
  // ------------------------------------------------------------------------------------------------
  bool check_ctl() {
    const uint8_t *b0 = bytes_.data();
    bs_ = codec::load_u32(b0, kCtlBlksizeOff);
    const int32_t root = codec::load_i32(b0, kCtlRootOff);
    hb_ = codec::load_i32(b0, kCtlHighblockOff);
    const uint32_t stored = codec::load_u32(b0, kCtlParityOff);
    const uint16_t computed = ctl_parity(b0);
    res_.stats.blksize = bs_;
    res_.stats.highblock = hb_;
    if (stored != computed) {
      char buf[96];
      std::snprintf(buf, sizeof buf, "parity stored 0x%08x, computed 0x%04x", stored, computed);
      problem(blk(0) + buf);
    }
    if (bs_ < kNodeHeaderSize + kInteriorEntrySize || bs_ > kMaxBlksize) {
      problem(blk(0) + "blksize " + std::to_string(bs_) + " is out of range");
      return false;
    }
    if (bs_ < kMinBlksize)
      problem(blk(0) + "blksize " + std::to_string(bs_) + " is below " + std::to_string(kMinBlksize));
    if (hb_ < 0) {
      problem(blk(0) + "highblock " + std::to_string(hb_) + " is negative");
      return false;
    }
    if (bytes_.size() % bs_ != 0)
      problem("file: " + std::to_string(bytes_.size()) + " bytes is not a whole number of " +
              std::to_string(bs_) + "-byte blocks");
    blocks_ = static_cast<int64_t>(bytes_.size() / bs_);
    if (blocks_ != int64_t{hb_} + 1)
      problem("file: holds " + std::to_string(blocks_) + " whole blocks, but highblock " +
              std::to_string(hb_) + " says " + std::to_string(int64_t{hb_} + 1));
    const size_t tail_end = std::min<size_t>(bs_, bytes_.size());
    for (size_t i = kCtlSize; i < tail_end; ++i) {
      if (b0[i] != 0) {
        problem(blk(0) + "byte " + std::to_string(i) + " after the control record is not zero");
        break;
      }
    }
    root_ = root;
    return true;
  }

  // ------------------------------------------------------------------------------------------------
  // One node's layout. Returns true when its entries may be read (directory and keys inside the block).
  // ------------------------------------------------------------------------------------------------
  bool check_node(int32_t b, bool is_root) {
    const bool leaf = is_leaf(b);
    const uint32_t esize = leaf ? kLeafEntrySize : kInteriorEntrySize;
    const int32_t kc = key_cnt(b);
    const int32_t he = word(b, kNodeHeapEndOff);
    if (leaf && kc == 0) problem(blk(b) + "empty leaf (key_cnt 0)");
    if (!leaf && kc == -1) {
      problem(blk(b) + "interior node without a low path (key_cnt -1)");
      return false;
    }
    if (kc < 0 || uint64_t{kNodeHeaderSize} + uint64_t{esize} * static_cast<uint64_t>(kc) > bs_) {
      problem(blk(b) + "key_cnt " + std::to_string(kc) + " is out of range");
      return false;
    }
    const int64_t dir_end = kNodeHeaderSize + int64_t{esize} * kc;
    if (he < dir_end || he > static_cast<int64_t>(bs_)) {
      problem(blk(b) + "heap_end " + std::to_string(he) + " is outside " + std::to_string(dir_end) + ".." +
              std::to_string(bs_) + " (directory end .. block end)");
      return false;
    }
    if (!leaf && is_root && kc == 0) problem(blk(b) + "root has only its low path (key_cnt 0)");
    if (!leaf) {
      const int32_t lp = word(b, kNodeLowPathOff);
      if (!in_range(lp)) problem(blk(b) + "low_path " + std::to_string(lp) + " is outside 1..highblock");
    }
    bool inside = true;
    for (int32_t i = 0; i < kc; ++i) {
      const uint32_t at = entry_pos(leaf, i);
      const int32_t off = word(b, at + kEntryOffsetOff);
      const int32_t len = word(b, at + kEntryLenOff);
      if (len < 0 || off < he || int64_t{off} + len > static_cast<int64_t>(bs_)) {
        problem(ent(b, i) + "key at offset " + std::to_string(off) + ", length " + std::to_string(len) +
                ", is outside the heap " + std::to_string(he) + ".." + std::to_string(bs_));
        inside = false;
      }
      if (!leaf && !in_range(child(b, i)))
        problem(ent(b, i) + "child " + std::to_string(child(b, i)) + " is outside 1..highblock");
    }
    if (!inside) return false;
    check_heap(b, leaf, kc, he);
    return true;
  }

  // The heap: packed from heap_end to the block end in entry order, bytes shared only with a neighbour
  // of the same length (and, strictly, always with an equal neighbour of the same length).
  void check_heap(int32_t b, bool leaf, int32_t kc, int32_t he) {
    int64_t pos = he;
    Ref prev;
    for (int32_t i = 0; i < kc; ++i) {
      const Ref e = entry(b, i);
      const auto off = static_cast<int32_t>(e.key - data(b));
      if (i > 0 && prev.len > 0 && e.len > 0 && e.key == prev.key) {
        if (e.len != prev.len) {
          problem(ent(b, i) + "shares offset " + std::to_string(off) + " with entry " +
                  std::to_string(i - 1) + " but its length is " + std::to_string(e.len) + ", not " +
                  std::to_string(prev.len));
          return;
        }
        prev = e;
        continue;  // the same bytes: equal under any compare function
      }
      if (off != pos) {
        problem(ent(b, i) + "key bytes at offset " + std::to_string(off) + ", expected " +
                std::to_string(pos) + " (heap not packed in entry order)");
        return;
      }
      if (opt_.strict_sharing && i > 0 && e.len > 0 && e.len == prev.len && cmp_keys(prev, e) == 0)
        problem(ent(b, i) + "equal to entry " + std::to_string(i - 1) + " " + show(prev) +
                " but keeps a copy of its own bytes");
      pos += e.len;
      prev = e;
    }
    if (pos != static_cast<int64_t>(bs_))
      problem(blk(b) + "key heap ends at " + std::to_string(pos) + ", not at the block end " +
              std::to_string(bs_) + " (gap or overlap)");
    if (leaf) res_.stats.leaf_key_bytes += static_cast<int64_t>(bs_) - he;
  }

  // ------------------------------------------------------------------------------------------------
  // The tree, level by level from the root.
  // ------------------------------------------------------------------------------------------------
  void walk_tree() {
    const CtlFields ctl = ctl_fields();
    if (root_ == 0) {
      if (ctl.depth != 0 || ctl.lowleaf != 0 || ctl.highleaf != 0)
        problem(blk(0) + "empty tree (root 0) but depth " + std::to_string(ctl.depth) + ", lowleaf " +
                std::to_string(ctl.lowleaf) + ", highleaf " + std::to_string(ctl.highleaf));
      return;
    }
    if (!in_range(root_)) {
      problem(blk(0) + "root " + std::to_string(root_) + " is outside 1..highblock");
      return;
    }
    std::vector<Child> expected{{root_, 0, 0}};
    bool expected_known = true;
    int32_t first = root_;
    std::vector<int32_t> leaf_level;
    for (int32_t level = 1; first != 0; ++level) {
      // Walk the level along right; every block is visited once in the whole check.
      std::vector<int32_t> nodes;
      const std::string lv = "level " + std::to_string(level) + ": ";
      for (int32_t b = first, from = 0; b != 0;) {
        const std::string came = from ? " (right of block " + std::to_string(from) + ")" : "";
        if (!in_range(b)) {
          problem(lv + "block " + std::to_string(b) + came + " is outside 1..highblock");
          break;
        }
        if (!in_file(b)) {
          problem(lv + "block " + std::to_string(b) + came + " is missing from the file");
          break;
        }
        if (state_[b] != kNone) {
          problem(lv + "block " + std::to_string(b) + came +
                  " is reached a second time (a cycle, or a block on two levels)");
          break;
        }
        state_[b] = kTree;
        nodes.push_back(b);
        from = b;
        b = word(b, kNodeRightOff);
      }
      if (nodes.empty()) break;
      const int32_t kind = word(nodes[0], kNodeLowPathOff);
      const bool on_leaves = kind == -1;
      if (expected_known) compare_children(level, nodes, expected);
      // left links mutual with the walk along right
      for (size_t j = 0; j < nodes.size(); ++j) {
        const int32_t want = j ? nodes[j - 1] : 0;
        const int32_t left = word(nodes[j], kNodeLeftOff);
        if (left != want)
          problem(
              blk(nodes[j]) + "left is " + std::to_string(left) + ", but " +
              (j ? "the block before it on the level is " + std::to_string(want)
                 : std::string("it is the first block of level ") + std::to_string(level) + " (expected 0)"));
      }
      // node layouts and the order along the level
      bool all_ok = true;
      Ref last;
      for (int32_t b : nodes) {
        const int32_t lp = word(b, kNodeLowPathOff);
        if (on_leaves ? lp != -1 : lp <= 0) {
          problem(blk(b) + (lp == 0 ? std::string("unused block (low_path 0) in the tree")
                                    : "low_path " + std::to_string(lp) + " on " +
                                          (on_leaves ? "the leaf level" : "an interior level")));
          all_ok = false;
          continue;
        }
        if (on_leaves)
          ++res_.stats.leaves;
        else
          ++res_.stats.interior;
        if (!check_node(b, b == root_)) {
          all_ok = false;
          continue;
        }
        ok_[b] = 1;
        const int32_t kc = key_cnt(b);
        if (on_leaves) res_.stats.entries += kc;
        for (int32_t i = 0; i < kc; ++i) {
          const Ref e = entry(b, i);
          if (last.blk != 0 && cmp_entries(last, e) >= 0)
            problem(ent(b, i) + show(e) + " is not after " + where(last) + " " + show(last));
          last = e;
        }
      }
      if (on_leaves) {
        leaf_level = nodes;
        for (size_t j = 0; j < nodes.size(); ++j) {
          leftmost_[nodes[j]] = nodes[j];
          leaf_prev_[nodes[j]] = j ? nodes[j - 1] : 0;
        }
        levels_.push_back(nodes);
        break;
      }
      levels_.push_back(nodes);
      // the children that the next level must hold, in order
      expected.clear();
      expected_known = all_ok;
      if (all_ok) {
        for (int32_t b : nodes) {
          expected.push_back({word(b, kNodeLowPathOff), b, -1});
          for (int32_t i = 0; i < key_cnt(b); ++i) expected.push_back({child(b, i), b, i});
        }
      }
      first = word(nodes[0], kNodeLowPathOff);
      if (first <= 0) break;  // reported above
    }
    res_.stats.depth = static_cast<int32_t>(levels_.size());
    if (leaf_level.empty()) {
      problem(blk(0) + "the walk from root " + std::to_string(root_) + " reaches no leaf level");
      return;
    }
    if (ctl.depth != res_.stats.depth)
      problem(blk(0) + "depth " + std::to_string(ctl.depth) + ", but the tree has " +
              std::to_string(res_.stats.depth) + " levels");
    if (ctl.lowleaf != leaf_level.front())
      problem(blk(0) + "lowleaf " + std::to_string(ctl.lowleaf) + ", but the first leaf is block " +
              std::to_string(leaf_level.front()));
    if (ctl.highleaf != leaf_level.back())
      problem(blk(0) + "highleaf " + std::to_string(ctl.highleaf) + ", but the last leaf is block " +
              std::to_string(leaf_level.back()));
    check_separators();
  }

  // The blocks found along a level against the children its parents name, in order.
  void compare_children(int32_t level, const std::vector<int32_t> &nodes,
                        const std::vector<Child> &expected) {
    const size_t n = std::min(nodes.size(), expected.size());
    for (size_t j = 0; j < n; ++j) {
      if (nodes[j] == expected[j].blk) continue;
      problem("level " + std::to_string(level) + ": block " + std::to_string(nodes[j]) + " stands at place " +
              std::to_string(j) + " along right, but " + named_by(expected[j]) + " names block " +
              std::to_string(expected[j].blk));
      return;
    }
    if (nodes.size() > expected.size()) {
      if (expected[0].parent == 0)
        problem(blk(nodes[0]) + "the root has a right sibling, block " + std::to_string(nodes[1]));
      else
        problem("level " + std::to_string(level) + ": block " + std::to_string(nodes[n]) +
                " (right of block " + std::to_string(nodes[n - 1]) +
                ") is named by no entry of the level above");
    } else if (nodes.size() < expected.size()) {
      problem("level " + std::to_string(level) + ": the level ends after block " +
              std::to_string(nodes.back()) + ", but " + named_by(expected[n]) + " names block " +
              std::to_string(expected[n].blk) + " as the next child");
    }
  }

  static std::string named_by(const Child &c) {
    if (c.parent == 0) return "the control record";
    if (c.entry < 0) return "the low path of block " + std::to_string(c.parent);
    return "block " + std::to_string(c.parent) + " entry " + std::to_string(c.entry);
  }

  // Every interior entry against the lowest entry of its child's subtree (and, relaxed, against the last
  // entry left of that subtree).
  void check_separators() {
    // leftmost leaf of every node, from the level above the leaves upward
    for (size_t l = levels_.size() - 1; l-- > 0;) {
      for (int32_t b : levels_[l]) {
        const int32_t lp = word(b, kNodeLowPathOff);
        if (ok_[b] && usable(lp)) leftmost_[b] = leftmost_[lp];
      }
    }
    for (size_t l = 0; l + 1 < levels_.size(); ++l) {
      for (int32_t b : levels_[l]) {
        if (!ok_[b]) continue;
        for (int32_t i = 0; i < key_cnt(b); ++i) {
          const int32_t c = child(b, i);
          if (!usable(c)) continue;
          const int32_t low_leaf = leftmost_[c];
          if (low_leaf == 0 || !ok_[low_leaf] || key_cnt(low_leaf) <= 0) continue;
          const Ref e = entry(b, i);
          const Ref low = entry(low_leaf, 0);
          if (!opt_.relaxed) {
            if (cmp_keys(e, low) != 0 || e.len != low.len || e.item != low.item)
              problem(ent(b, i) + "carries " + show(e) + ", but the lowest entry under child " +
                      std::to_string(c) + " is " + show(low) + " (" + where(low) + ")");
            continue;
          }
          if (cmp_entries(e, low) > 0)
            problem(ent(b, i) + show(e) + " is above the lowest entry under child " + std::to_string(c) +
                    ", " + show(low) + " (" + where(low) + ")");
          const int32_t p = leaf_prev_[low_leaf];
          if (p != 0 && ok_[p] && key_cnt(p) > 0) {
            const Ref before = entry(p, key_cnt(p) - 1);
            if (cmp_entries(e, before) <= 0)
              problem(ent(b, i) + show(e) + " does not exceed " + show(before) + " (" + where(before) +
                      "), the last entry left of child " + std::to_string(c));
          }
        }
      }
    }
  }

  // ------------------------------------------------------------------------------------------------
  // The unused chain.
  // ------------------------------------------------------------------------------------------------
  void walk_chain() {
    const int32_t head = ctl_fields().freechain;
    for (int32_t b = head, from = 0; b != 0;) {
      const std::string came =
          from ? " (after block " + std::to_string(from) + ")" : std::string(" (head of the chain)");
      if (!in_range(b)) {
        problem("unused chain: block " + std::to_string(b) + came + " is outside 1..highblock");
        return;
      }
      if (!in_file(b)) {
        problem("unused chain: block " + std::to_string(b) + came + " is missing from the file");
        return;
      }
      if (state_[b] == kTree) {
        problem("unused chain: block " + std::to_string(b) + came + " is also in the tree");
        return;
      }
      if (state_[b] == kChain) {
        problem("unused chain: block " + std::to_string(b) + came + " is reached a second time (a cycle)");
        return;
      }
      state_[b] = kChain;
      ++res_.stats.unused;
      const int32_t lp = word(b, kNodeLowPathOff);
      if (lp != 0)
        problem("unused chain: block " + std::to_string(b) + " has low_path " + std::to_string(lp) +
                ", not 0");
      from = b;
      b = word(b, kNodeNextUnusedOff);
    }
  }

  CtlFields ctl_fields() const {
    const uint8_t *b0 = bytes_.data();
    CtlFields c;
    c.blksize = codec::load_u32(b0, kCtlBlksizeOff);
    c.root = codec::load_i32(b0, kCtlRootOff);
    c.highblock = codec::load_i32(b0, kCtlHighblockOff);
    c.lowleaf = codec::load_i32(b0, kCtlLowleafOff);
    c.highleaf = codec::load_i32(b0, kCtlHighleafOff);
    c.freechain = codec::load_i32(b0, kCtlFreechainOff);
    c.depth = codec::load_i32(b0, kCtlDepthOff);
    c.vparity = codec::load_u32(b0, kCtlParityOff);
    c.openflag = codec::load_i32(b0, kCtlOpenflagOff);
    return c;
  }

  const std::string path_;
  const CheckOptions opt_;
  CheckResult res_;
  std::vector<uint8_t> bytes_;
  uint32_t bs_ = 0;
  int32_t hb_ = 0;
  int32_t root_ = 0;
  int64_t blocks_ = 0;                        // whole blocks in the file
  std::vector<uint8_t> state_;                // per block: kNone, kTree, kChain
  std::vector<uint8_t> ok_;                   // per block: a tree node whose entries may be read
  std::vector<int32_t> leftmost_;             // per tree node: leftmost leaf under it (0 unknown)
  std::vector<int32_t> leaf_prev_;            // per leaf: the leaf before it on the level
  std::vector<std::vector<int32_t>> levels_;  // blocks per level, root level first
};

}  // namespace

CheckResult check_index(const std::string &path, const CheckOptions &opt) {
  return Checker(path, opt).run();
}

testing::AssertionResult index_ok(const std::string &path, const CheckOptions &opt) {
  const CheckResult r = check_index(path, opt);
  if (r.ok) return testing::AssertionSuccess();
  return testing::AssertionFailure() << path << " fails the structural check:\n" << r.text();
}

std::vector<KeyItem> dump_entries(const std::string &path, std::string *error) {
  std::vector<KeyItem> out;
  auto fail = [&](const std::string &why) {
    if (error) *error = why;
    return out;
  };
  if (error) error->clear();
  std::vector<uint8_t> bytes;
  try {
    bytes = read_file_bytes(path);
  } catch (const std::exception &e) {
    return fail(e.what());
  }
  if (bytes.size() < kCtlSize) return fail("file shorter than the control record");
  const uint32_t bs = codec::load_u32(bytes.data(), kCtlBlksizeOff);
  const int32_t hb = codec::load_i32(bytes.data(), kCtlHighblockOff);
  if (bs < kNodeHeaderSize + kInteriorEntrySize || bs > kMaxBlksize) return fail("blksize out of range");
  const auto blocks = static_cast<int64_t>(bytes.size() / bs);
  if (codec::load_i32(bytes.data(), kCtlRootOff) == 0) return out;
  std::vector<bool> seen(static_cast<size_t>(std::max<int64_t>(blocks, 1)), false);
  for (int32_t b = codec::load_i32(bytes.data(), kCtlLowleafOff); b != 0;) {
    if (b < 1 || b > hb || b >= blocks) return fail("block " + std::to_string(b) + " is outside the file");
    if (seen[b]) return fail("block " + std::to_string(b) + " is reached a second time (a cycle)");
    seen[b] = true;
    const uint8_t *d = bytes.data() + uint64_t{bs} * static_cast<uint64_t>(b);
    if (codec::load_i32(d, kNodeLowPathOff) != -1)
      return fail("block " + std::to_string(b) + " is not a leaf");
    const int32_t kc = codec::load_i32(d, kNodeKeyCntOff);
    if (kc < 0 || kNodeHeaderSize + uint64_t{kLeafEntrySize} * static_cast<uint64_t>(kc) > bs)
      return fail("block " + std::to_string(b) + " has key_cnt " + std::to_string(kc));
    for (int32_t i = 0; i < kc; ++i) {
      const uint32_t at = entry_pos(true, i);
      const int32_t off = codec::load_i32(d, at + kEntryOffsetOff);
      const int32_t len = codec::load_i32(d, at + kEntryLenOff);
      if (off < 0 || len < 0 || int64_t{off} + len > static_cast<int64_t>(bs))
        return fail("block " + std::to_string(b) + " entry " + std::to_string(i) + " lies outside the block");
      out.push_back({std::string(reinterpret_cast<const char *>(d) + off, static_cast<size_t>(len)),
                     codec::load_u32(d, at + kEntryItemOff)});
    }
    b = codec::load_i32(d, kNodeRightOff);
  }
  return out;
}

testing::AssertionResult same_entries(const std::vector<KeyItem> &got, const std::vector<KeyItem> &want,
                                      cbt_keycmp_fn cmp) {
  const size_t n = std::min(got.size(), want.size());
  for (size_t i = 0; i < n; ++i) {
    const KeyItem &g = got[i];
    const KeyItem &w = want[i];
    const bool key_same =
        g.key.size() == w.key.size() && (cmp ? compare_keys(cmp, g.key, w.key) == 0 : g.key == w.key);
    if (!key_same || g.item != w.item)
      return testing::AssertionFailure()
             << "entry " << i << " is " << describe(g) << ", expected " << describe(w);
  }
  if (got.size() > want.size())
    return testing::AssertionFailure() << got.size() << " entries, expected " << want.size() << "; entry "
                                       << n << " is " << describe(got[n]) << " too many";
  if (got.size() < want.size())
    return testing::AssertionFailure() << got.size() << " entries, expected " << want.size()
                                       << "; missing from entry " << n << ": " << describe(want[n]);
  return testing::AssertionSuccess();
}

}  // namespace qrx::test
