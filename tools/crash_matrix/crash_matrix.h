// crash_matrix.h - the crash matrix: a scripted workload run in a child process that ends at the nth
// write of a block or record (the block-file layer's crash hook) or at a SIGKILL, and a judge, run in a
// child of its own, that opens what the workload left and holds it against a model of the workload.
//
// The parent never calls the library: every run and every judgement starts from the same untouched
// process image, and a judge that crashes in the library is itself a finding. One thread per process.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qrx::crash {

// splitmix64: small, fast and the same on every platform; the workloads are deterministic from it.
class Rng {
 public:
  explicit Rng(uint64_t seed) : x_(seed) {}
  uint64_t next() {
    uint64_t z = (x_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }

 private:
  uint64_t x_;
};

// The records of a workload as the model keeps them: key -> value, both in the workload's own canonical
// text (a record absent from the map does not exist).
using Model = std::map<std::string, std::string>;

// One operation of a workload. Ids are the model's keys in number form.
struct Op {
  enum Kind { kAdd, kModify, kDelete } kind = kAdd;
  uint32_t id = 0;
  uint64_t index = 0;  // 1 for the first operation after the files were made
};

struct Config {
  uint64_t seed = 1;
  uint32_t ops = 200;           // operations of one run (a SIGKILL round runs until it is killed)
  uint32_t flush_every = 25;    // the workload's flush after every this many operations
  uint32_t reopen_every = 120;  // close and reopen after every this many operations
  std::string dir;              // scratch directory of the files
  bool loop = false;            // run until killed (SIGKILL mode)
};

// What the child said over its pipe before it ended.
struct Events {
  bool made = false;      // the files exist and were closed properly once
  uint64_t started = 0;   // index of the last operation begun
  uint64_t durable = 0;   // index of the last operation made durable (flush or close returned)
  bool closed = false;    // the last report was a proper close (no open followed it yet)
  bool closing = false;   // the last report was the start of a close
  bool killed = false;    // the parent sent SIGKILL
  uint64_t writes = 0;    // writes counted by a run that was not ended (count mode)
  bool finished = false;  // the child reported the end of its workload
  int status = 0;         // waitpid status of the child
  double seconds = 0;     // wall time of the child
};

// What the judge saw in the files.
struct Observation {
  bool opened = false;          // the next open returned a handle or database
  bool unclean = false;         // it reported the unclean close (error 20 or iopen_db's notice)
  bool notice = false;          // ... with the notice and, for a database, the verification's message
  bool verified = false;        // the verification passed (for a database: the library's and the cross-check)
  bool library_verify = false;  // a database: the verification iopen_db ran passed
  bool recovery_ran = false;    // the verification failed and the recovery ran
  bool recovery_ok = false;     // the recovery produced files that pass the verification
  // key -> every value the files hold for it (after the recovery, when it ran).
  std::map<std::string, std::vector<std::string>> content;
  std::string note;  // what went wrong, for the report
};

// A workload: its operations, their library calls in the child, and how the judge reads its files.
class Workload {
 public:
  virtual ~Workload() = default;
  virtual const char *name() const = 0;
  // Canonical key and value of record `id` as operation `index` leaves it.
  virtual std::string key_of(uint32_t id) const = 0;
  virtual std::string value_of(uint32_t id, uint64_t index) const = 0;
  // The id a key of key_of names.
  virtual uint32_t id_of(const std::string &key) const { return static_cast<uint32_t>(std::stoul(key)); }

  // Child: starts the library, makes the files (the workload's state is then "open"), and the calls of
  // one operation, a flush, a close and an open. Each returns false when the library refused.
  virtual bool start(const Config &cfg) = 0;
  virtual bool make() = 0;
  virtual bool apply(const Op &op) = 0;
  // True when the last apply was made durable by the operation itself (a keyed file before its first
  // FlushFile).
  virtual bool durable_by_itself() const { return false; }
  virtual bool flush() = 0;
  virtual bool close() = 0;
  virtual bool open() = 0;

  // Judge: opens the files as the next user would, verifies them, reads them and recovers them when the
  // verification fails. Runs in a fresh child process.
  virtual Observation observe(const Config &cfg) = 0;
  // Operations of one run for a configured count: a B-tree file takes more, its operations being cheap
  // and its splits, offloads and joins needing many.
  virtual uint32_t ops_for(uint32_t configured) const { return configured; }
  // True when the recovery only has to find the records (it may also hold stale ones): a B-tree file
  // recovered from its dump.
  virtual bool recovery_finds_only() const { return false; }
};

Workload *btree_workload();
Workload *isam_workload();
Workload *keyed_workload();

// The next operation for the model, deterministic from rng: adds while the model is small, else a mix
// of adds, modifies and deletes of existing records.
Op next_op(Rng &rng, const Model &model, const Workload &w, uint64_t index, uint32_t &next_id);
// Applies op to the model.
void apply_op(Model &model, const Workload &w, const Op &op);

// The trace sink of the children: keeps notices and messages, drops every other line.
void quiet_library();
std::vector<std::string> take_notices();  // "NOTICE text" and "MESSAGE text", in order

}  // namespace qrx::crash
