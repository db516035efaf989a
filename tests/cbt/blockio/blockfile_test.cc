// The file wrappers: whole-block transfers at a block number, the open retry and the small calls; path
// names split into their parts (the separator, name and extension rules, buffer size limits) and built.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "cbt/blockio/blockio.h"
#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"

namespace {

using qrx::test::FakeSleep;
using qrx::test::TraceCapture;

TEST(BlockTransfer, BlocksSitAtBlockNumberTimesSizeAndShortOrNegativeOnesFail) {
  constexpr uint32_t kBlk = 512;
  qrx::test::TempDir dir;
  const std::string path = dir.file("blocks");
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  const std::string b[3] = {std::string(kBlk, 'a'), std::string(kBlk, 'b'), std::string(kBlk, 'c')};
  for (int k : {2, 0, 1}) ASSERT_EQ(writeblk(fd, k, kBlk, b[k].data()), 1);
  EXPECT_EQ(qrx::test::read_file(path), b[0] + b[1] + b[2]);
  std::string got(4096, '\0');
  EXPECT_EQ(readblk(fd, 3, kBlk, got.data()), -1) << "past the end";
  EXPECT_EQ(readblk(fd, 1, 2 * kBlk + 1, got.data()), -1) << "one byte short";
  errno = 0;
  EXPECT_EQ(writeblk(fd, -1, kBlk, got.data()), -1);
  EXPECT_EQ(errno, EINVAL);
  // Block 2^20 of 4096 bytes starts at 2^32: a 32-bit product would land on block 0.
  const std::string far(4096, 'f');
  ASSERT_EQ(writeblk(fd, 1 << 20, 4096, far.data()), 1);
  ASSERT_EQ(readblk(fd, 1 << 20, 4096, got.data()), 1);
  EXPECT_EQ(got, far);
  ASSERT_EQ(readblk(fd, 0, kBlk, got.data()), 1);
  EXPECT_EQ(got.substr(0, kBlk), b[0]);
  ::close(fd);
  EXPECT_EQ(readblk(fd, 0, kBlk, got.data()), -1);
  EXPECT_EQ(errno, EBADF) << "the system's errno is kept";
}

// The crash hook counts block and record writes together and ends the process before the nth one
// writes anything; a count-only arming tells a workload's writes, and disarmed nothing is counted.
TEST(CrashHook, TheNthWriteOfBlocksAndRecordsTogetherEndsTheProcessBeforeItWrites) {
  namespace bio = qrx::blockio;
  constexpr uint32_t kBlk = 64;
  qrx::test::TempDir dir;
  const std::string path = dir.file("crash");
  const std::string a(kBlk, 'a'), b(kBlk, 'b');
  // Writes block 0, the record bytes "rec" at 128, block 1, then "end" at 192.
  const auto workload = [&](int fd) {
    return writeblk(fd, 0, kBlk, a.data()) == 1 && bio::write_at(fd, 2 * kBlk, "rec", 3) == 1 &&
           writeblk(fd, 1, kBlk, b.data()) == 1 && bio::write_at(fd, 3 * kBlk, "end", 3) == 1;
  };
  const std::string zeros(kBlk, '\0');
  // The file after the first k writes.
  const std::string after[] = {"", a, a + zeros + "rec", a + b + "rec",
                               a + b + "rec" + zeros.substr(3) + "end"};
  for (uint64_t nth = 1; nth <= 5; ++nth) {
    ::unlink(path.c_str());
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
      bio::crash_arm(nth);
      ::_exit(workload(fd) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), nth == 5 ? 0 : bio::kCrashExitCode) << "crash at write " << nth;
    EXPECT_EQ(qrx::test::read_file(path), after[nth - 1]) << "write " << nth << " must not have started";
  }

  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  bio::crash_arm(0);
  ASSERT_TRUE(workload(fd));
  EXPECT_EQ(bio::crash_count(), 4u) << "blocks and records counted together";
  EXPECT_EQ(readblk(fd, 0, kBlk, std::string(kBlk, '\0').data()), 1);
  EXPECT_EQ(bio::crash_count(), 4u) << "reads are not counted";
  bio::crash_disarm();
  ASSERT_TRUE(workload(fd));
  EXPECT_EQ(bio::crash_count(), 4u) << "disarmed, nothing is counted";
  ::close(fd);
}

TEST(BlockCalls, CreatTruncatesWithTheModeAndNullPathsFail) {
  qrx::test::TempDir dir;
  const std::string path = dir.file("made");
  qrx::test::write_file(path, "old content");
  int32_t fd = qrxcb_creat(path.c_str(), 0640);
  EXPECT_EQ(qrxcb_close(fd), 0);
  EXPECT_EQ(qrx::test::read_file(path), "");
  EXPECT_EQ(qrxcb_unlink(path.c_str()), 0);
  const mode_t old_mask = ::umask(022);
  EXPECT_EQ(qrxcb_flush(fd = qrxcb_creat(path.c_str(), 0640)), 1);
  ::umask(old_mask);
  struct stat st {};
  EXPECT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(qrxcb_close(fd), 0);
  FakeSleep sleep;
  TraceCapture trace;
  EXPECT_EQ(qrxcb_open(nullptr, O_RDONLY, 0), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(sleep.calls(), 0u) << "a null path is not retried";
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "Open failed for '', errno = 22"), 1);
}

// While alive, the process may not open one more descriptor: every open fails with EMFILE.
struct NoFreeDescriptor {
  struct rlimit old {};
  NoFreeDescriptor() {
    getrlimit(RLIMIT_NOFILE, &old);
    const int lowest = ::open("/dev/null", O_RDONLY);  // the descriptor the next open would get
    ::close(lowest);
    struct rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(lowest);
    setrlimit(RLIMIT_NOFILE, &low);
  }
  void lift() { setrlimit(RLIMIT_NOFILE, &old); }
  ~NoFreeDescriptor() { lift(); }
};
NoFreeDescriptor *g_limit = nullptr;
int g_pauses = 0;
void free_on_third_pause(uint32_t) {  // a descriptor frees up during the third pause
  if (++g_pauses == 3) g_limit->lift();
}
// A pause and a trace sink that disturb errno, as an interrupted wait or a full trace file would.
void clobbering_pause(uint32_t) {
  errno = EINTR;
}
void clobbering_sink(void *, const char *, int, int, int, const char *) {
  errno = ENOSPC;
}

TEST(OpenRetry, ATransientFailureGetsTenAttemptsNinePausesAndTheLinesOfEach) {
  qrx::test::TempDir dir;
  const std::string path = dir.file("present");
  qrx::test::write_file(path, "here");
  TLG1_SetFlags(TLG1_DETAIL);
  TraceCapture trace;
  {
    FakeSleep sleep;
    NoFreeDescriptor limit;
    EXPECT_EQ(qrxcb_open(path.c_str(), O_RDONLY, 0), -1);
    EXPECT_EQ(errno, EMFILE);
    EXPECT_EQ(sleep.calls(), 9u);
  }
  EXPECT_EQ(trace.count(QRXHOST_KIND_DETAIL, "Open failed for '" + path + "', errno= 24, retrying"), 9);
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "Open failed for '" + path + "', errno = 24"), 1);
  trace.clear();
  NoFreeDescriptor limit;
  g_limit = &limit;
  qrxhost_set_sleep_hook(&free_on_third_pause);  // in place of the fake sleep
  const int32_t fd = qrxcb_open(path.c_str(), O_RDONLY, 0);
  qrxhost_set_sleep_hook(nullptr);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(g_pauses, 3) << "stops as soon as the file can be opened";
  EXPECT_EQ(trace.count(QRXHOST_KIND_DETAIL,
                        "Open for '" + path + "' returned with file no = " + std::to_string(fd)),
            1);
  EXPECT_EQ(qrxcb_close(fd), 0);
  TLG1_SetFlags(0);
}

// A missing file, a wrong path or a missing permission cannot pass by waiting: the final error at once.
TEST(OpenRetry, AFailureWaitingCannotCureIsFinalAtOnce) {
  qrx::test::TempDir dir;
  const std::string missing = dir.file("missing");
  TLG1_SetFlags(TLG1_DETAIL);
  {
    TraceCapture trace;
    FakeSleep sleep;
    EXPECT_EQ(qrxcb_open(missing.c_str(), O_RDONLY, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(qrxcb_open((missing + "/below").c_str(), O_RDONLY, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(qrxcb_open(dir.path().c_str(), O_RDWR, 0), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(sleep.calls(), 0u);
    EXPECT_FALSE(trace.contains(QRXHOST_KIND_DETAIL, "retrying"));
    EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "Open failed for '" + missing + "', errno = 2"), 1);
  }
  TLG1_SetFlags(0);
  qrxhost_set_sleep_hook(&clobbering_pause);
  qrxhost_set_trace_sink(&clobbering_sink, nullptr);
  errno = 0;
  const int32_t bad = qrxcb_open(missing.c_str(), O_RDONLY, 0);
  const int err = errno;
  qrxhost_set_trace_sink(nullptr, nullptr);
  qrxhost_set_sleep_hook(nullptr);
  EXPECT_EQ(bad, -1);
  EXPECT_EQ(err, ENOENT) << "the failure keeps the errno of the open";
}

// Output buffers of exactly the documented sizes on the heap, so that ASan reports a write past them.
struct Parts {
  std::vector<char> drive = std::vector<char>(3, 'Z'), dir = std::vector<char>(256, 'Z'),
                    fname = std::vector<char>(15, 'Z'), ext = std::vector<char>(15, 'Z');
  explicit Parts(const char *path) {
    drive.back() = dir.back() = fname.back() = ext.back() = '\0';  // start from non-empty strings
    SplitPath(path, drive.data(), dir.data(), fname.data(), ext.data());
  }
  std::string all() const {
    return std::string(drive.data()) + "|" + dir.data() + "|" + fname.data() + "|" + ext.data();
  }
};

TEST(SplitPath, SeparatorNameExtensionAndLengthRules) {
  const std::string dir255 = "/" + std::string(253, 'd') + "/", dir256 = "/" + std::string(254, 'd') + "/";
  const std::pair<std::string, std::string> cases[] = {
      {"a\\b/c.x", "|a\\|b/c|.x"},  // a backslash decides even when a slash follows
      {"/d/a.b.c", "|/d/|a.b|.c"},
      {"/d.x/idx/name", "|/d.x/idx/|name|"},
      {".profile", "||.profile|.profile"},
      {"/x/.profile", "|/x/||.profile"},
      {"/d/abcdefghijklmn.x", "|/d/|abcdefghijklmn|.x"},  // 14 characters fit
      {"n.abcdefghijklm", "||n|.abcdefghijklm"},          // the dot counts
      {"/d/abcdefghijklmno.x", "|/d/||.x"},               // too long: the other parts are still stored
      {dir255 + "f.x", "|" + dir255 + "|f|.x"},
      {dir256 + "f.x", "||f|.x"},
  };
  qrx::test::TraceCapture trace;
  for (const auto &[path, want] : cases) EXPECT_EQ(Parts(path.c_str()).all(), want) << path;
  EXPECT_EQ(Parts(nullptr).all(), "|||");
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "Invalid File specification in /d/abcdefghijklmno.x"), 1);
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "Invalid Directory Specification in " + dir256 + "f.x"), 1);
}

TEST(MakePath, JoinsDriveDirectoryNameAndExtension) {
  const std::array<const char *, 6> cases[] = {
      // prefix, drive, dir, name, extension, result
      {"", nullptr, "/tmp", "x", "IDX", "/tmp/x.IDX"},
      {"", nullptr, "a\\\\b", nullptr, nullptr, "a/\\b/"},  // kept as it stands from a doubled separator on
      {"", nullptr, "/data/idx/", "cust", "dmp", "/data/idx//cust.dmp"},
      {"pre/", nullptr, "a", "n", ".x", "pre/a/n.x"},
      {"old prefix", "cdrive", "dir", "n", "x", "c:dir/n.x"},
      {"keep", "", "", "", "", "keep"},
  };
  for (const auto &c : cases) {
    char out[600];
    std::strcpy(out, c[0]);
    MakePath(out, c[1], c[2], c[3], c[4]);
    EXPECT_STREQ(out, c[5]) << c[2];
  }
}

}  // namespace
