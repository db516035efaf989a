// tree_builder.cc - index files built byte by byte, and raw block access for damage tests.
#include "support/tree_builder.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "cbt/codec.h"

namespace qrx::test {

namespace codec = qrx::codec;

int byte_compare(const void *k1, uint32_t l1, const void *k2, uint32_t l2) {
  const uint32_t n = std::min(l1, l2);
  if (n > 0) {
    const int c = std::memcmp(k1, k2, n);
    if (c != 0) return c < 0 ? -1 : 1;
  }
  if (l1 == l2) return 0;
  return l1 < l2 ? -1 : 1;
}

int nocase_compare(const void *k1, uint32_t l1, const void *k2, uint32_t l2) {
  const auto *a = static_cast<const unsigned char *>(k1);
  const auto *b = static_cast<const unsigned char *>(k2);
  const uint32_t n = std::min(l1, l2);
  for (uint32_t i = 0; i < n; ++i) {
    const int x = std::tolower(a[i]);
    const int y = std::tolower(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (l1 == l2) return 0;
  return l1 < l2 ? -1 : 1;
}

int compare_keys(cbt_keycmp_fn cmp, const void *k1, uint32_t l1, const void *k2, uint32_t l2) {
  const int c = (cmp ? cmp : byte_compare)(k1, l1, k2, l2);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int compare_keys(cbt_keycmp_fn cmp, const std::string &a, const std::string &b) {
  return compare_keys(cmp, a.data(), static_cast<uint32_t>(a.size()), b.data(),
                      static_cast<uint32_t>(b.size()));
}

int compare_entries(cbt_keycmp_fn cmp, const KeyItem &a, const KeyItem &b) {
  const int c = compare_keys(cmp, a.key, b.key);
  if (c != 0) return c;
  const auto x = static_cast<int32_t>(a.item);
  const auto y = static_cast<int32_t>(b.item);
  return x < y ? -1 : (x > y ? 1 : 0);
}

std::string printable(const void *key, size_t len, size_t max) {
  const auto *p = static_cast<const unsigned char *>(key);
  std::string out;
  for (size_t i = 0; i < len && i < max; ++i) {
    if (p[i] >= 32 && p[i] <= 126 && p[i] != '\\') {
      out += static_cast<char>(p[i]);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", p[i]);
      out += buf;
    }
  }
  if (len > max) out += "...(" + std::to_string(len) + " bytes)";
  return out;
}

std::string printable(const std::string &key, size_t max) {
  return printable(key.data(), key.size(), max);
}

std::string describe(const KeyItem &e) {
  return "('" + printable(e.key) + "', " + std::to_string(static_cast<int32_t>(e.item)) + ")";
}

uint16_t ctl_parity(const uint8_t *block0) {
  uint16_t p = 0;
  for (uint32_t off = 0; off < kCtlParityBytes; off += 2) p ^= codec::load_u16(block0, off);
  return p;
}

namespace {

// One node's content before it is laid out: its entries and, for an interior node, their children.
struct NodeSpec {
  bool leaf = true;
  int32_t low_path = -1;
  int32_t left = 0;
  int32_t right = 0;
  std::vector<KeyItem> entries;
  std::vector<int32_t> children;  // interior: child of each entry
};

// Lays one node out in a block of bs bytes (appended to out).
void lay_out_node(const NodeSpec &n, uint32_t bs, const BuildOptions &opt, int32_t blkno,
                  std::vector<uint8_t> &out) {
  const size_t cnt = n.entries.size();
  const uint32_t esize = n.leaf ? kLeafEntrySize : kInteriorEntrySize;
  // Which entries share the bytes of the entry before them.
  std::vector<bool> shared(cnt, false);
  uint64_t heap = 0;
  for (size_t i = 0; i < cnt; ++i) {
    const KeyItem &e = n.entries[i];
    shared[i] = opt.share_equal && i > 0 && !e.key.empty() && e.key.size() == n.entries[i - 1].key.size() &&
                compare_keys(opt.cmp, e.key, n.entries[i - 1].key) == 0;
    if (!shared[i]) heap += e.key.size();
  }
  const uint64_t dir_end = kNodeHeaderSize + uint64_t{esize} * cnt;
  if (dir_end + heap > bs)
    throw std::invalid_argument("block " + std::to_string(blkno) + ": " + std::to_string(cnt) +
                                " entries with " + std::to_string(heap) + " key bytes do not fit a " +
                                std::to_string(bs) + "-byte block");
  const size_t base = out.size();
  out.resize(base + bs, 0);
  uint8_t *b = out.data() + base;
  std::fill(b + dir_end, b + bs - heap, opt.free_fill);
  const auto heap_end = static_cast<int32_t>(bs - heap);
  codec::store_i32(b, kNodeLowPathOff, n.low_path);
  codec::store_i32(b, kNodeLeftOff, n.left);
  codec::store_i32(b, kNodeRightOff, n.right);
  codec::store_i32(b, kNodeKeyCntOff, static_cast<int32_t>(cnt));
  codec::store_i32(b, kNodeHeapEndOff, heap_end);
  int32_t pos = heap_end;
  int32_t prev_off = heap_end;
  for (size_t i = 0; i < cnt; ++i) {
    const KeyItem &e = n.entries[i];
    int32_t off = pos;
    if (shared[i]) {
      off = prev_off;
    } else {
      std::copy(e.key.begin(), e.key.end(), b + pos);
      pos += static_cast<int32_t>(e.key.size());
    }
    const uint32_t at = entry_pos(n.leaf, static_cast<int32_t>(i));
    codec::store_i32(b, at + kEntryOffsetOff, off);
    codec::store_i32(b, at + kEntryLenOff, static_cast<int32_t>(e.key.size()));
    codec::store_u32(b, at + kEntryItemOff, e.item);
    if (!n.leaf) codec::store_i32(b, at + kEntryChildOff, n.children[i]);
    prev_off = off;
  }
}

void write_whole_file(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot create " + path);
  f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

void write_at(const std::string &path, uint64_t offset, const uint8_t *data, size_t n) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!f) throw std::runtime_error("cannot open " + path);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(n));
  if (!f) throw std::runtime_error("cannot write " + path);
}

void store_ctl(uint8_t *b, const CtlFields &c, bool fix_parity) {
  codec::store_u32(b, kCtlBlksizeOff, c.blksize);
  codec::store_i32(b, kCtlRootOff, c.root);
  codec::store_i32(b, kCtlHighblockOff, c.highblock);
  codec::store_i32(b, kCtlLowleafOff, c.lowleaf);
  codec::store_i32(b, kCtlHighleafOff, c.highleaf);
  codec::store_i32(b, kCtlFreechainOff, c.freechain);
  codec::store_i32(b, kCtlDepthOff, c.depth);
  codec::store_u32(b, kCtlParityOff, fix_parity ? ctl_parity(b) : c.vparity);
  codec::store_i32(b, kCtlOpenflagOff, c.openflag);
}

}  // namespace

BuiltIndex build_index(const std::string &path, uint32_t blksize, const std::vector<Leaf> &leaves, int fanout,
                       const BuildOptions &opt) {
  if (blksize < kCtlSize) throw std::invalid_argument("block size below the control record");
  if (fanout < 2) throw std::invalid_argument("fanout below 2");
  BuiltIndex built;
  built.blksize = blksize;
  std::vector<uint8_t> file(blksize, 0);
  CtlFields ctl;
  ctl.blksize = blksize;

  if (!leaves.empty()) {
    // Leaf level: blocks 1..n.
    std::vector<int32_t> level;
    std::vector<KeyItem> lowest;  // lowest entry of each node's subtree
    const auto n = static_cast<int32_t>(leaves.size());
    for (int32_t i = 0; i < n; ++i) {
      if (leaves[i].empty()) throw std::invalid_argument("leaf " + std::to_string(i) + " is empty");
      NodeSpec s;
      s.leaf = true;
      s.left = i > 0 ? i : 0;
      s.right = i + 1 < n ? i + 2 : 0;
      s.entries = leaves[i];
      lay_out_node(s, blksize, opt, i + 1, file);
      level.push_back(i + 1);
      lowest.push_back(leaves[i].front());
    }
    built.levels.push_back(level);
    int32_t next_blk = n + 1;
    // Interior levels until one node is left.
    while (level.size() > 1) {
      const size_t groups = (level.size() + fanout - 1) / fanout;
      std::vector<int32_t> up;
      std::vector<KeyItem> up_lowest;
      for (size_t g = 0; g < groups; ++g) {
        const size_t first = g * fanout;
        const size_t last = std::min(level.size(), first + fanout);  // exclusive
        NodeSpec s;
        s.leaf = false;
        s.low_path = level[first];
        s.left = g > 0 ? next_blk + static_cast<int32_t>(g) - 1 : 0;
        s.right = g + 1 < groups ? next_blk + static_cast<int32_t>(g) + 1 : 0;
        for (size_t c = first + 1; c < last; ++c) {
          s.entries.push_back(lowest[c]);
          s.children.push_back(level[c]);
        }
        const int32_t blk = next_blk + static_cast<int32_t>(g);
        lay_out_node(s, blksize, opt, blk, file);
        up.push_back(blk);
        up_lowest.push_back(lowest[first]);
      }
      next_blk += static_cast<int32_t>(groups);
      level = std::move(up);
      lowest = std::move(up_lowest);
      built.levels.push_back(level);
    }
    built.root = level.front();
    built.depth = static_cast<int32_t>(built.levels.size());
    built.highblock = next_blk - 1;
    ctl.root = built.root;
    ctl.highblock = built.highblock;
    ctl.lowleaf = 1;
    ctl.highleaf = n;
    ctl.depth = built.depth;
  }
  store_ctl(file.data(), ctl, true);
  write_whole_file(path, file);
  return built;
}

std::vector<Leaf> split_leaves(const std::vector<KeyItem> &entries, size_t per_leaf) {
  if (per_leaf == 0) throw std::invalid_argument("per_leaf 0");
  std::vector<Leaf> out;
  for (size_t i = 0; i < entries.size(); i += per_leaf)
    out.emplace_back(entries.begin() + static_cast<std::ptrdiff_t>(i),
                     entries.begin() + static_cast<std::ptrdiff_t>(std::min(entries.size(), i + per_leaf)));
  return out;
}

std::vector<int32_t> add_unused_blocks(const std::string &path, int count, uint8_t fill) {
  CtlFields ctl = read_ctl(path);
  std::vector<int32_t> added;
  for (int k = 0; k < count; ++k) {
    const int32_t blk = ctl.highblock + 1;
    std::vector<uint8_t> b(ctl.blksize, fill);
    codec::store_i32(b.data(), kNodeLowPathOff, 0);
    codec::store_i32(b.data(), kNodeNextUnusedOff, ctl.freechain);
    write_at(path, uint64_t{ctl.blksize} * static_cast<uint64_t>(blk), b.data(), b.size());
    ctl.freechain = blk;
    ctl.highblock = blk;
    added.push_back(blk);
  }
  write_ctl(path, ctl, true);
  return added;
}

std::vector<uint8_t> read_file_bytes(const std::string &path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) throw std::runtime_error("cannot open " + path);
  std::vector<uint8_t> bytes(static_cast<size_t>(f.tellg()));
  f.seekg(0);
  if (!f.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size())))
    throw std::runtime_error("cannot read " + path);
  return bytes;
}

uint32_t file_blksize(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  uint8_t b[4] = {};
  if (!f || !f.read(reinterpret_cast<char *>(b), 4)) throw std::runtime_error("cannot read " + path);
  return codec::load_u32(b, 0);
}

std::vector<uint8_t> read_block(const std::string &path, int32_t blkno) {
  const uint32_t bs = file_blksize(path);
  std::ifstream f(path, std::ios::binary);
  f.seekg(static_cast<std::streamoff>(uint64_t{bs} * static_cast<uint64_t>(blkno)));
  std::vector<uint8_t> b(bs);
  if (!f || !f.read(reinterpret_cast<char *>(b.data()), bs))
    throw std::runtime_error("cannot read block " + std::to_string(blkno) + " of " + path);
  return b;
}

void write_block(const std::string &path, int32_t blkno, const std::vector<uint8_t> &bytes) {
  const uint32_t bs = file_blksize(path);
  if (bytes.size() != bs) throw std::invalid_argument("write_block: not one block");
  write_at(path, uint64_t{bs} * static_cast<uint64_t>(blkno), bytes.data(), bytes.size());
}

void patch_bytes(const std::string &path, int32_t blkno, uint32_t offset, const std::vector<uint8_t> &bytes) {
  const uint32_t bs = file_blksize(path);
  if (offset + bytes.size() > bs) throw std::invalid_argument("patch_bytes: past the block end");
  write_at(path, uint64_t{bs} * static_cast<uint64_t>(blkno) + offset, bytes.data(), bytes.size());
}

void patch_i32(const std::string &path, int32_t blkno, uint32_t offset, int32_t value) {
  std::vector<uint8_t> b(4);
  codec::store_i32(b.data(), 0, value);
  patch_bytes(path, blkno, offset, b);
}

int32_t peek_i32(const std::string &path, int32_t blkno, uint32_t offset) {
  const std::vector<uint8_t> b = read_block(path, blkno);
  if (offset + 4 > b.size()) throw std::invalid_argument("peek_i32: past the block end");
  return codec::load_i32(b.data(), offset);
}

void truncate_file(const std::string &path, uint64_t length) {
  std::filesystem::resize_file(path, length);
}

CtlFields read_ctl(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  uint8_t b[kCtlSize] = {};
  if (!f || !f.read(reinterpret_cast<char *>(b), kCtlSize)) throw std::runtime_error("cannot read " + path);
  CtlFields c;
  c.blksize = codec::load_u32(b, kCtlBlksizeOff);
  c.root = codec::load_i32(b, kCtlRootOff);
  c.highblock = codec::load_i32(b, kCtlHighblockOff);
  c.lowleaf = codec::load_i32(b, kCtlLowleafOff);
  c.highleaf = codec::load_i32(b, kCtlHighleafOff);
  c.freechain = codec::load_i32(b, kCtlFreechainOff);
  c.depth = codec::load_i32(b, kCtlDepthOff);
  c.vparity = codec::load_u32(b, kCtlParityOff);
  c.openflag = codec::load_i32(b, kCtlOpenflagOff);
  return c;
}

void write_ctl(const std::string &path, const CtlFields &ctl, bool fix_parity) {
  uint8_t b[kCtlSize] = {};
  store_ctl(b, ctl, fix_parity);
  write_at(path, 0, b, kCtlSize);
}

}  // namespace qrx::test
