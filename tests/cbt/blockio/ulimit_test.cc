// The once-per-process raise of the soft descriptor limit on the first qrxcb_open, each case in a forked
// child that has not opened anything yet; the child reports the first failed check by its exit code.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"

namespace {

using qrx::test::TempDir;
using qrx::test::TraceCapture;

// Exit codes of a child: 0 passed, 10 setup failed, 11 open failed, 12 wrong soft limit, 13 hard limit
// changed, 14 no current-limit line, 15 wrong raise lines, 16 raised twice.
enum {
  kOk,
  kSetupFailed = 10,
  kOpenFailed,
  kWrongSoftLimit,
  kHardLimitChanged,
  kMissingCurrentLine,
  kWrongRaiseLines,
  kRaisedTwice
};

// Hard limit of a case that keeps the process's own.
constexpr rlim_t kKeepHard = 0;

struct Case {
  rlim_t soft;           // soft limit set before the first open
  rlim_t hard;           // hard limit set before the first open (kKeepHard: keep)
  rlim_t expected_soft;  // soft limit after it
  int raised_lines;      // "Soft Descriptor limit increased to 128" lines expected
  int failed_lines;      // "Error setting Soft Descriptor limit, errno = 22" lines expected
};

int child(const std::string &file, const Case &c) {
  struct rlimit lim {};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return kSetupFailed;
  const rlim_t hard = c.hard == kKeepHard ? lim.rlim_max : c.hard;
  lim.rlim_cur = c.soft;
  lim.rlim_max = hard;
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return kSetupFailed;

  TLG1_SetFlags(TLG1_DETAIL);
  TraceCapture trace;
  int32_t fd = qrxcb_open(file.c_str(), O_RDONLY, 0);
  if (fd < 0) return kOpenFailed;
  qrxcb_close(fd);

  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return kSetupFailed;
  if (lim.rlim_cur != c.expected_soft) return kWrongSoftLimit;
  if (lim.rlim_max != hard) return kHardLimitChanged;
  std::string current = "Current Descriptor limit is cur = " + std::to_string(static_cast<int>(c.soft)) +
                        ", max = " + std::to_string(static_cast<int>(hard));
  if (trace.count(QRXHOST_KIND_DETAIL, current) != 1) return kMissingCurrentLine;
  if (trace.count(QRXHOST_KIND_ERROR, "Soft Descriptor limit increased to 128") != c.raised_lines ||
      trace.count(QRXHOST_KIND_ERROR, "Error setting Soft Descriptor limit, errno = 22") != c.failed_lines)
    return kWrongRaiseLines;

  // A second open in the same process leaves a lowered limit alone: the step ran once.
  lim.rlim_cur = 64;
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return kSetupFailed;
  trace.clear();
  fd = qrxcb_open(file.c_str(), O_RDONLY, 0);
  if (fd < 0) return kOpenFailed;
  qrxcb_close(fd);
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur != 64) return kRaisedTwice;
  if (trace.contains(QRXHOST_KIND_DETAIL, "Current Descriptor limit")) return kRaisedTwice;
  return kOk;
}

int run_in_child(const Case &c) {
  TempDir dir;
  std::string file = dir.file("f");
  qrx::test::write_file(file, "data");
  pid_t pid = fork();
  if (pid == 0) _exit(child(file, c));
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

rlim_t hard_limit() {
  struct rlimit lim {};
  getrlimit(RLIMIT_NOFILE, &lim);
  return lim.rlim_max;
}

TEST(DescriptorLimit, RaisedTo128OnceOnFirstOpenAndFailureReported) {
  const Case cases[] = {{64, kKeepHard, 128, 1, 0},
                        {127, kKeepHard, 128, 1, 0},
                        {128, kKeepHard, 128, 0, 0},
                        {1024, kKeepHard, 1024, 0, 0},
                        {64, 100, 64, 0, 1}};
  for (const Case &c : cases) {
    if (c.hard == kKeepHard && hard_limit() < c.expected_soft) continue;
    EXPECT_EQ(run_in_child(c), kOk) << c.soft << " " << c.hard;
  }
}

}  // namespace
