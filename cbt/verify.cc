// verify.cc - qrxcbver: checks an open tree level by level and, when it is not consistent, writes a
// formatted dump beside the index file (name.dmp).
//
// What a successful verification guarantees:
//  - along every level (root level first, each along its right links) the entries stand in strictly
//    increasing (key, item) order, across node boundaries too;
//  - every node below the root is, in order, the child its parent level names: the parent level's low
//    paths and entry children, read left to right, are exactly the nodes of the level below, none left
//    over;
//  - every level and the tree's height are finite: a walk that visits more blocks than the file holds
//    (its links run in a cycle) is a failure, as is a tree deeper than 1024 levels.
// It does not look at the key heap beyond what reading a node needs (B_getblk checks each block's
// structure), the left links, lowleaf, highleaf, the unused chain, or whether interior keys equal their
// children's lowest keys. Unused blocks met on a level are accepted.
//
// Each failure is one error line (qrxtrerr) and -1, after which the dump file is written; the first
// failure ends the check. Nothing in the index file changes. No public-operation lock is taken: the caller
// makes sure nothing changes the tree meanwhile.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <vector>

#include "cbt/cbt.h"
#include "cbt/node.h"
#include "cbt/search.h"
#include "cbt/verify.h"
#include "host/qrxtrace.h"
#include "qrxcb.h"

QRX_TRACE_UNIT();

namespace qrx::cbt {

namespace {

// Deepest tree accepted, the bound every descent of the layer uses.
constexpr int32_t kMaxLevels = 1024;

// The stream the dump of a failed verification goes to while it is written. One per process: the
// mutex serialises verifications of different files that fail at the same time.
FILE *verifyFile = nullptr;  // guarded by verify_file_mutex
std::mutex verify_file_mutex;

// State carried along the walk.
struct VerifyState {
  int32_t parent = 0;             // parent-level node naming the next node; 0 on the root level
  int32_t ppos = -1;              // position in it: -1 its low path, else an entry index
  bool has_last = false;          // a last key has been seen on this level
  std::vector<uint8_t> last_key;  // the last key checked (any length the file holds)
  uint32_t last_item = 0;         // and its item
};

// Order of the node's entries after the last key of the level; the node's last entry becomes the last
// key. 1, or -1 after the "Offset" line.
int32_t check_order(Tree *t, VerifyState &s, int32_t blk, NodeView n, bool leaf) {
  const int32_t cnt = n.key_cnt();
  for (int32_t i = 0; i < cnt; ++i) {
    int32_t cmp;
    if (i == 0) {
      static const uint8_t kNoBytes = 0;  // an empty last key still passes a valid address
      const uint8_t *last = s.last_key.empty() ? &kNoBytes : s.last_key.data();
      cmp = s.has_last ? B_key_item_cmp(t, last, static_cast<int32_t>(s.last_key.size()), s.last_item,
                                        n.key(0), n.len(0), n.item(0))
                       : -1;
    } else {
      cmp = B_key_item_cmp(t, n.key(i - 1), n.len(i - 1), n.item(i - 1), n.key(i), n.len(i), n.item(i));
    }
    if (cmp >= 0) {
      if (leaf)
        QRX_ERROR("Invalid leaf node %d. Offset %d", blk, n.offset(i));
      else
        QRX_ERROR("Invalid internal node %d. Offset %d", blk, n.offset(i));
      return -1;
    }
  }
  if (cnt > 0) {
    s.last_key.assign(n.key(cnt - 1), n.key(cnt - 1) + n.len(cnt - 1));
    s.last_item = n.item(cnt - 1);
    s.has_last = true;
  }
  return 1;
}

// The parent level must name blk at the current parent position; the position then moves on (to the
// parent's right sibling's low path after its last entry). 1, or -1 after the "No parent" line.
int32_t check_parent(Tree *t, VerifyState &s, int32_t blk, bool leaf) {
  bool named = false;
  {
    NodeRef p(t, s.parent, Ctx::kNone);
    if (p) {
      const NodeView v = p.view();
      // Only an interior node names children; key_cnt -1 names none, not even a low path.
      if (v.low_path() > 0 && v.key_cnt() >= 0 && s.ppos < v.key_cnt())
        named = (s.ppos < 0 ? v.low_path() : v.child(s.ppos)) == blk;
      if (named && ++s.ppos >= v.key_cnt()) {
        s.parent = v.right();
        s.ppos = -1;
      }
    }
  }
  if (!named) {
    if (leaf)
      QRX_ERROR("Invalid leaf node %d. No parent", blk);
    else
      QRX_ERROR("Invalid internal node %d. No parent", blk);
    return -1;
  }
  return 1;
}

int32_t VerifyLeaf(Tree *t, VerifyState &s, int32_t blk, NodeView n, bool root_level) {
  if (check_order(t, s, blk, n, true) < 0) return -1;
  return root_level ? 1 : check_parent(t, s, blk, true);
}

int32_t VerifyNode(Tree *t, VerifyState &s, int32_t blk, NodeView n, bool root_level) {
  if (check_order(t, s, blk, n, false) < 0) return -1;
  return root_level ? 1 : check_parent(t, s, blk, false);
}

// An unused block met on a level is accepted.
int32_t VerifyUnused(Tree *, VerifyState &, int32_t, NodeView) {
  return 1;
}

}  // namespace

int32_t verify_tree(Tree *t) {
  const int32_t limit = B_block_limit(t);
  int32_t visits = 0;  // nodes visited on all levels: each block belongs to one level only
  VerifyState s;
  int32_t first = t->ctl->root;
  for (int32_t level = 1; first != 0; ++level) {
    if (level > kMaxLevels) {
      QRX_ERROR("Tree has more than %d levels", kMaxLevels);
      return -1;
    }
    const bool root_level = level == 1;
    int32_t next_first = 0;
    {
      NodeRef f(t, first, Ctx::kNone);
      if (!f) {
        QRX_ERROR("Unable to access block %d", first);
        return -1;
      }
      next_first = f.view().low_path() > 0 ? f.view().low_path() : 0;
    }
    for (int32_t blk = first; blk != 0;) {
      if (++visits > limit) {
        QRX_ERROR("Level %d runs in a cycle or past the %d blocks of the file at block %d", level, limit,
                  blk);
        return -1;
      }
      NodeRef n(t, blk, Ctx::kNone);
      if (!n) {
        QRX_ERROR("Unable to acceess block %d", blk);
        return -1;
      }
      const NodeView v = n.view();
      int32_t r;
      if (v.is_leaf())
        r = VerifyLeaf(t, s, blk, v, root_level);
      else if (v.low_path() > 0)
        r = VerifyNode(t, s, blk, v, root_level);
      else
        r = VerifyUnused(t, s, blk, v);
      if (r < 0) return -1;
      blk = v.right();
    }
    // Every child the parent level names must have been met on this level.
    if (!root_level && s.parent != 0) {
      QRX_ERROR("Invalid internal node %d. Names a child missing from level %d", s.parent, level);
      return -1;
    }
    s.parent = first;
    s.ppos = -1;
    s.has_last = false;
    s.last_key.clear();
    first = next_first;
  }
  return 1;
}

void write_dump_file(Tree *t) {
  const char *name = t->ctl->fname.c_str();
  char drive[4] = "";
  char dir[256] = "";
  char fname[15] = "";
  char ext[15] = "";
  SplitPath(name, drive, dir, fname, ext);
  char path[512] = "";
  MakePath(path, "", dir, fname, "dmp");
  std::lock_guard<std::mutex> g(verify_file_mutex);
  verifyFile = std::fopen(path, "w");
  if (verifyFile == nullptr) return;
  qrxcbdmp(t, 0, verifyFile);
  std::fclose(verifyFile);
  verifyFile = nullptr;
}

}  // namespace qrx::cbt

using namespace qrx::cbt;

extern "C" QRX_API int32_t qrxcbver(cbt_tree *tree) {
  QRX_ENTRY();
  int32_t result = -1;
  try {
    if (B_is_tree_valid(tree)) {
      result = verify_tree(tree);
      if (result < 0) write_dump_file(tree);
    }
  } catch (...) {
    QRX_ERROR("%s ended by an exception", "qrxcbver");
    thread_codes().error = static_cast<uint32_t>(Err::kNoMemory);
    result = -1;
  }
  QRX_EXIT(result);
  return result;
}
