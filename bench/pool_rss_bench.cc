// Resident memory of a large pool serving one small file: cbinit(65536, 4096), a 256 MiB budget, then
// cbcreate, 1,000 cbinsert of 12-byte keys in scrambled order, a cbfind of each key, cbclose and cbexit.
// Prints VmRSS and the peak VmHWM (from /proc/self/status) after each step, and the pool's allocated
// buffers while it exists. A plain program: the figure of interest is one peak, not a timing.
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "cbt/ctl.h"
#include "cbt/pool/pool.h"
#include "qrxcb.h"

namespace {

constexpr uint32_t kBufs = 65536, kBlk = 4096, kKeys = 1000;

// A field of /proc/self/status in KiB, or -1.
long status_kib(const char *field) {
  FILE *f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long value = -1;
  const size_t len = std::strlen(field);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, field, len) == 0 && line[len] == ':') {
      value = std::strtol(line + len + 1, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return value;
}

void row(const char *step) {
  const qrx::cbt::Anchor *a = qrx::cbt::cbt_anchor_peek();
  char allocated[16] = "-";
  if (a != nullptr && a->pool != nullptr)
    std::snprintf(allocated, sizeof allocated, "%u", pool_allocated_count(a->pool));
  std::printf("%-28s %10ld %10ld %10s\n", step, status_kib("VmRSS"), status_kib("VmHWM"), allocated);
}

std::string key(uint32_t i) {
  char k[16];
  std::snprintf(k, sizeof k, "key%09u", i * 7919u % kKeys);  // a permutation of 0..999
  return k;
}

bool fail(const char *what) {
  std::fprintf(stderr, "%s failed\n", what);
  return false;
}

bool run(const std::string &path) {
  std::printf("%-28s %10s %10s %10s\n", "step", "VmRSS KiB", "VmHWM KiB", "allocated");
  row("start");
  if (cbinit(kBufs, kBlk) != 1) return fail("cbinit");
  row("cbinit(65536, 4096)");
  cbt_tree *t = cbcreate(path.c_str(), nullptr, kBlk);
  if (t == nullptr) return fail("cbcreate");
  for (uint32_t i = 0; i < kKeys; ++i) {
    const std::string k = key(i);
    if (cbinsert(t, k.data(), static_cast<uint32_t>(k.size()), i, 0) != 1) return fail("cbinsert");
  }
  row("1,000 inserts");
  for (uint32_t i = 0; i < kKeys; ++i) {
    const std::string k = key(i);
    uint32_t item = 0;
    if (cbfind(t, k.data(), static_cast<uint32_t>(k.size()), &item) != CBT_FOUND || item != i)
      return fail("cbfind");
  }
  row("1,000 finds");
  if (cbclose(t) != 1) return fail("cbclose");
  row("cbclose");
  if (cbexit() != 1) return fail("cbexit");
  row("cbexit");
  std::printf("peak resident set: %ld KiB (budget %u buffers of %u bytes = %u MiB)\n", status_kib("VmHWM"),
              kBufs, kBlk, kBufs / 1024 * kBlk / 1024);
  return true;
}

}  // namespace

int main() {
  const char *base = std::getenv("TMPDIR");
  std::string dir = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qrxrss.XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) return fail("mkdtemp") ? 0 : 1;
  const bool ok = run(dir + "/small.idx");
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ok ? 0 : 1;
}
