// tree_builder.cc - index files built byte by byte, and raw block access for damage tests.
#include "support/tree_builder.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "cbt/codec.h"
#include "support/test_util.h"

namespace qrx::test {

namespace codec = qrx::codec;

namespace {

int sign(int64_t c) {
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

template <bool kNoCase>
int bytes_compare(const void *k1, uint32_t l1, const void *k2, uint32_t l2) {
  const auto *a = static_cast<const unsigned char *>(k1), *b = static_cast<const unsigned char *>(k2);
  for (uint32_t i = 0; i < std::min(l1, l2); ++i) {
    const int x = kNoCase ? std::tolower(a[i]) : a[i], y = kNoCase ? std::tolower(b[i]) : b[i];
    if (x != y) return x < y ? -1 : 1;
  }
  return sign(int64_t{l1} - l2);
}

// Reads or writes n bytes at a byte offset of the file.
void io(const std::string &path, uint64_t at, void *p, size_t n, bool write) {
  std::fstream f(path,
                 write ? std::ios::binary | std::ios::in | std::ios::out : std::ios::binary | std::ios::in);
  const auto off = static_cast<std::streamoff>(at);
  const auto len = static_cast<std::streamsize>(n);
  if (write ? !f.seekp(off).write(static_cast<char *>(p), len)
            : !f.seekg(off).read(static_cast<char *>(p), len))
    throw std::runtime_error(std::string(write ? "cannot write " : "cannot read ") + path);
}

void store_ctl(uint8_t *b, const CtlFields &c) {
  const int32_t v[] = {c.root, c.highblock, c.lowleaf, c.highleaf, c.freechain, c.depth};
  codec::store_u32(b, 0, c.blksize);
  for (uint32_t i = 0; i < 6; ++i) codec::store_i32(b, kCtlRootOff + 4 * i, v[i]);
  codec::store_u32(b, kCtlParityOff, ctl_parity(b));
  codec::store_i32(b, kCtlOpenflagOff, c.openflag);
}

// Appends one node of bs bytes to out; children is empty for a leaf (low_path -1).
void lay_out_node(std::vector<uint8_t> &out, uint32_t bs, cbt_keycmp_fn cmp, int32_t low_path, int32_t left,
                  int32_t right, const std::vector<KeyItem> &es, const std::vector<int32_t> &children) {
  const bool leaf = low_path == -1;
  std::string heap;
  std::vector<int32_t> offs;  // from heap_end
  for (size_t i = 0; i < es.size(); ++i) {
    const bool shared = i > 0 && !es[i].key.empty() && es[i].key.size() == es[i - 1].key.size() &&
                        compare_keys(cmp, es[i].key, es[i - 1].key) == 0;
    offs.push_back(shared ? offs.back() : static_cast<int32_t>(heap.size()));
    if (!shared) heap += es[i].key;
  }
  if (entry_pos(leaf, static_cast<int32_t>(es.size())) + heap.size() > bs)
    throw std::invalid_argument(std::to_string(es.size()) + " entries do not fit a block");
  uint8_t *b = &*out.insert(out.end(), bs, 0);
  const auto heap_end = static_cast<int32_t>(bs - heap.size());
  std::copy(heap.begin(), heap.end(), b + heap_end);
  const int32_t head[] = {low_path, left, right, static_cast<int32_t>(es.size()), heap_end};
  for (uint32_t k = 0; k < 5; ++k) codec::store_i32(b, 4 * k, head[k]);
  for (size_t i = 0; i < es.size(); ++i) {
    const int32_t f[] = {heap_end + offs[i], static_cast<int32_t>(es[i].key.size()),
                         static_cast<int32_t>(es[i].item), leaf ? 0 : children[i]};
    for (uint32_t k = 0; k < (leaf ? 3u : 4u); ++k)
      codec::store_i32(b, entry_pos(leaf, static_cast<int32_t>(i)) + 4 * k, f[k]);
  }
}

}  // namespace

int nocase_compare(const void *k1, uint32_t l1, const void *k2, uint32_t l2) {
  return bytes_compare<true>(k1, l1, k2, l2);
}

int compare_keys(cbt_keycmp_fn cmp, const void *k1, uint32_t l1, const void *k2, uint32_t l2) {
  return sign((cmp ? cmp : bytes_compare<false>)(k1, l1, k2, l2));
}

int compare_keys(cbt_keycmp_fn cmp, const std::string &a, const std::string &b) {
  return compare_keys(cmp, a.data(), static_cast<uint32_t>(a.size()), b.data(),
                      static_cast<uint32_t>(b.size()));
}

int compare_entries(cbt_keycmp_fn cmp, const KeyItem &a, const KeyItem &b) {
  const int c = compare_keys(cmp, a.key, b.key);
  return c ? c : sign(int64_t{static_cast<int32_t>(a.item)} - static_cast<int32_t>(b.item));
}

std::string describe(const KeyItem &e) {
  std::string out = "('";
  for (const unsigned char c : e.key.substr(0, 40)) {
    char buf[8];
    std::snprintf(buf, sizeof buf, c >= 32 && c <= 126 && c != '\\' ? "%c" : "\\x%02x", c);
    out += buf;
  }
  if (e.key.size() > 40) out += "...(" + std::to_string(e.key.size()) + " bytes)";
  return out + "', " + std::to_string(static_cast<int32_t>(e.item)) + ")";
}

uint16_t ctl_parity(const uint8_t *block0) {
  uint16_t p = 0;
  for (uint32_t off = 0; off < kCtlParityOff; off += 2) p ^= codec::load_u16(block0, off);
  return p;
}

CtlFields load_ctl(const uint8_t *b) {
  auto w = [b](uint32_t off) { return codec::load_i32(b, off); };
  return {codec::load_u32(b, 0), w(4), w(8), w(12), w(16), w(20), w(24), codec::load_u32(b, 28), w(32)};
}

int32_t build_index(const std::string &path, uint32_t blksize, const std::vector<Leaf> &leaves, int fanout,
                    cbt_keycmp_fn cmp) {
  if (blksize < kCtlSize || fanout < 2) throw std::invalid_argument("block size or fanout too small");
  std::vector<uint8_t> file(blksize, 0);
  CtlFields ctl{.blksize = blksize};
  const auto n = static_cast<int32_t>(leaves.size());
  std::vector<int32_t> level;
  std::vector<KeyItem> lowest;  // lowest entry under each node of `level`
  for (int32_t i = 0; i < n; ++i) {
    if (leaves[i].empty()) throw std::invalid_argument("leaf " + std::to_string(i) + " is empty");
    lay_out_node(file, blksize, cmp, -1, i, i + 1 < n ? i + 2 : 0, leaves[i], {});
    level.push_back(i + 1);
    lowest.push_back(leaves[i].front());
  }
  int32_t depth = n > 0;
  for (int32_t next = n + 1; level.size() > 1; ++depth) {
    const auto groups = static_cast<int32_t>((level.size() + fanout - 1) / fanout);
    std::vector<int32_t> up;
    std::vector<KeyItem> up_lowest;
    for (int32_t g = 0; g < groups; ++g) {
      const size_t first = size_t(g) * fanout, last = std::min(level.size(), first + fanout);
      lay_out_node(file, blksize, cmp, level[first], g ? next + g - 1 : 0, g + 1 < groups ? next + g + 1 : 0,
                   {lowest.begin() + first + 1, lowest.begin() + last},
                   {level.begin() + first + 1, level.begin() + last});
      up.push_back(next + g);
      up_lowest.push_back(lowest[first]);
    }
    next += groups;
    level = std::move(up);
    lowest = std::move(up_lowest);
  }
  if (n > 0) ctl = {blksize, level.front(), int32_t(file.size() / blksize) - 1, 1, n, 0, depth};
  store_ctl(file.data(), ctl);
  write_file(path, std::string(file.begin(), file.end()));
  return ctl.root;
}

std::vector<Leaf> split_leaves(const std::vector<KeyItem> &entries, size_t per_leaf) {
  std::vector<Leaf> out;
  for (size_t i = 0; i < entries.size(); i += per_leaf)
    out.emplace_back(entries.begin() + i, entries.begin() + std::min(entries.size(), i + per_leaf));
  return out;
}

std::vector<int32_t> add_unused_blocks(const std::string &path, int count) {
  CtlFields ctl = read_ctl(path);
  std::vector<int32_t> added;
  for (int k = 0; k < count; ++k) {
    std::vector<uint8_t> b(ctl.blksize, 0);
    codec::store_i32(b.data(), kNodeNextUnusedOff, ctl.freechain);
    ctl.freechain = ctl.highblock = ctl.highblock + 1;
    io(path, uint64_t{ctl.blksize} * ctl.highblock, b.data(), b.size(), true);
    added.push_back(ctl.highblock);
  }
  write_ctl(path, ctl);
  return added;
}

std::string sized_key(char c, int n, size_t len) {
  return std::string(len - 2, c) + static_cast<char>('0' + n / 10) + static_cast<char>('0' + n % 10);
}

Leaf key_run(char c, int count, uint32_t first_item) {
  Leaf l;
  for (int i = 0; i < count; ++i) l.push_back({sized_key(c, i), first_item + static_cast<uint32_t>(i)});
  return l;
}

NodeImage parse_node(const uint8_t *b, uint32_t blksize, std::string *problem) {
  auto word = [b](uint32_t off) { return codec::load_i32(b, off); };
  NodeImage n;
  n.low_path = word(kNodeLowPathOff), n.left = word(kNodeLeftOff), n.right = word(kNodeRightOff);
  n.key_cnt = word(kNodeKeyCntOff), n.heap_end = word(kNodeHeapEndOff);
  const bool leaf = n.low_path == -1;
  const int64_t dir_end = kNodeHeaderSize + int64_t{leaf ? kLeafEntrySize : kInteriorEntrySize} * n.key_cnt;
  std::string why;
  if (n.key_cnt < 0 || dir_end > blksize || n.heap_end < dir_end || n.heap_end > int64_t{blksize})
    why = "key_cnt " + std::to_string(n.key_cnt) + " or heap_end " + std::to_string(n.heap_end) +
          " is out of range";
  for (int32_t i = 0; why.empty() && i < n.key_cnt; ++i) {
    const uint32_t at = entry_pos(leaf, i);
    const int64_t off = word(at + kEntryOffsetOff), len = word(at + kEntryLenOff);
    if (len < 0 || off < n.heap_end || off + len > int64_t{blksize}) {
      why = "entry " + std::to_string(i) + ": key at " + std::to_string(off) + ", length " +
            std::to_string(len) + " is outside the heap";
    } else {
      n.entries.push_back({std::string(reinterpret_cast<const char *>(b) + off, static_cast<size_t>(len)),
                           codec::load_u32(b, at + kEntryItemOff)});
      n.offsets.push_back(static_cast<int32_t>(off));
      if (!leaf) n.children.push_back(word(at + kEntryChildOff));
    }
  }
  if (!why.empty()) n.entries.clear(), n.offsets.clear(), n.children.clear();
  if (problem) *problem = why;
  return n;
}

NodeImage read_node(const std::string &path, int32_t blkno) {
  std::vector<uint8_t> b(read_ctl(path).blksize);
  io(path, uint64_t{b.size()} * static_cast<uint32_t>(blkno), b.data(), b.size(), false);
  return parse_node(b.data(), static_cast<uint32_t>(b.size()));
}

void patch_i32(const std::string &path, int32_t blkno, uint32_t offset, int32_t value) {
  uint8_t b[4];
  codec::store_i32(b, 0, value);
  io(path, uint64_t{read_ctl(path).blksize} * static_cast<uint32_t>(blkno) + offset, b, 4, true);
}

CtlFields read_ctl(const std::string &path) {
  uint8_t b[kCtlSize];
  io(path, 0, b, kCtlSize, false);
  return load_ctl(b);
}

void write_ctl(const std::string &path, const CtlFields &ctl) {
  uint8_t b[kCtlSize] = {};
  store_ctl(b, ctl);
  io(path, 0, b, kCtlSize, true);
}

}  // namespace qrx::test
