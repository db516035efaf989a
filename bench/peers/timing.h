// timing.h - elapsed and CPU time of a workload, as the side-by-side benchmarks measure them.
#pragma once

#include <time.h>

#include <chrono>

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

}  // namespace qrx::peers
