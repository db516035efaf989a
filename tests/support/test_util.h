// test_util.h - a scratch directory, a capture of trace lines and a sleep that counts instead of waiting.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace qrx::test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct TraceLine {
  std::string file;
  int line, kind, severity;  // kind: QRXHOST_KIND_*
  std::string text;
};

// While alive, every trace line of the process is kept here instead of going to the sink.
class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  TraceCapture(const TraceCapture &) = delete;
  TraceCapture &operator=(const TraceCapture &) = delete;
  std::vector<TraceLine> lines() const;
  int count(int kind, const std::string &text) const;      // lines of that kind equal to text
  bool contains(int kind, const std::string &part) const;  // a line of that kind contains part
  void clear();

 private:
  mutable std::mutex mu_;
  std::vector<TraceLine> lines_;
};

// While alive, OSV1_Sleep returns at once and counts the calls and the seconds asked for.
struct FakeSleep {
  FakeSleep();
  ~FakeSleep();
  uint32_t calls() const;
  uint32_t seconds() const;
};

// While alive, the environment variable holds the value (null: unset); then what it held before.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const char *value) : name_(name) {
    if (const char *old = std::getenv(name)) had_ = true, old_ = old;
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { had_ ? setenv(name_.c_str(), old_.c_str(), 1) : unsetenv(name_.c_str()); }
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

 private:
  std::string name_, old_;
  bool had_ = false;
};

std::string read_file(const std::string &path);  // "" when it cannot be read
void write_file(const std::string &path, const std::string &bytes);

}  // namespace qrx::test
