// dump.cc - qrxcbdmp: a readable dump of an open tree, by levels or in block order, to any stream.
//
// The dump prints the handle, the control record and its buffer-pool file, then every node: by levels
// (root level first, each level along its right links, then the unused chain) or blocks 1..highblock in
// file order, followed by any whole blocks the file holds past highblock. Node lines, per kind (E = 12
// in a leaf, 16 in an interior node):
//
//   leaf      "\nDumping leaf node %ld\n", the counts line with free space = heap_end - 20 - key_cnt * E,
//             then one line per entry: index, offset, len, item, key
//   interior  "\nDumping interior node %ld\n", the counts line, "low_path = %ld\n", then per entry as a
//             leaf with "child = %4ld, " after the item
//   unused    "\nDumping unused node %ld\n", "next unused node = %ld\n"
//
// Key bytes 32..126 print as characters, every other byte as \xNN. Addresses print as hexadecimal
// pointers of the host (all of their digits).
//
// The dump terminates on any file: the level walk, the levels themselves and the unused chain are bounded
// by the blocks the file really holds, and a walk that runs longer (a cycle of links) ends the dump with a
// line saying so. The level dump reads nodes through B_getblk (structure checked): a block that cannot be
// read or fails the check ends the dump with "Unable to dump block %ld". The block-order dump reads each
// block as it is and checks it itself: a damaged block is shown as far as its bytes lie inside the block.
//
// Neither the file nor the tree changes; the calling thread's status codes are left as they were. The
// caller makes sure nothing changes the tree meanwhile (no public-operation lock is taken).
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "cbt/cbt.h"
#include "cbt/codec.h"
#include "cbt/ctl.h"
#include "cbt/node.h"
#include "cbt/pool/pool.h"
#include "host/qrxtrace.h"
#include "qrxcb.h"

QRX_TRACE_UNIT();

namespace qrx::cbt {

// Highest block number a walk over t's file can meet: highblock, lowered to the last block the file
// really holds. A walk along links that visits more blocks than this has met a block twice. Shared with
// the verification (verify.cc).
int32_t B_block_limit(Tree *t) {
  const CtlRec *c = t->ctl;
  int64_t limit = c->highblock;
  struct stat st;
  if (c->bfile != nullptr && c->blksize > 0 && fstat(c->bfile->fd, &st) == 0)
    limit = std::min<int64_t>(limit, st.st_size / c->blksize - 1);
  return static_cast<int32_t>(std::max<int64_t>(limit, 0));
}

namespace {

// Deepest tree the level dump follows; the same bound every descent of the layer uses.
constexpr int32_t kMaxLevels = 1024;

unsigned long addr(const void *p) {
  return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}
unsigned long faddr(cbt_keycmp_fn f) {
  return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(f));
}

const char *state_name(int32_t stat) {
  switch (stat) {
    case 1:
      return "OK";
    case -2:
      return "BOI";
    case -3:
      return "EOI";
    default:
      return "ERROR";
  }
}

// The vparity word stored in block 0 (the in-memory record holds it only for files made by cbcreate).
uint32_t stored_parity(const CtlRec *c) {
  if (c->bfile == nullptr || c->blksize < kCtlSize) return c->vparity;
  auto *b0 = static_cast<uint8_t *>(get_blk(c->bfile, 0));
  if (b0 == nullptr) return c->vparity;
  const uint32_t v = codec::load_u32(b0, kCtlParityOff);
  rlse_blk(c->bfile, b0);
  return v;
}

void dump_header(Tree *t, FILE *out) {
  const CtlRec *c = t->ctl;
  std::fprintf(out, "Dumping tree at %04lx\n", addr(t));
  std::fprintf(out, "\tnext = %04lx, ctl = %04lx, keycmp = %04lx\n", addr(t->next), addr(c),
               faddr(t->keycmp));
  std::fprintf(out, "\tpos_stat = %s, curblock = %d, curindex = %d\n", state_name(t->pos_stat), t->curblock,
               t->curindex);
  std::fprintf(out, "\tmrk_stat = %s, mrkblock = %d, mrkindex = %d\n\n", state_name(t->mrk_stat), t->mrkblock,
               t->mrkindex);
  std::fprintf(out, "Dumping control record at %04lx\n", addr(c));
  std::fprintf(out, "disk\troot = %ld, highblock = %ld, lowleaf = %ld, highleaf = %ld\n", long{c->root},
               long{c->highblock}, long{c->lowleaf}, long{c->highleaf});
  std::fprintf(out, "\tfreechain = %ld, blksize = %d, vparity = %04x\n", long{c->freechain},
               static_cast<int>(c->blksize), static_cast<unsigned>(stored_parity(c)));
  std::fprintf(out, "memory\tnext = %04lx, nopen = %d, bfile = %04lx, fname = %s\n", addr(c->next), c->nopen,
               addr(c->bfile), c->fname.c_str());
}

void dump_bfile(const Bfile *bf, FILE *out) {
  if (bf == nullptr) {
    std::fprintf(out, "bfile\tnext = %04lx, fd = %d, pool = %04lx, blksize = %d\n\n", 0ul, -1, 0ul, 0);
    return;
  }
  std::fprintf(out, "bfile\tnext = %04lx, fd = %d, pool = %04lx, blksize = %d\n\n", addr(bf->next), bf->fd,
               addr(bf->pool), static_cast<int>(bf->blksize));
}

void dump_key(const uint8_t *key, int32_t len, FILE *out) {
  for (int32_t i = 0; i < len; ++i) {
    const uint8_t b = key[i];
    if (b >= 32 && b <= 126)
      std::fputc(b, out);
    else
      std::fprintf(out, "\\x%02x", static_cast<unsigned>(b));
  }
}

// Entries of a leaf or interior node. For a block that passed the structure check every entry and key
// lies inside the block; for a damaged one (raw dump) the caller limits `count` to the directory slots
// inside the block and a key reaching outside it is not printed.
void dump_entries(NodeView n, uint32_t blksize, bool leaf, int32_t count, FILE *out) {
  for (int32_t i = 0; i < count; ++i) {
    const int64_t off = n.offset(i);
    const int64_t len = n.len(i);
    std::fprintf(out, "%2.2d, ", i);
    std::fprintf(out, "offset = %4.4d, ", n.offset(i));
    std::fprintf(out, "len = %3.3d, ", n.len(i));
    std::fprintf(out, "item = %08lx, ", static_cast<unsigned long>(n.item(i)));
    if (!leaf) std::fprintf(out, "child = %4ld, ", long{n.child(i)});
    std::fputs("key = ", out);
    if (off >= kHeaderSize && len >= 0 && off + len <= blksize)
      dump_key(n.data() + off, static_cast<int32_t>(len), out);
    else
      std::fputs("(outside the block)", out);
    std::fputc('\n', out);
  }
}

// heap_end - 20 - key_cnt * E as the dump prints it. Computed wide: the words of a damaged block may be
// anything, and the printed value then wraps like the 32-bit word it stands for.
int free_space(NodeView n, uint32_t e) {
  return static_cast<int>(static_cast<int64_t>(n.heap_end()) - kHeaderSize -
                          static_cast<int64_t>(n.key_cnt()) * e);
}

// Directory slots of a node that lie inside a block of blksize bytes.
int32_t safe_count(NodeView n, uint32_t blksize, bool leaf) {
  const int64_t e = leaf ? kLeafEntrySize : kNodeEntrySize;
  return static_cast<int32_t>(std::clamp<int64_t>(n.key_cnt(), 0, (int64_t{blksize} - kHeaderSize) / e));
}

void dump_leaf(int32_t blk, NodeView n, uint32_t blksize, bool damaged, FILE *out) {
  std::fprintf(out, "\nDumping leaf node %ld\n", long{blk});
  std::fprintf(out, "left = %ld, right = %ld, key_cnt = %d, heap_end = %d, free space = %d\n", long{n.left()},
               long{n.right()}, n.key_cnt(), n.heap_end(), free_space(n, kLeafEntrySize));
  if (damaged)
    std::fputs("block fails the structure check: entries shown as far as they lie inside it\n", out);
  dump_entries(n, blksize, true, damaged ? safe_count(n, blksize, true) : std::max(n.key_cnt(), 0), out);
}

void dump_node(int32_t blk, NodeView n, uint32_t blksize, bool damaged, FILE *out) {
  std::fprintf(out, "\nDumping interior node %ld\n", long{blk});
  std::fprintf(out, "left = %ld, right = %ld, key_cnt = %d, heap_end = %d, free space = %d\n", long{n.left()},
               long{n.right()}, n.key_cnt(), n.heap_end(), free_space(n, kNodeEntrySize));
  std::fprintf(out, "low_path = %ld\n", long{n.low_path()});
  if (damaged)
    std::fputs("block fails the structure check: entries shown as far as they lie inside it\n", out);
  dump_entries(n, blksize, false, damaged ? safe_count(n, blksize, false) : std::max(n.key_cnt(), 0), out);
}

void dump_unused(int32_t blk, NodeView n, FILE *out) {
  std::fprintf(out, "\nDumping unused node %ld\n", long{blk});
  std::fprintf(out, "next unused node = %ld\n", long{n.next_unused()});
}

// One block by kind. `damaged` only in the raw dump, for a block that failed the structure check.
void dump_block(int32_t blk, NodeView n, uint32_t blksize, bool damaged, FILE *out) {
  const int32_t low = n.low_path();
  if (low == 0) {
    dump_unused(blk, n, out);
  } else if (low == -1) {
    dump_leaf(blk, n, blksize, damaged, out);
  } else if (low > 0) {
    dump_node(blk, n, blksize, damaged, out);
  } else {
    std::fprintf(out, "\nDumping damaged block %ld\n", long{blk});
    std::fprintf(out, "low_path = %ld, left = %ld, right = %ld, key_cnt = %d, heap_end = %d\n", long{low},
                 long{n.left()}, long{n.right()}, n.key_cnt(), n.heap_end());
  }
}

void unable(int32_t blk, FILE *out) {
  std::fprintf(out, "Unable to dump block %ld\n", long{blk});
}

// By levels, then the unused chain. Every node visit counts against the blocks of the file.
void fmt_dump_tree(Tree *t, FILE *out) {
  const CtlRec *c = t->ctl;
  const int32_t limit = B_block_limit(t);
  int32_t visits = 0;
  int32_t first = c->root;
  for (int32_t level = 1; first != 0; ++level) {
    std::fprintf(out, "\nDumping blocks at level %d\n", level);
    if (level > kMaxLevels) {
      std::fprintf(out, "The tree has more than %d levels; dump ended\n", kMaxLevels);
      return;
    }
    int32_t next_first = 0;
    {
      NodeRef f(t, first, Ctx::kNone);
      if (!f) return unable(first, out);
      next_first = std::max(f.view().low_path(), 0);
    }
    for (int32_t blk = first; blk != 0;) {
      if (++visits > limit) {
        std::fprintf(out,
                     "Level %d runs in a cycle or past the %d blocks of the file at block %d; dump ended\n",
                     level, limit, blk);
        return;
      }
      NodeRef n(t, blk, Ctx::kNone);
      if (!n) return unable(blk, out);
      dump_block(blk, n.view(), c->blksize, false, out);
      blk = n.view().right();
    }
    first = next_first;
  }
  if (c->freechain == 0) return;
  std::fputs("Dumping unused block chain\n", out);
  int32_t chain = 0;
  for (int32_t blk = c->freechain; blk != 0;) {
    if (++chain > limit) {
      std::fprintf(out,
                   "The unused block chain runs in a cycle or past the %d blocks of the file at block %d; "
                   "dump ended\n",
                   limit, blk);
      return;
    }
    NodeRef n(t, blk, Ctx::kNone);
    if (!n) return unable(blk, out);
    if (!n.view().is_unused()) {
      std::fprintf(out, "%d is not an unused block\n", blk);
      return;
    }
    dump_unused(blk, n.view(), out);
    blk = n.view().next_unused();
  }
}

// Blocks 1..highblock in file order, each read as it is and checked here, so that a damaged block is
// shown without reading outside it; then every whole block the file holds past highblock. Blocks are
// written back before the control record that counts them, so a process that ended between the two
// leaves such blocks behind, and they may hold the only copy of entries a split moved there: a dump made
// to recover entries must show them.
void raw_dump_tree(Tree *t, FILE *out) {
  const CtlRec *c = t->ctl;
  int64_t last = c->highblock;
  struct stat st;
  if (c->bfile != nullptr && c->blksize > 0 && fstat(c->bfile->fd, &st) == 0)
    last = std::max<int64_t>(last, std::min<int64_t>(st.st_size / c->blksize - 1, INT32_MAX));
  for (int32_t blk = 1; blk <= last; ++blk) {
    auto *d = static_cast<uint8_t *>(get_blk(c->bfile, blk));
    if (d == nullptr) return unable(blk, out);
    const bool damaged = !B_node_valid(d, c->blksize);
    dump_block(blk, NodeView(d), c->blksize, damaged, out);
    rlse_blk(c->bfile, d);
  }
}

}  // namespace

}  // namespace qrx::cbt

using namespace qrx::cbt;

extern "C" QRX_API void qrxcbdmp(cbt_tree *tree, int32_t mode, FILE *out) {
  QRX_ENTRY();
  if (out == nullptr || !B_is_tree_valid(tree)) {
    QRX_EXIT(0);
    return;
  }
  const Codes saved = thread_codes();
  try {
    dump_header(tree, out);
    dump_bfile(tree->ctl->bfile, out);
    if (mode == 1)
      raw_dump_tree(tree, out);
    else
      fmt_dump_tree(tree, out);
  } catch (...) {
    QRX_ERROR("%s ended by an exception", "qrxcbdmp");
  }
  std::fflush(out);
  thread_codes() = saved;
  QRX_EXIT(0);
}
