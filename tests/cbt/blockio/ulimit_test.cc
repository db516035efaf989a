// The once-per-process raise of the soft descriptor limit on the first qrxcb_open, in forked children.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"

namespace {

struct Case {
  rlim_t soft, hard, expected_soft;  // limits before the first open (hard 0: keep), soft limit after it
  int raised, failed;                // "increased" and error lines expected
};

int child(const Case &c) {  // before any open; returns the number of the first failed check
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  const rlim_t hard = c.hard == 0 ? lim.rlim_max : c.hard;
  if (lim = {c.soft, hard}; setrlimit(RLIMIT_NOFILE, &lim) != 0) return 10;
  TLG1_SetFlags(TLG1_DETAIL);
  qrx::test::TraceCapture trace;
  if (qrxcb_close(qrxcb_open("/dev/null", O_RDONLY, 0)) != 0 || getrlimit(RLIMIT_NOFILE, &lim) != 0)
    return 11;
  if (lim.rlim_cur != c.expected_soft || lim.rlim_max != hard) return 12;
  if (!trace.contains(QRXHOST_KIND_DETAIL,
                      "Current Descriptor limit is cur = " + std::to_string(c.soft) + ",") ||
      trace.count(QRXHOST_KIND_ERROR, "Soft Descriptor limit increased to 128") != c.raised ||
      trace.count(QRXHOST_KIND_ERROR, "Error setting Soft Descriptor limit, errno = 22") != c.failed)
    return 13;
  lim.rlim_cur = 64;  // a second open leaves a lowered limit alone: the step runs once per process
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0 || qrxcb_close(qrxcb_open("/dev/null", O_RDONLY, 0)) != 0)
    return 14;
  return getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur == 64 ? 0 : 15;
}

TEST(DescriptorLimit, RaisedTo128OnceOnFirstOpenAndFailureReported) {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  for (const Case &c : {Case{64, 0, 128, 1, 0}, Case{127, 0, 128, 1, 0}, Case{128, 0, 128, 0, 0},
                        Case{1024, 0, 1024, 0, 0}, Case{64, 100, 64, 0, 1}}) {
    if (c.hard == 0 && lim.rlim_max < c.expected_soft) continue;
    const pid_t pid = fork();
    if (pid == 0) _exit(child(c));
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0) << WEXITSTATUS(status) << " for soft " << c.soft << ", hard " << c.hard;
  }
}

}  // namespace
