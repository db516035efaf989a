// record_workloads.h - the record workloads of the side-by-side benchmark, run against one record engine
// in the calling process, and the record of what one such run measured.
//
// The result record is plain data so that a forked child can hand it to the parent through a pipe.
// Records are made on demand from their number (records.h); a run holds only its permutations (4 bytes
// per record) and which version of NAME and CODE each record has (2 bytes per record).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/peers/records.h"

namespace qrx::peers {

struct RecordSettings {
  uint64_t n = 1000000;      // records loaded
  uint64_t seed = 20240601;  // seed of the records, the range starts and every shuffle
  uint64_t cache_bytes = 0;  // cache budget of every engine
  uint64_t lookups = 0;      // lookups of workloads 2 and 3 (0: n)
  uint64_t updates = 0;      // updates of workloads 6 and 7 (0: n / 2)
  uint32_t scans = 1000;     // range scans of workload 4
  uint32_t scan_len = 100;   // records per range scan
  std::string dir;           // directory for the database files
};

// The default cache budget for n records: 256 bytes per record (enough to hold every engine's whole
// files), at least 1 MiB, a whole number of 4096-byte pages.
uint64_t default_record_cache_bytes(uint64_t n);

// Workloads by number; workload 8 has two timed parts, the delete (8) and the add back (9).
constexpr int kRecordWorkloads = 9;

struct RecordRunResult {
  int32_t ok = 0;                              // 1 when every workload ran and every check passed
  char error[512] = {};                        // why not
  double ops[kRecordWorkloads + 1] = {};       // operations per second of process CPU time, by workload
  double wall_ops[kRecordWorkloads + 1] = {};  // the same per second of elapsed time
  double flush_ms = 0;                         // the flush after the load (not part of workload 1)
  uint64_t data_bytes = 0;                     // the file holding the records, after the load and a flush
  uint64_t index_bytes = 0;                    // the other files, then
  uint64_t data_before_delete = 0;             // the records' file before workload 8, flushed
  uint64_t data_after_delete = 0;              // after its deletes, flushed
  uint64_t data_after_add = 0;                 // after it added the records back, flushed
  RangeDigest ranges;                          // what the range scans of workload 4 read
  double ns_per_record = 0;                    // run_record_baseline: the harness's work per record
};

// Runs the eight workloads against `e` with fresh files under s.dir and fills `r`; never throws.
void run_record_engine(RecordEngine &e, const RecordSettings &s, RecordRunResult &r);

// Builds what a run holds besides its engine and times the harness's own work per record (making it and
// adding it to a digest), which every workload figure includes; fills r.ns_per_record.
void run_record_baseline(const RecordSettings &s, RecordRunResult &r);

// The start of range scan j of workload 4: a random city and a random amount.
void range_start(uint64_t seed, uint32_t j, char (&city)[16], double *amount);

// What scans 0..scans-1 of `len` records each must read from records 0..n-1, worked out from the
// records themselves (sorted by CITY, then AMOUNT).
RangeDigest expected_ranges(uint64_t seed, uint64_t n, uint32_t scans, uint32_t len);

// True when every field of the two records is equal (texts up to their NUL).
bool same_record(const Record &a, const Record &b);

struct RecordEngineEntry {
  const char *name;                         // short name used on the command line and in the tables
  const char *what;                         // one line for people
  std::unique_ptr<RecordEngine> (*make)();  // factory
};

// Every record engine of this build, in table order: this library first.
std::vector<RecordEngineEntry> all_record_engines();

}  // namespace qrx::peers
