// The whole-file exercise of fuzz/index_file_exercise.h over the seed files of fuzz/index_file_seeds.h and
// over every input under fuzz/regressions/index_file/ (files that once crashed, hung or leaked). Each input
// runs in a child process under an alarm, so that a crash, a sanitizer report, a leak or a hang fails the
// test with the input's name and the remaining inputs still run.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/index_file_exercise.h"
#include "fuzz/index_file_seeds.h"
#include "qrxcb.h"
#include "support/test_util.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace qrx::test {
namespace {

namespace fs = std::filesystem;

constexpr unsigned kAlarmSeconds = 60;

// Runs body() in a child process (exit status 0 when it returns true); "" when the child succeeded, else
// how it ended.
template <class Body>
std::string run_alone(Body body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    alarm(kAlarmSeconds);
    bool ok = body();
#if defined(__SANITIZE_ADDRESS__)
    ok = __lsan_do_recoverable_leak_check() == 0 && ok;
#endif
    std::fflush(nullptr);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return "waitpid failed";
  if (WIFEXITED(status))
    return WEXITSTATUS(status) == 0 ? "" : "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) return "hung (no end within the alarm)";
  return "killed by signal " + std::to_string(WTERMSIG(status));
}

class IndexFileFuzzTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(cbinit(index_file::kPoolBufs, index_file::kPoolBufSize), 1); }
  void TearDown() override { cbexit(); }
  std::string path(const std::string &name) const { return dir_.file(name + ".idx"); }
  TempDir dir_;
};

// A sound file keeps its entries through the walks, stays sound through the changes and closes.
TEST_F(IndexFileFuzzTest, SeedsRunCleanAndStaySound) {
  const std::vector<index_file::Seed> seeds = index_file::build_seeds(dir_.path());
  ASSERT_EQ(seeds.size(), 9u);
  for (const index_file::Seed &s : seeds) {
    ASSERT_FALSE(s.bytes.empty()) << "seed " << s.name << " was not built";
    const std::string failure = run_alone([&] {
      TraceCapture quiet;
      const index_file::Outcome o = index_file::exercise(path(s.name), s.bytes.data(), s.bytes.size());
      const bool ok = o.opened && o.forward == s.entries && o.backward == s.entries &&
                      o.forward_after == o.backward_after && o.verified == 1 && o.closed;
      if (!ok) {
        std::fprintf(stderr,
                     "seed %s: opened %d, entries %llu, walks %llu/%llu, after changes %llu/%llu, "
                     "verified %d, closed %d\n",
                     s.name.c_str(), o.opened, static_cast<unsigned long long>(s.entries),
                     static_cast<unsigned long long>(o.forward), static_cast<unsigned long long>(o.backward),
                     static_cast<unsigned long long>(o.forward_after),
                     static_cast<unsigned long long>(o.backward_after), o.verified, o.closed);
      }
      return ok;
    });
    EXPECT_EQ(failure, "") << "seed " << s.name;
  }
}

// Inputs that once made the library crash, hang or leak now end cleanly, whatever the outcome.
TEST_F(IndexFileFuzzTest, RegressionInputsEndWithoutCrashOrHang) {
  const fs::path dir = fs::path(QRX_SOURCE_DIR) / "fuzz" / "regressions" / "index_file";
  std::vector<fs::path> inputs;
  for (const fs::directory_entry &e : fs::directory_iterator(dir))
    if (e.is_regular_file()) inputs.push_back(e.path());
  std::sort(inputs.begin(), inputs.end());
  ASSERT_FALSE(inputs.empty()) << dir;
  for (const fs::path &input : inputs) {
    const std::string bytes = read_file(input.string());
    const std::string failure = run_alone([&] {
      TraceCapture quiet;
      index_file::exercise(path(input.filename().string()), reinterpret_cast<const uint8_t *>(bytes.data()),
                           bytes.size());
      return true;
    });
    EXPECT_EQ(failure, "") << input.string();
  }
}

}  // namespace
}  // namespace qrx::test
