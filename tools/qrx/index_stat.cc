// index_stat.cc - statistics of an index file, read from its blocks as they are on disk.
//
// Block 0 holds the control record (blksize, root, highblock, lowleaf, highleaf, freechain, depth at
// bytes 0..27, vparity at 28, openflag at 32, big-endian). Every other block is a node: low_path (-1 leaf,
// 0 unused, else interior), left (unused: next_unused), right, key_cnt, heap_end, then the directory of
// 12-byte leaf entries (offset, len, item) or 16-byte interior entries (offset, len, item, child), and the
// key heap from heap_end to the end of the block.
//
// Nothing here trusts the file: each node's header and directory are checked against the block before
// they are used, the walks along right links, down the low paths and along the unused chain together visit
// at most as many blocks as the file holds, and the first thing that does not fit ends the walk with a
// problem line (the statistics gathered so far are still printed).
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "cbt/codec.h"
#include "qrx_tool.h"
#include "qrxcb.h"

namespace qrx::tool {

namespace {

constexpr uint32_t kCtlSize = 9 * 4;            // the nine words of the control record
constexpr uint32_t kParityBytes = 7 * 4;        // covered by the parity: blksize .. depth
constexpr uint32_t kHeader = 5 * 4;             // low_path, left, right, key_cnt, heap_end
constexpr uint32_t kLeafEntry = 4 + 4 + 4;      // offset, len, item
constexpr uint32_t kNodeEntry = 4 + 4 + 4 + 4;  // offset, len, item, child
constexpr uint32_t kMinBlock = 88;
constexpr int32_t kMaxLevels = 1024;

int32_t word(const uint8_t *b, uint32_t off) {
  return codec::load_i32(b, off);
}

// Reads blocks of the file through the library's block-file helpers.
class BlockReader {
 public:
  BlockReader(int fd, uint32_t blksize) : fd_(fd), buf_(blksize) {}
  const uint8_t *read(int32_t blk) {
    return readblk(fd_, blk, static_cast<uint32_t>(buf_.size()), buf_.data()) == 1 ? buf_.data() : nullptr;
  }

 private:
  int fd_;
  std::vector<uint8_t> buf_;
};

// Checks a node's header and directory against its block; "" when every entry lies inside it.
std::string node_problem(const uint8_t *b, uint32_t bs, bool leaf) {
  const int64_t e = leaf ? kLeafEntry : kNodeEntry;
  const int64_t cnt = word(b, 12);
  const int64_t heap = word(b, 16);
  if (cnt < (leaf ? 0 : -1) || cnt > (int64_t{bs} - kHeader) / e) return "key count " + std::to_string(cnt);
  if (heap < kHeader + std::max<int64_t>(cnt, 0) * e || heap > bs) return "heap end " + std::to_string(heap);
  for (int64_t i = 0; i < cnt; ++i) {
    const uint32_t at = static_cast<uint32_t>(kHeader + i * e);
    const int64_t off = word(b, at);
    const int64_t len = word(b, at + 4);
    if (len < 0 || off < heap || off + len > bs) return "entry " + std::to_string(i) + " outside the heap";
  }
  return "";
}

std::string at_block(int32_t blk, const std::string &what) {
  return "block " + std::to_string(blk) + ": " + what;
}

void walk_levels(BlockReader &rd, IndexStats &s, int64_t limit) {
  int64_t visits = 0;
  int32_t first = s.root;
  while (first != 0) {
    if (s.levels == kMaxLevels) {
      s.problem = "more than " + std::to_string(kMaxLevels) + " levels";
      return;
    }
    ++s.levels;
    const uint8_t *b = first >= 1 && first <= limit ? rd.read(first) : nullptr;
    if (b == nullptr) {
      s.problem = at_block(first, "cannot be read (first block of level " + std::to_string(s.levels) + ")");
      return;
    }
    const int32_t kind = word(b, 0);
    if (kind == 0 || kind < -1) {
      s.problem = at_block(first, "is not a node (first block of level " + std::to_string(s.levels) + ")");
      return;
    }
    const bool leaves = kind == -1;
    const int32_t next_first = leaves ? 0 : kind;
    for (int32_t blk = first; blk != 0;) {
      if (++visits > limit) {
        s.problem = "level " + std::to_string(s.levels) + " runs in a cycle or past the blocks of the file";
        return;
      }
      b = blk >= 1 && blk <= limit ? rd.read(blk) : nullptr;
      if (b == nullptr) {
        s.problem = at_block(blk, "cannot be read");
        return;
      }
      const int32_t low = word(b, 0);
      if ((low == -1) != leaves || low == 0 || low < -1) {
        s.problem = at_block(blk, std::string("is not ") + (leaves ? "a leaf" : "an interior node") +
                                      " like the rest of level " + std::to_string(s.levels));
        return;
      }
      if (const std::string p = node_problem(b, s.blksize, leaves); !p.empty()) {
        s.problem = at_block(blk, p);
        return;
      }
      const int32_t cnt = std::max(word(b, 12), 0);
      const int64_t heap = int64_t{s.blksize} - word(b, 16);
      const int64_t used = kHeader + int64_t{cnt} * (leaves ? kLeafEntry : kNodeEntry) + heap;
      if (leaves) {
        ++s.leaves;
        s.entries += cnt;
        s.leaf_heap += heap;
        s.leaf_used += used;
        for (int32_t i = 0; i < cnt; ++i)
          s.key_bytes += word(b, kHeader + static_cast<uint32_t>(i) * kLeafEntry + 4);
      } else {
        ++s.interior;
        s.interior_used += used;
      }
      blk = word(b, 8);
    }
    first = next_first;
  }
}

void walk_unused(BlockReader &rd, IndexStats &s, int64_t limit) {
  for (int32_t blk = s.freechain; blk != 0;) {
    if (s.unused >= limit) {
      s.problem = "the unused chain runs in a cycle or past the blocks of the file";
      return;
    }
    const uint8_t *b = blk >= 1 && blk <= limit ? rd.read(blk) : nullptr;
    if (b == nullptr) {
      s.problem = at_block(blk, "on the unused chain cannot be read");
      return;
    }
    if (word(b, 0) != 0) {
      s.problem = at_block(blk, "on the unused chain is in use");
      return;
    }
    ++s.unused;
    blk = word(b, 4);
  }
}

std::string percent(int64_t used, int64_t nodes, uint32_t blksize) {
  if (nodes == 0) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %%",
                100.0 * static_cast<double>(used) / (static_cast<double>(nodes) * blksize));
  return buf;
}

}  // namespace

bool read_index_stats(const std::string &path, IndexStats &s, std::string &why) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "no such file";
    return false;
  }
  const int fd = qrxcb_open(path.c_str(), O_RDONLY, 0);
  if (fd < 0) {
    why = "cannot be opened";
    return false;
  }
  uint8_t ctl[kCtlSize];
  bool ok = readblk(fd, 0, kCtlSize, ctl) == 1;
  if (!ok) {
    why = "too short for a control record";
  } else {
    uint16_t parity = 0;
    for (uint32_t i = 0; i < kParityBytes; i += 2) parity ^= codec::load_u16(ctl, i);
    s.blksize = codec::load_u32(ctl, 0);
    s.root = word(ctl, 4);
    s.highblock = word(ctl, 8);
    s.freechain = word(ctl, 20);
    s.depth = word(ctl, 24);
    s.openflag = word(ctl, 32);
    if (codec::load_u32(ctl, 28) != parity) {
      why = "control record parity error";
      ok = false;
    } else if (s.blksize < kMinBlock || s.blksize > (1u << 24)) {
      why = "impossible block size " + std::to_string(s.blksize);
      ok = false;
    }
  }
  if (ok) {
    s.file_blocks = st.st_size / s.blksize;
    // Blocks a walk may meet: those the control record counts and the file really holds.
    const int64_t limit = std::min<int64_t>(s.highblock, s.file_blocks - 1);
    BlockReader rd(fd, s.blksize);
    walk_levels(rd, s, limit);
    if (s.problem.empty()) walk_unused(rd, s, limit);
  }
  qrxcb_close(fd);
  return ok;
}

void print_index_stats(const std::string &path, const IndexStats &s, FILE *out) {
  std::fprintf(out, "index file        %s%s\n", path.c_str(),
               s.openflag != 0 ? " (not closed properly)" : "");
  std::fprintf(out, "block size        %u\n", s.blksize);
  std::fprintf(out, "depth             %d\n", s.depth);
  std::fprintf(out, "blocks in file    %lld (highblock %d)\n", static_cast<long long>(s.file_blocks),
               s.highblock);
  std::fprintf(out, "unused blocks     %lld\n", static_cast<long long>(s.unused));
  std::fprintf(out, "leaves            %lld\n", static_cast<long long>(s.leaves));
  std::fprintf(out, "interior nodes    %lld\n", static_cast<long long>(s.interior));
  std::fprintf(out, "entries           %lld\n", static_cast<long long>(s.entries));
  std::fprintf(out, "bytes of keys     %lld (%lld stored in leaves)\n", static_cast<long long>(s.key_bytes),
               static_cast<long long>(s.leaf_heap));
  std::fprintf(out, "leaf fill         %s\n", percent(s.leaf_used, s.leaves, s.blksize).c_str());
  std::fprintf(out, "interior fill     %s\n", percent(s.interior_used, s.interior, s.blksize).c_str());
  if (s.problem.empty() && s.levels != s.depth)
    std::fprintf(out, "problem           the tree has %d levels, the control record says %d\n", s.levels,
                 s.depth);
  if (!s.problem.empty()) std::fprintf(out, "problem           %s; run qrx idx verify\n", s.problem.c_str());
}

bool show_index_stats(const std::string &path, IndexStats &s) {
  std::string why;
  if (!read_index_stats(path, s, why)) {
    std::fprintf(stderr, "qrx: %s: %s\n", path.c_str(), why.c_str());
    return false;
  }
  print_index_stats(path, s, stdout);
  return true;
}

}  // namespace qrx::tool
