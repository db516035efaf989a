// timing.h - elapsed and CPU time of a workload, as the side-by-side benchmarks measure them.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>

namespace qrx::peers {

// CPU time (user + system) of the whole process so far, in seconds.
inline double cpu_now() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Elapsed and CPU time since construction. The engines run in the calling thread only, so the process's
// CPU time is the engine's; on a busy machine it is the steadier of the two.
class Timer {
 public:
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
  }
  double cpu_seconds() const { return cpu_now() - c0_; }

 private:
  std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();
  double c0_ = cpu_now();
};

// Operations per second; 0 when no time passed.
inline double rate(uint64_t ops, double secs) {
  return secs > 0 ? static_cast<double>(ops) / secs : 0.0;
}

// Stores the rates of `ops` operations timed by `t` as workload w's figures of a result record: per
// second of CPU time in r.ops[w], per second of elapsed time in r.wall_ops[w].
template <class Result>
void record(Result &r, int w, uint64_t ops, const Timer &t) {
  r.wall_ops[w] = rate(ops, t.seconds());
  r.ops[w] = rate(ops, t.cpu_seconds());
}

}  // namespace qrx::peers
