// index_file_exercise.h - the whole-file exercise shared by the libFuzzer target (fuzz/index_file_fuzzer.cc)
// and its CTest replay (tests/cbt/index_file_fuzz_test.cc). The input is the index file itself: its bytes
// are written to a file of their own (at least the 36 bytes of the control record, whose parity word is made
// right so that the open reaches the tree), which is opened for reading and writing, walked both ways,
// searched for keys read back during the walks and for made-up keys, changed, flushed, walked again,
// verified, dumped in both modes and closed.
//
// Walks are bounded: no file can hold more entries than its bytes, together with the blocks the pool may
// hold unwritten, divided by the 12 bytes of the smallest entry. A walk that goes on longer is following
// links that run in a cycle; the exercise then aborts with a message, so that the fuzzer reports the input.
//
// The pool must exist (cbinit(kPoolBufs, kPoolBufSize)). A handle whose close fails keeps its file name
// registered, so every run needs a path of its own; see close_or_abandon for what stays behind.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cbt/codec.h"
#include "qrxcb.h"

namespace qrx::index_file {

constexpr uint32_t kPoolBufs = 64;
constexpr uint32_t kPoolBufSize = 4096;
constexpr size_t kCtlSize = 36;       // the control record at the start of block 0
constexpr size_t kParityOff = 28;     // vparity: XOR of the fourteen halfwords at 0..27
constexpr uint64_t kEntryBytes = 12;  // the smallest entry (a leaf's, with an empty key)
constexpr size_t kMaxProbes = 24;     // entries read back during the first walks and searched for later
constexpr uint32_t kInserts = 48;     // made-up keys inserted into every file
// Handles whose close failed twice that a process keeps before it stops: each one holds a descriptor, its
// records and the file's unwritten buffers.
constexpr int kMaxAbandoned = 8;

// What one run saw. On a sound file the walks agree, the verification passes and the close succeeds.
struct Outcome {
  bool opened = false;
  uint64_t forward = 0, backward = 0;              // entries met by the walks before any change
  uint64_t forward_after = 0, backward_after = 0;  // and after the changes
  int32_t verified = -2;                           // qrxcbver; -2 when the file did not open
  bool closed = false;
};

// The file written for an input: the input, padded with zeros to the control record's size, with the
// parity word recomputed from bytes 0..27.
inline std::vector<uint8_t> file_image(const uint8_t *data, size_t size) {
  std::vector<uint8_t> file(size);
  for (size_t i = 0; i < size; ++i) file[i] = data[i];
  if (file.size() < kCtlSize) file.resize(kCtlSize, 0);
  uint16_t p = 0;
  for (size_t i = 0; i < kParityOff; i += 2) p ^= codec::load_u16(file.data(), i);
  codec::store_u32(file.data(), kParityOff, p);
  return file;
}

inline bool write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return ::close(fd) == 0 && ok;
}

namespace detail {

using Key = std::vector<uint8_t>;

struct Probe {
  Key key;
  uint32_t item;
};

inline Key key_of(const std::string &s) {
  return Key(s.begin(), s.end());
}

class Run {
 public:
  Run(cbt_tree *t, std::string path, uint32_t blksize) : t_(t), path_(std::move(path)), blksize_(blksize) {}

  // From one end to the other; returns the entries met. With keep, some of them become probes: the first
  // eight and those at every power of two.
  uint64_t walk(bool forward, bool keep) {
    const uint64_t bound = entry_bound();
    uint32_t item = 0;
    int32_t r = forward ? cbhead(t_, &item) : cbtail(t_, &item);
    uint64_t n = 0;
    while (r == 1) {
      if (++n > bound) {
        std::fprintf(stderr,
                     "index_file_exercise: %s stepped onto %llu entries of %s, which cannot hold more than "
                     "%llu: the leaf links run in a cycle\n",
                     forward ? "cbhead/cbnext" : "cbtail/cbprev", static_cast<unsigned long long>(n),
                     path_.c_str(), static_cast<unsigned long long>(bound));
        std::abort();
      }
      if (keep && probes_.size() < kMaxProbes && (n <= 8 || (n & (n - 1)) == 0)) read_back(item);
      r = forward ? cbnext(t_, &item) : cbprev(t_, &item);
    }
    return n;
  }

  // Each probe found by key and by key and item, marked, stepped away from and found again through the
  // mark; then keys next to it that the file need not hold, and keys of no entry at all.
  void search() {
    for (const Probe &p : probes_) {
      uint32_t item = 0, want = p.item;
      cbfind(t_, p.key.data(), size(p.key), &item);
      cbmark(t_);
      cbfinditem(t_, p.key.data(), size(p.key), &want);
      cbnext(t_, &item);
      cbprev(t_, &item);
      cbprev(t_, &item);
      cbfindmark(t_, &item);
      cbcurr(t_, &item);
      for (const Key &k : neighbours(p.key)) {
        want = p.item + 1;
        cbfind(t_, k.data(), size(k), &item);
        cbfinditem(t_, k.data(), size(k), &want);
        cbnext(t_, &item);
      }
    }
    for (const Key &k : made_up_keys()) {
      uint32_t item = 0;
      cbfind(t_, k.data(), size(k), &item);
      cbfinditem(t_, k.data(), size(k), &item);
      cbprev(t_, &item);
    }
  }

  // Made-up keys inserted (duplicates allowed every other time), the longest key the block size takes and
  // one byte more, then every probe inserted again with and without duplicates allowed, and deleted,
  // changed or left alone in turn.
  void change() {
    const std::vector<Key> made_up = made_up_keys();
    uint32_t serial = 0x40000000;
    for (uint32_t i = 0; i < kInserts; ++i) {
      Key k = made_up[i % made_up.size()];
      if (i >= made_up.size()) k.insert(k.end(), i % 5 + 1, static_cast<uint8_t>('a' + i % 26));
      cbinsert(t_, k.data(), size(k), serial++, static_cast<int32_t>(i % 2));
    }
    const Key longest(blksize_ > 36 ? blksize_ - 36 : 0, 'L');
    cbinsert(t_, longest.data(), size(longest), serial++, 0);
    const Key too_long(longest.size() + 1, 'L');
    cbinsert(t_, too_long.data(), size(too_long), serial++, 0);
    for (size_t j = 0; j < probes_.size(); ++j) {
      const Probe &p = probes_[j];
      cbinsert(t_, p.key.data(), size(p.key), p.item, 0);
      cbinsert(t_, p.key.data(), size(p.key), p.item + 1, 1);
      const Key other = neighbours(p.key).front();
      switch (j % 3) {
        case 0:
          cbdelete(t_, p.key.data(), size(p.key), p.item);
          cbdelete(t_, other.data(), size(other), p.item);  // most likely absent
          break;
        case 1:
          cbmodify(t_, p.key.data(), size(p.key), p.item, other.data(), size(other), p.item,
                   static_cast<int32_t>(j % 2));
          break;
        default:
          break;
      }
    }
  }

 private:
  static uint32_t size(const Key &k) { return static_cast<uint32_t>(k.size()); }

  // The entries the file and the pool's unwritten blocks could hold at most.
  uint64_t entry_bound() const {
    struct stat st {};
    const uint64_t bytes = ::stat(path_.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    return (bytes + uint64_t{kPoolBufs} * blksize_) / kEntryBytes;
  }

  // The key at the cursor, read whole and cut short, kept with its item.
  void read_back(uint32_t item) {
    uint32_t len = 0, current = 0;
    if (cbkeylen(t_, &len) != 1 || len > kPoolBufSize) return;
    Key key(len + 1);
    cbkey(t_, key.data(), len / 2);
    if (cbkey(t_, key.data(), size(key)) != 1) return;
    cbcurr(t_, &current);
    key.resize(len);
    probes_.push_back({std::move(key), item});
  }

  // Keys beside k in the default order: k with a byte added, k less its last byte, k with its last byte
  // raised.
  static std::vector<Key> neighbours(const Key &k) {
    std::vector<Key> out;
    Key longer = k;
    longer.push_back(0);
    out.push_back(std::move(longer));
    if (!k.empty()) {
      out.emplace_back(k.begin(), k.end() - 1);
      Key raised = k;
      raised.back() = static_cast<uint8_t>(raised.back() + 1);
      out.push_back(std::move(raised));
    }
    return out;
  }

  static std::vector<Key> made_up_keys() {
    return {Key{},        Key{0},
            Key{0xff},    Key(4, 0xff),
            key_of("m"),  key_of("aaaa"),
            key_of("k0"), key_of("zz-made-up"),
            Key(40, 'q'), key_of(std::string("mid\0dle", 7))};
  }

  cbt_tree *t_;
  std::string path_;
  uint32_t blksize_;
  std::vector<Probe> probes_;
};

// Closes t, once more when the first close fails. A handle that still does not close stays open for the
// rest of the process with its file name, descriptor and unwritten buffers; the file is unlinked all the
// same. After kMaxAbandoned of them the process stops rather than let them pile up over millions of runs.
inline bool close_or_abandon(cbt_tree *t, const std::string &path) {
  if (cbclose(t) == 1 || cbclose(t) == 1) return true;
  static int abandoned = 0;
  std::fprintf(stderr, "index_file_exercise: %s did not close (error %u); its handle stays open\n",
               path.c_str(), *qrxcbecd());
  if (++abandoned >= kMaxAbandoned) {
    std::fprintf(stderr, "index_file_exercise: %d handles did not close; stopping\n", abandoned);
    std::abort();
  }
  return false;
}

}  // namespace detail

// Writes the input as the index file at path, runs every operation on it and removes the file and the dump
// a failed verification writes beside it (path less its extension, plus ".dmp").
inline Outcome exercise(const std::string &path, const uint8_t *data, size_t size) {
  Outcome out;
  const std::vector<uint8_t> image = file_image(data, size);
  const std::string dump = path.substr(0, path.rfind('.')) + ".dmp";
  if (write_file(path, image)) {
    if (cbt_tree *t = cbopen(path.c_str(), 2, nullptr)) {
      out.opened = true;
      detail::Run run(t, path, codec::load_u32(image.data(), 0));
      out.forward = run.walk(true, true);
      out.backward = run.walk(false, true);
      run.search();
      run.change();
      cbflush(t);
      out.forward_after = run.walk(true, false);
      out.backward_after = run.walk(false, false);
      out.verified = qrxcbver(t);
      if (FILE *null = std::fopen("/dev/null", "w")) {
        qrxcbdmp(t, 0, null);
        qrxcbdmp(t, 1, null);
        std::fclose(null);
      }
      out.closed = detail::close_or_abandon(t, path);
    }
  }
  ::unlink(path.c_str());
  ::unlink(dump.c_str());
  return out;
}

}  // namespace qrx::index_file
