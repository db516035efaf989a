// index_file_seeds.cc - writes the seed corpus of the whole-file fuzzer: one file per seed of
// fuzz/index_file_seeds.h, named after it, into the directory given. Exit status 1 when a seed could not
// be built or written.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "fuzz/index_file_exercise.h"
#include "fuzz/index_file_seeds.h"
#include "qrxcb.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  if (cbinit(qrx::index_file::kPoolBufs, qrx::index_file::kPoolBufSize) != 1) return 1;
  int written = 0, failed = 0;
  for (const qrx::index_file::Seed &s : qrx::index_file::build_seeds(dir)) {
    if (!s.bytes.empty() && qrx::index_file::write_file(dir + "/" + s.name, s.bytes)) {
      ++written;
    } else {
      std::fprintf(stderr, "index_file_seeds: seed %s could not be made\n", s.name.c_str());
      ++failed;
    }
  }
  cbexit();
  std::printf("index_file_seeds: %d seeds in %s\n", written, dir.c_str());
  return failed == 0 ? 0 : 1;
}
