// qrx_tool.h - the commands of the qrx tool and the pieces they share.
//
// The tool works on index files through the library's exported interface only (qrxcb.h): the tree
// operations, the verification and the dumps, and the block-file helpers for reading blocks as they are.
// One thread; the library is initialised by a Session for the life of a command.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace qrx::tool {

// What `qrx idx stat` reports. Read from the file's blocks, walking the tree level by level along the
// right links and the unused chain; every walk is bounded by the blocks of the file.
struct IndexStats {
  uint32_t blksize = 0;
  int32_t root = 0;
  int32_t highblock = 0;
  int32_t freechain = 0;
  int32_t depth = 0;        // as the control record says
  int32_t openflag = 0;     // -1: the file was not closed properly
  int64_t file_blocks = 0;  // file size / block size
  int32_t levels = 0;       // levels found by the walk
  int64_t unused = 0;       // blocks on the unused chain
  int64_t leaves = 0;
  int64_t interior = 0;       // interior nodes
  int64_t entries = 0;        // leaf entries
  int64_t key_bytes = 0;      // sum of the leaf entries' key lengths
  int64_t leaf_heap = 0;      // key bytes stored in leaves (equal neighbours share theirs)
  int64_t leaf_used = 0;      // used bytes (header, directory, heap) of all leaves
  int64_t interior_used = 0;  // the same for interior nodes
  std::string problem;        // empty when the walks completed; else what stopped them
};

// Reads the file's statistics. false with `why` set when the file cannot be read as an index at all
// (no file, short block 0, bad parity, impossible block size); a damaged tree is still true, with
// stats.problem saying where the walk stopped.
bool read_index_stats(const std::string &path, IndexStats &stats, std::string &why);
// Prints the statistics as a table.
void print_index_stats(const std::string &path, const IndexStats &stats, FILE *out);
// Reads and prints the statistics to standard output; false, with the reason on standard error, when
// the file cannot be read as an index.
bool show_index_stats(const std::string &path, IndexStats &stats);

// The file the verification writes its dump to: name.dmp beside the index.
std::string dump_path(const std::string &index);

// Commands; each returns the process exit status.
int cmd_stat(const std::string &path);            // 0 sound, 1 damaged or unreadable
int cmd_verify(const std::string &path);          // 0 consistent, 1 not (or cannot be opened)
int cmd_dump(const std::string &path, bool raw);  // 0, or 1 when the file cannot be opened

struct DemoOptions {
  std::string dir = "qrx-demo";
  uint32_t keys = 200000;
  uint32_t records = 100000;  // of the sample database
  uint32_t keyed = 50000;     // of the keyed file
  uint32_t blksize = 4096;
  uint64_t seed = 1;
};
int cmd_demo(const DemoOptions &opt);  // 0 when every step succeeded

// The demonstration's generator, splitmix64: small, fast and the same on every platform.
class Gen {
 public:
  explicit Gen(uint64_t seed) : x_(seed) {}
  uint64_t next() {
    uint64_t z = (x_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }

 private:
  uint64_t x_;
};

// A pronounceable word of two to four syllables.
std::string make_word(Gen &g);

// One step of the demonstration, timed from its construction.
class Step {
 public:
  explicit Step(const char *what) : what_(what), start_(std::chrono::steady_clock::now()) {}
  // Prints the step's line; false (and a FAILED line) when ok is false.
  bool done(bool ok, const std::string &detail) {
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::printf("%-34s %-8s %7.2f s  %s\n", what_, ok ? "ok" : "FAILED", s, detail.c_str());
    std::fflush(stdout);
    return ok;
  }

 private:
  const char *what_;
  std::chrono::steady_clock::time_point start_;
};

// The library for the life of a command: cbinit with buffers of at least `blksize` bytes, cbexit at the end.
class Session {
 public:
  explicit Session(uint32_t blksize, uint32_t buffers = 64);
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

// "error <n> (<text>), context <n> (<text>)" for the calling thread's codes.
std::string last_error_text();

// A progress bar on standard error, drawn only when standard error is a terminal.
class Progress {
 public:
  Progress(const char *label, uint64_t total);
  ~Progress();  // finish()
  void update(uint64_t done);
  // Draws 100 % and ends the line (once), so that what follows starts on a line of its own.
  void finish();

 private:
  void draw(uint64_t done);
  const char *label_;
  uint64_t total_;
  bool tty_;
  int last_ = -1;  // last percentage drawn
  bool finished_ = false;
};

}  // namespace qrx::tool
