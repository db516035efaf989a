// index_file_fuzzer.cc - libFuzzer target whose input is the index file itself (fuzz/index_file_exercise.h
// says what runs on it). Any crash, sanitizer report, leak, links that run in a cycle (the exercise aborts)
// or hang (libFuzzer's -timeout) is a finding. Seeds: fuzz/index_file_seeds.cc. tests/cbt/
// index_file_fuzz_test.cc replays the seeds and fuzz/regressions/index_file/ under the normal test build.
#include <stdlib.h>

#include <cstdint>
#include <string>

#include "fuzz/index_file_exercise.h"
#include "qrxcb.h"

namespace {
std::string g_dir;
uint64_t g_runs = 0;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("QRX_TRACE_FILE", "/dev/null", 1);  // damaged files make many error lines
  // Every run syncs its file: a directory in memory keeps that cheap.
  const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string tmpl = std::string(base) + "/qrxfuzz.XXXXXX";
  if (!mkdtemp(tmpl.data()) || cbinit(qrx::index_file::kPoolBufs, qrx::index_file::kPoolBufSize) != 1)
    abort();
  g_dir = tmpl;
  return 0;
}

// A name of its own for every run: a handle that could not be closed keeps its name registered.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  qrx::index_file::exercise(g_dir + "/f" + std::to_string(g_runs++) + ".idx", data, size);
  return 0;
}
