// index_file_fuzzer.cc - libFuzzer target whose input is the index file, written out with a right parity
// word, then opened, walked both ways, searched, changed, flushed, walked again, checked (qrxcbver,
// qrxcbchk), dumped both ways and closed. A crash, sanitizer report, leak or hang is a finding, and so is a
// walk that meets more entries than the file and the pool could hold (a cycle of links: the run aborts).
// scripts/fuzz.sh seeds it with `qrx demo` files and the inputs under fuzz/regressions/index_file/.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "cbt/codec.h"
#include "fuzz/scratch.h"
#include "qrxcb.h"

namespace {

constexpr uint32_t kPoolBufs = 64, kPoolBufSize = 4096;

using Key = std::string;
using Entries = std::vector<std::pair<Key, uint32_t>>;

uint32_t len(const Key &k) {
  return static_cast<uint32_t>(k.size());
}

// cbhead/cbnext (or cbtail/cbprev) to the end, keeping every entry at a power of two as a probe.
void walk(cbt_tree *t, const std::string &path, bool forward, Entries *probes) {
  struct stat st {};
  const uint64_t bytes = ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
  const uint64_t bound = (bytes + uint64_t{kPoolBufs} * kPoolBufSize) / 12;
  uint32_t item = 0, klen = 0;
  uint64_t n = 0;
  for (int32_t r = forward ? cbhead(t, &item) : cbtail(t, &item); r == 1;
       r = forward ? cbnext(t, &item) : cbprev(t, &item)) {
    if (++n > bound) {
      std::fprintf(stderr, "index_file_fuzzer: a walk of %s met %llu entries, more than it can hold\n",
                   path.c_str(), static_cast<unsigned long long>(n));
      std::abort();
    }
    if (probes && (n & (n - 1)) == 0 && cbkeylen(t, &klen) == 1 && klen <= kPoolBufSize) {
      Key k(klen + 1, '\0');
      if (cbkey(t, k.data(), klen + 1) == 1) probes->push_back({k.substr(0, klen), item});
    }
  }
}

void exercise(const std::string &path, const uint8_t *data, size_t size) {
  Key image(reinterpret_cast<const char *>(data), size);
  if (image.size() < 36) image.resize(36, '\0');
  auto *b0 = reinterpret_cast<uint8_t *>(image.data());
  uint16_t parity = 0;
  for (size_t i = 0; i < 28; i += 2) parity ^= qrx::codec::load_u16(b0, i);
  qrx::codec::store_u32(b0, 28, parity);
  std::ofstream(path, std::ios::binary) << image;
  if (cbt_tree *t = cbopen(path.c_str(), 2, nullptr)) {
    const uint32_t blksize = qrx::codec::load_u32(b0, 0);
    Entries probes;
    walk(t, path, true, &probes);
    walk(t, path, false, &probes);
    uint32_t serial = 0x40000000, item = 0;
    for (const Key &k : {Key(), Key(1, '\0'), Key("\xff\xff"), Key("m"), Key(40, 'q'),
                         Key(blksize > 36 && blksize <= kPoolBufSize ? blksize - 36 : 0, 'L')})
      probes.push_back({k, serial++});
    for (size_t j = 0; j < probes.size(); ++j) {
      const auto &[k, it] = probes[j];
      const Key next = k + '\0';
      uint32_t want = it;
      cbfind(t, k.data(), len(k), &item);
      cbmark(t);
      cbfinditem(t, k.data(), len(k), &want);
      cbnext(t, &item);
      cbprev(t, &item);
      cbfindmark(t, &item);
      cbcurr(t, &item);
      cbinsert(t, next.data(), len(next), it, int32_t(j % 2));
      cbinsert(t, k.data(), len(k), it + 1, 1);
      if (j % 3 == 0) cbdelete(t, k.data(), len(k), it);
      if (j % 3 == 1) cbmodify(t, k.data(), len(k), it, next.data(), len(next), it + 2, int32_t(j % 2));
    }
    cbflush(t);
    walk(t, path, true, nullptr);
    walk(t, path, false, nullptr);
    qrxcbver(t);
    qrxcbchk(t);
    if (FILE *null = std::fopen("/dev/null", "w")) {
      qrxcbdmp(t, 0, null);
      qrxcbdmp(t, 1, null);
      std::fclose(null);
    }
    // A handle that does not close keeps its name and descriptor; a few may, millions may not.
    static int abandoned = 0;
    if (cbclose(t) != 1 && cbclose(t) != 1 && ++abandoned > 8) std::abort();
  }
  ::unlink(path.c_str());
  ::unlink((path.substr(0, path.rfind('.')) + ".dmp").c_str());
}

std::string g_dir;
uint64_t g_runs = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("QRX_TRACE_FILE", "/dev/null", 1);  // damaged files make many error lines
  // Every run syncs its file: a directory in memory keeps that cheap. Removed at exit.
  g_dir = qrx::fuzz::scratch_dir("qrxfuzz");
  if (cbinit(kPoolBufs, kPoolBufSize) != 1) std::abort();
  return 0;
}

// A name of its own for every run: a handle that could not be closed keeps its name registered.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  exercise(g_dir + "/f" + std::to_string(g_runs++) + ".idx", data, size);
  return 0;
}
