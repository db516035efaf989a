// workloads.h - the seven workloads of the side-by-side benchmark, run against one engine in the calling
// process, and the record of what one such run measured.
//
// The record is plain data so that a forked child can hand it to the parent through a pipe. Keys are
// made on demand from their index, so a run holds only its index permutations (4 bytes per entry) and
// the engines' own memory is what the peak-memory figure shows above the harness baseline.
#pragma once

#include <cstdint>
#include <string>

#include "bench/peers/engine.h"

namespace qrx::peers {

struct Settings {
  uint64_t n = 1000000;        // entries loaded
  uint64_t seed = 20240601;    // seed of the key generator and of every shuffle
  uint64_t cache_bytes = 0;    // cache budget of workloads 1 to 6
  uint64_t lookups7 = 0;       // lookups of workload 7
  double cache7_share = 0.02;  // cache of workload 7 as a share of the engine's file after the load
  std::string dir;             // directory for the database files
};

// The default cache budget for n entries: 128 bytes per entry (enough to hold every engine's whole file),
// at least 1 MiB, a whole number of 4096-byte pages.
uint64_t default_cache_bytes(uint64_t n);

constexpr int kWorkloads = 7;
constexpr int kMaxLevels = 16;

struct RunResult {
  int32_t ok = 0;                        // 1 when every workload ran and every check passed
  char error[512] = {};                  // why not
  double ops[kWorkloads + 1] = {};       // operations per second of process CPU time (user + system), by
                                         // workload number (1..7); 0 = not run
  double wall_ops[kWorkloads + 1] = {};  // the same per second of elapsed (wall-clock) time
  uint64_t file_bytes = 0;               // size of the engine's files after the load and a flush
  double flush_ms = 0;                   // time of that flush (not part of workload 1)
  uint64_t cache7_bytes = 0;             // cache of workload 7
  uint64_t lookups7 = 0;                 // lookups of workload 7
  double syscr7 = -1;                    // read system calls per lookup in workload 7
  double majflt7 = -1;                   // major page faults per lookup in workload 7
  double blockreads7 = -1;               // block reads of the engine's own cache per lookup; -1 unknown
  double resident7 = -1;                 // share of the main file in the OS page cache after the drop (%)
  int32_t dropped7 = 0;                  // 1 when fsync and posix_fadvise(DONTNEED) succeeded on every file
  int32_t depth = -1;                    // tree depth after the load, when the engine reports it
  int32_t nlevels = 0;                   // blocks per level, root level first (this library only)
  int64_t level_blocks[kMaxLevels] = {};
  double extra_value = 0;  // one engine-specific figure, see Engine::extras
  char extra_name[128] = {};
  double threads_insert_ops = 0;  // run_threads: inserts per second of elapsed time, all threads together
  double threads_lookup_ops = 0;  // run_threads: lookups per second of elapsed time, all threads together
};

// The threads workload: `threads` threads, each with an engine object of its own on a file of its own,
// insert s.n keys of a key set of their own in random order, then look every one of them up (each item
// checked). Every object gets the cache budget s.cache_bytes; where the engine's objects share one cache
// it is made `threads` times that. Fills r.ok, r.error and the two threads figures; never throws.
// With one_file set, every thread after the first works through a handle of its own on the first
// thread's file (Engine::share), and the threads share the keys of one thread (n / threads each); an
// engine without such handles fails the run.
void run_threads(std::unique_ptr<Engine> (*make)(), const Settings &s, int threads, bool one_file,
                 RunResult &r);

// Runs workloads 1 to 7 against `e` with fresh files under s.dir and fills `r`; never throws.
void run_engine(Engine &e, const Settings &s, RunResult &r);

// Builds the keys and index permutations of a run and nothing else: the harness's own memory.
void run_baseline(const Settings &s, RunResult &r);

// The i-th key of the loaded set, the i-th key of a set disjoint from it, and the i-th key of the
// ascending set (strictly increasing in i under byte order). All are kKeyLen bytes.
void present_key(uint64_t seed, uint64_t i, uint8_t *out);
void absent_key(uint64_t seed, uint64_t i, uint8_t *out);
void ascending_key(uint64_t seed, uint64_t i, uint8_t *out);

}  // namespace qrx::peers
