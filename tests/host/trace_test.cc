// Trace service: the exact line format, the sink hook, the flag word with its generation, and the
// environment controls, which are read once per process and so are checked in fresh child processes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "host/qrxhost.h"
#include "host/qrxtrace.h"
#include "support/test_util.h"

extern char **environ;

QRX_TRACE_UNIT();

namespace {

using qrx::test::TempDir;
using qrx::test::TraceCapture;

// ---------------------------------------------------------------------------------------------------
// Child mode: when QRX_HOST_TEST_CHILD names a scenario, this program runs it before main and exits.
// The scenarios write through a unit whose file has a directory part, at fixed line numbers.
int run_child(const std::string &scenario) {
  static TLG1_Unit unit = {"/src/deep/dir/child_unit.cc", 0u, 0u};
  if (scenario == "report") {
    uint32_t flags = TLG1_Flags(&unit);
    TLG1_Printf(&unit, 101, "flags=%u gen=%u", flags, TLG1_Generation());
    // The environment was read at the first call: a later change does not reach the service.
    setenv("QRX_TRACE_FLAGS", "7", 1);
    TLG1_Unit other = {"other.cc", 0u, 0u};
    TLG1_Printf(&unit, 102, "later=%u", TLG1_Flags(&other));
    qrxtrerr(&unit, 103, "err %d", 5);
    return 0;
  }
  return 99;
}

[[maybe_unused]] const int kChildMode = [] {
  if (const char *s = std::getenv("QRX_HOST_TEST_CHILD")) _exit(run_child(s));
  return 0;
}();

// Runs this program in child mode with the trace variables given (and no others); the child's standard
// error goes to stderr_path. Returns the child's exit status, or -1.
int run_in_child(const std::vector<std::string> &trace_env, const std::string &stderr_path) {
  std::vector<std::string> env;
  for (char **e = environ; *e; ++e) {
    std::string v = *e;
    if (v.rfind("QRX_TRACE_", 0) == 0 || v.rfind("QRX_HOST_TEST_CHILD=", 0) == 0) continue;
    env.push_back(v);
  }
  env.push_back("QRX_HOST_TEST_CHILD=report");
  env.insert(env.end(), trace_env.begin(), trace_env.end());
  std::vector<char *> envp;
  for (auto &v : env) envp.push_back(v.data());
  envp.push_back(nullptr);
  char arg0[] = "trace_child";
  char *argv[] = {arg0, nullptr};

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, "/proc/self/exe", &fa, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string child_lines(uint32_t flags) {
  return "qrx child_unit.cc:101 DETAIL flags=" + std::to_string(flags) + " gen=1\n" +
         "qrx child_unit.cc:102 DETAIL later=" + std::to_string(flags) + "\n" +
         "qrx child_unit.cc:103 ERROR err 5\n";
}

TEST(TraceEnvironment, FlagWordIsDecimalOrHexAndMalformedMeansNone) {
  TempDir dir;
  const std::pair<const char *, uint32_t> cases[] = {{"0x50", 0x50}, {"16", 16}, {"0X41", 0x41},
                                                     {"12abc", 0},   {"-3", 0},  {"", 0}};
  for (const auto &[text, flags] : cases) {
    std::string log = dir.file("trace.log");
    qrx::test::write_file(log, "earlier line\n");
    ASSERT_EQ(
        run_in_child({std::string("QRX_TRACE_FLAGS=") + text, "QRX_TRACE_FILE=" + log}, dir.file("err")), 0);
    EXPECT_EQ(qrx::test::read_file(log), "earlier line\n" + child_lines(flags)) << text;  // appended
    EXPECT_EQ(qrx::test::read_file(dir.file("err")), "") << text;
  }
}

TEST(TraceEnvironment, StandardErrorWithoutATraceFile) {
  TempDir dir;
  ASSERT_EQ(run_in_child({"QRX_TRACE_FLAGS=1"}, dir.file("err")), 0);
  EXPECT_EQ(qrx::test::read_file(dir.file("err")), child_lines(1));
}

// ---------------------------------------------------------------------------------------------------
// In-process: standard error is redirected to a file to see the bytes the service writes.
class StderrToFile {
 public:
  explicit StderrToFile(const std::string &path) {
    saved_ = dup(STDERR_FILENO);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~StderrToFile() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_flags_ = TLG1_Flags(nullptr); }
  void TearDown() override { TLG1_SetFlags(saved_flags_); }
  uint32_t saved_flags_ = 0;
};

TEST_F(TraceTest, EveryKindOfLineHasTheDocumentedForm) {
  TempDir dir;
  TLG1_Unit unit = {"lib/cbt/some_file.cc", 0u, 0u};
  const std::string big(5000, 'k');  // longer than any fixed formatting buffer
  {
    StderrToFile redirect(dir.file("out"));
    qrxtrerr(&unit, 10, "Unable to read block %d of %s", 7, "x.IDX");
    qrxtrnot(&unit, 11, 30, "Verify of %s failed", "x.IDX");
    TLG1_Printf(&unit, 12, "node %d", 3);
    TLG1_Event(&unit, 13, TLG1_EVENT_ENTRY, 0);
    TLG1_Event(&unit, 14, TLG1_EVENT_EXIT_VALUE, -42);
    TLG1_Event(&unit, 15, TLG1_EVENT_EXIT, 0);
    TLG1_Printf(nullptr, 16, "<%s>", big.c_str());
  }
  EXPECT_EQ(qrx::test::read_file(dir.file("out")),
            "qrx some_file.cc:10 ERROR Unable to read block 7 of x.IDX\n"
            "qrx some_file.cc:11 NOTICE(30) Verify of x.IDX failed\n"
            "qrx some_file.cc:12 DETAIL node 3\n"
            "qrx some_file.cc:13 ENTRY\n"
            "qrx some_file.cc:14 EXIT -42\n"
            "qrx some_file.cc:15 EXIT\n"
            "qrx ?:16 DETAIL <" +
                big + ">\n");
}

TEST_F(TraceTest, SinkReceivesThePartsInsteadOfTheFile) {
  TempDir dir;
  TLG1_Unit unit = {"/a/b/unit.cc", 0u, 0u};
  {
    StderrToFile redirect(dir.file("out"));
    {
      TraceCapture cap;
      qrxtrnot(&unit, 21, 20, "note %s", "n");
      TLG1_Event(&unit, 22, TLG1_EVENT_EXIT_VALUE, 9);
      auto l = cap.lines();
      ASSERT_EQ(l.size(), 2u);
      EXPECT_EQ(std::tie(l[0].file, l[0].line, l[0].kind, l[0].severity, l[0].text),
                std::make_tuple("unit.cc", 21, int{QRXHOST_KIND_NOTICE}, 20, "note n"));
      EXPECT_EQ(std::tie(l[1].kind, l[1].severity, l[1].text),
                std::make_tuple(int{QRXHOST_KIND_EXIT}, 0, "9"));
    }
    qrxtrerr(&unit, 23, "after");  // sink removed: back to the normal output
  }
  EXPECT_EQ(qrx::test::read_file(dir.file("out")), "qrx unit.cc:23 ERROR after\n");
}

TEST_F(TraceTest, UnitSyncsOnlyWhenItsGenerationIsStale) {
  TLG1_SetFlags(16);
  uint32_t gen = TLG1_Generation();
  ASSERT_GE(gen, 2u);

  TLG1_Unit unit = {"u.cc", 0u, 0u};  // never synced
  EXPECT_EQ(TLG1_Flags(&unit), 16u);
  EXPECT_EQ(unit.generation, gen);

  // A current unit is answered from its cache: a planted word proves no sync took place.
  unit.flags = 0x1234;
  EXPECT_EQ(TLG1_Flags(&unit), 0x1234u);

  TLG1_SetFlags(65);
  EXPECT_EQ(TLG1_Generation(), gen + 1);
  EXPECT_EQ(TLG1_Flags(&unit), 65u);
  EXPECT_EQ(unit.generation, gen + 1);

  TLG1_SetFlags(65);  // the same word again still moves the generation on
  EXPECT_EQ(TLG1_Generation(), gen + 2);
}

// The kinds of the lines the trace shorthands write under a flag word.
std::vector<int> kinds_written(uint32_t flags) {
  TraceCapture cap;
  TLG1_SetFlags(flags);
  QRX_DETAIL("detail %d", 1);
  QRX_BLOCK_TRACE("Getting block %d", 2);
  QRX_ENTRY();
  QRX_EXIT(-1);
  QRX_ERROR("error %d", 4);
  QRX_NOTICE(30, "notice %d", 5);
  std::vector<int> kinds;
  for (const auto &l : cap.lines()) kinds.push_back(l.kind);
  return kinds;
}

TEST_F(TraceTest, ShorthandsFollowTheFlagsButErrorsAndNoticesAlwaysGoOut) {
  enum { E = QRXHOST_KIND_ERROR, N = QRXHOST_KIND_NOTICE, D = QRXHOST_KIND_DETAIL };
  EXPECT_EQ(kinds_written(0), (std::vector<int>{E, N}));
  EXPECT_EQ(kinds_written(TLG1_DETAIL), (std::vector<int>{D, E, N}));
  EXPECT_EQ(kinds_written(TLG1_BLOCKS), (std::vector<int>{D, E, N}));
  EXPECT_EQ(kinds_written(TLG1_ENTRY_EXIT), (std::vector<int>{QRXHOST_KIND_ENTRY, QRXHOST_KIND_EXIT, E, N}));
}

}  // namespace
