// damage_fuzzer.cc - libFuzzer target: the input damages a valid multi-level index (fuzz/damage_exercise.h
// describes the records), which is then opened, walked, searched, changed, verified and dumped. Any crash,
// sanitizer report or hang (libFuzzer's -timeout) is a finding. tests/cbt/damage_fuzz_test.cc runs the same
// exercise with fixed seeds.
#include <stdlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/damage_exercise.h"
#include "qrxcb.h"

namespace {
std::string g_dir;
std::vector<uint8_t> g_base;
uint64_t g_runs = 0;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("QRX_TRACE_FILE", "/dev/null", 1);  // thousands of expected error lines
  char tmpl[] = "/tmp/qrxfuzz.XXXXXX";
  if (!mkdtemp(tmpl) || cbinit(64, 4096) != 1) abort();
  g_dir = tmpl;
  const std::string base = g_dir + "/base.idx";
  g_base = qrx::damage::build_base(base);
  if (g_base.empty()) abort();
  unlink(base.c_str());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string path = g_dir + "/d" + std::to_string(g_runs++) + ".idx";
  qrx::damage::exercise(path, g_base, data, size, [](const char *, int32_t) {});
  return 0;
}
