// index_file_fuzzer.cc - libFuzzer target whose input is the index file itself (fuzz/index_file_exercise.h
// says what runs on it). Any crash, sanitizer report, leak, links that run in a cycle (the exercise aborts)
// or hang (libFuzzer's -timeout) is a finding. Seeds: fuzz/index_file_seeds.cc. tests/cbt/
// index_file_fuzz_test.cc replays the seeds and fuzz/regressions/index_file/ under the normal test build.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz/index_file_exercise.h"
#include "qrxcb.h"

namespace {
namespace fs = std::filesystem;

constexpr char kDirPrefix[] = "qrxfuzz.";
std::string g_dir;
uint64_t g_runs = 0;

// Scratch directories are named after their process. A process that crashed or was stopped leaves its
// directory and the file of its last run behind; the next fuzzer to start removes every directory whose
// process no longer exists, so leftovers never outnumber the fuzzers running.
void remove_dead_dirs(const fs::path &base) {
  std::error_code ec;
  for (const fs::directory_entry &e : fs::directory_iterator(base, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(kDirPrefix, 0) != 0) continue;
    char *end = nullptr;
    const long pid = std::strtol(name.c_str() + sizeof kDirPrefix - 1, &end, 10);
    if (pid > 0 && *end == 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
      fs::remove_all(e.path(), ec);
  }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("QRX_TRACE_FILE", "/dev/null", 1);  // damaged files make many error lines
  // Every run syncs its file: a directory in memory keeps that cheap.
  const fs::path base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  remove_dead_dirs(base);
  g_dir = (base / (kDirPrefix + std::to_string(getpid()))).string();
  std::error_code ec;
  fs::create_directory(g_dir, ec);
  if (ec || cbinit(qrx::index_file::kPoolBufs, qrx::index_file::kPoolBufSize) != 1) abort();
  atexit([] {
    std::error_code ignored;
    fs::remove_all(g_dir, ignored);
  });
  return 0;
}

// A name of its own for every run: a handle that could not be closed keeps its name registered.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  qrx::index_file::exercise(g_dir + "/f" + std::to_string(g_runs++) + ".idx", data, size);
  return 0;
}
