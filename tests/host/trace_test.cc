// Trace service: the exact line format, the sink hook, the flag word with its generation, and the
// environment controls, read once per process and so checked in fresh child processes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/qrxhost.h"
#include "host/qrxtrace.h"
#include "support/test_util.h"

extern char **environ;

QRX_TRACE_UNIT();

namespace {

// Child mode: with QRX_HOST_TEST_CHILD set, the program writes three lines before main and exits.
[[maybe_unused]] const int kChildMode = [] {
  if (!std::getenv("QRX_HOST_TEST_CHILD")) return 0;
  static TLG1_Unit unit = {"/src/deep/dir/child_unit.cc", 0u, 0u};
  TLG1_Printf(&unit, 101, "flags=%u gen=%u", TLG1_Flags(&unit), TLG1_Generation());
  setenv("QRX_TRACE_FLAGS", "7", 1);  // read at the first call only
  TLG1_Unit other = {"other.cc", 0u, 0u};
  TLG1_Printf(&unit, 102, "later=%u", TLG1_Flags(&other));
  qrxtrerr(&unit, 103, "err %d", 5);
  _exit(0);
}();

// Runs this program in child mode with only the trace variables given; its stderr goes to err.
int run_in_child(std::vector<std::string> env, const std::string &err) {
  for (char **e = environ; *e; ++e)
    if (std::string(*e).rfind("QRX_TRACE_", 0) != 0) env.push_back(*e);
  env.push_back("QRX_HOST_TEST_CHILD=1");
  std::vector<char *> envp;
  for (auto &v : env) envp.push_back(v.data());
  envp.push_back(nullptr);
  char arg0[] = "trace_child";
  char *argv[] = {arg0, nullptr};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  int status = 0, rc = posix_spawn(&pid, "/proc/self/exe", &fa, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string child_lines(uint32_t flags) {
  std::string f = std::to_string(flags);
  return "qrx child_unit.cc:101 DETAIL flags=" + f + " gen=1\nqrx child_unit.cc:102 DETAIL later=" + f +
         "\nqrx child_unit.cc:103 ERROR err 5\n";
}

TEST(TraceEnvironment, FlagWordIsDecimalOrHexMalformedMeansNoneAndFileIsAppended) {
  qrx::test::TempDir dir;
  std::string log = dir.file("trace.log");
  const std::pair<const char *, uint32_t> cases[] = {{"0x50", 0x50}, {"16", 16}, {"12abc", 0}, {"-3", 0}};
  for (const auto &[text, flags] : cases) {
    qrx::test::write_file(log, "earlier line\n");
    ASSERT_EQ(run_in_child({std::string("QRX_TRACE_FLAGS=") + text, "QRX_TRACE_FILE=" + log}, dir.file("e")),
              0);
    EXPECT_EQ(qrx::test::read_file(log), "earlier line\n" + child_lines(flags)) << text;
  }
  ASSERT_EQ(run_in_child({"QRX_TRACE_FLAGS=1"}, dir.file("e")), 0);  // no file: standard error
  EXPECT_EQ(qrx::test::read_file(dir.file("e")), child_lines(1));
}

TEST(Trace, LineFormatSinkAndGeneration) {
  qrx::test::TempDir dir;
  uint32_t saved_flags = TLG1_Flags(nullptr);
  TLG1_Unit unit = {"lib/cbt/some_file.cc", 0u, 0u};
  const std::string big(5000, 'k');  // longer than any fixed formatting buffer
  int saved = dup(STDERR_FILENO), fd = open(dir.file("out").c_str(), O_WRONLY | O_CREAT, 0644);
  dup2(fd, STDERR_FILENO), close(fd);
  qrxtrerr(&unit, 10, "Unable to read block %d of %s", 7, "x.IDX");
  qrxtrnot(&unit, 11, 30, "Verify of %s failed", "x.IDX");
  TLG1_Event(&unit, 14, TLG1_EVENT_EXIT_VALUE, -42);
  TLG1_Printf(nullptr, 16, "<%s>", big.c_str());
  {
    qrx::test::TraceCapture cap;  // a sink takes the lines instead of the output
    qrxtrnot(&unit, 21, 20, "note %s", "n");
    ASSERT_EQ(cap.lines().size(), 1u);
    EXPECT_EQ(cap.lines()[0].file, "some_file.cc");
    EXPECT_EQ(cap.lines()[0].severity, 20);
  }
  dup2(saved, STDERR_FILENO), close(saved);
  EXPECT_EQ(qrx::test::read_file(dir.file("out")),
            "qrx some_file.cc:10 ERROR Unable to read block 7 of x.IDX\n"
            "qrx some_file.cc:11 NOTICE(30) Verify of x.IDX failed\nqrx some_file.cc:14 EXIT -42\nqrx ?:16 "
            "DETAIL <" +
                big + ">\n");
  TLG1_SetFlags(16);
  uint32_t gen = TLG1_Generation();
  EXPECT_EQ(TLG1_Flags(&unit), 16u);
  unit.flags = 0x1234;  // a current unit answers from its cache
  EXPECT_EQ(TLG1_Flags(&unit), 0x1234u);
  TLG1_SetFlags(16);  // the same word still moves the generation on
  EXPECT_EQ(TLG1_Generation(), gen + 1);
  EXPECT_EQ(TLG1_Flags(&unit), 16u);
  qrx::test::TraceCapture cap;
  TLG1_SetFlags(0);
  QRX_DETAIL("detail %d", 1);
  QRX_ERROR("error %d", 4);
  QRX_NOTICE(30, "notice %d", 5);
  TLG1_SetFlags(TLG1_DETAIL);
  QRX_DETAIL("detail %d", 2);
  EXPECT_EQ(cap.lines().size(), 3u);  // errors and notices always go out, details only when asked
  TLG1_SetFlags(saved_flags);
}

}  // namespace
