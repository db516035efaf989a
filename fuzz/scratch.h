// scratch.h - the scratch directory of a fuzz target: made once in memory-backed /dev/shm (or /tmp when
// that cannot be used) and removed with its contents when the process ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace qrx::fuzz {

// A fresh directory whose name begins with `prefix`; aborts when none can be made.
inline std::string scratch_dir(const std::string &prefix) {
  static std::string made;  // one per process, removed at exit
  std::string shm = "/dev/shm/" + prefix + ".XXXXXX", tmp = "/tmp/" + prefix + ".XXXXXX";
  const char *dir = mkdtemp(shm.data());
  if (dir == nullptr && (dir = mkdtemp(tmp.data())) == nullptr) abort();
  made = dir;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(made, ignored);
  });
  return made;
}

}  // namespace qrx::fuzz
