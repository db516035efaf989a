// stress_bench.cc - threads on every storage layer at once, in the release build: all threads on one
// file and each thread on a file of its own, a fixed count of mixed operations each, every thread's
// model checked while it runs and every file against the joined models afterwards (see stress.h).
//
// Usage: stress_bench [--threads T] [--ops N] [--dir DIR]   (N operations per thread)
// Exit status: 0 when every check held, 1 otherwise, 2 on bad arguments.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "bench/stress.h"

int main(int argc, char **argv) {
  int threads = 4;
  uint64_t ops = 200000;
  std::string dir = "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--threads") == 0) {
      threads = std::atoi(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--ops") == 0) {
      ops = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (std::strcmp(argv[i], "--dir") == 0) {
      dir = argv[i + 1];
    } else {
      argc = 0;
    }
  }
  if (argc % 2 == 0 || threads < 1 || threads > 20 || ops == 0) {
    std::fprintf(stderr, "usage: stress_bench [--threads T (1-20)] [--ops N] [--dir DIR]\n");
    return 2;
  }
  const std::string work = dir + "/stress-" + std::to_string(getpid());
  std::filesystem::create_directories(work);
  if (isaminit(1000, 1024) != 1) return 1;
  using qrx::stress::Layer, qrx::stress::Shape;
  std::printf("%-13s %-12s %8s %12s %9s %12s %8s\n", "layer", "files", "threads", "operations", "seconds",
              "ops/s", "failed");
  uint64_t failed = 0;
  for (Layer layer : {Layer::kBtree, Layer::kIsam, Layer::kKeyed, Layer::kUser})
    for (Shape shape : {Shape::kOneFile, Shape::kFileEach}) {
      const qrx::stress::Result r = qrx::stress::run(layer, shape, threads, ops, work);
      std::printf("%-13s %-12s %8d %12llu %9.1f %12.0f %8llu\n", qrx::stress::layer_name(layer),
                  shape == Shape::kOneFile ? "one" : "one each", threads,
                  static_cast<unsigned long long>(r.operations), r.seconds, r.operations / r.seconds,
                  static_cast<unsigned long long>(r.failures));
      if (r.failures != 0) std::printf("  first failure: %s\n", r.first_failure.c_str());
      std::fflush(stdout);
      failed += r.failures;
    }
  Terminate();
  isamexit();
  std::filesystem::remove_all(work);
  std::printf("stress: %s\n", failed == 0 ? "every check held" : "FAILED");
  return failed == 0 ? 0 : 1;
}
