// The file wrappers: whole-block transfers at a block number, the open retry, and the small calls.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "cbt/codec.h"
#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"

namespace {

using qrx::test::FakeSleep;
using qrx::test::TempDir;
using qrx::test::TraceCapture;

constexpr uint32_t kBlk = 512;

std::vector<uint8_t> pattern(uint32_t size, uint8_t seed) {
  std::vector<uint8_t> v(size);
  for (uint32_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

off_t file_size(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// A scratch file opened read/write (raw open: these tests are about the block calls).
class BlockFile : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("blocks");
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) ::close(fd_);
  }
  TempDir dir_;
  std::string path_;
  int fd_ = -1;
};

// --- Whole blocks ------------------------------------------------------------------------------------

TEST_F(BlockFile, WrittenBlocksReadBackAtTheirOffsets) {
  auto b2 = pattern(kBlk, 2), b0 = pattern(kBlk, 0), b1 = pattern(kBlk, 1);
  ASSERT_EQ(writeblk(fd_, 2, kBlk, b2.data()), 1);
  ASSERT_EQ(writeblk(fd_, 0, kBlk, b0.data()), 1);
  ASSERT_EQ(writeblk(fd_, 1, kBlk, b1.data()), 1);
  EXPECT_EQ(file_size(path_), 3 * kBlk);

  std::vector<uint8_t> got(kBlk);
  ASSERT_EQ(readblk(fd_, 1, kBlk, got.data()), 1);
  EXPECT_EQ(got, b1);
  ASSERT_EQ(readblk(fd_, 0, kBlk, got.data()), 1);
  EXPECT_EQ(got, b0);
  ASSERT_EQ(readblk(fd_, 2, kBlk, got.data()), 1);
  EXPECT_EQ(got, b2);

  // The bytes sit at block number times block size, block 0 at offset 0.
  std::string raw = qrx::test::read_file(path_);
  EXPECT_EQ(static_cast<uint8_t>(raw[kBlk]), b1[0]);
  EXPECT_EQ(static_cast<uint8_t>(raw[2 * kBlk + 5]), b2[5]);
}

TEST_F(BlockFile, FirstWordIsReadAsBlockZeroOfFourBytes) {
  std::array<uint8_t, 16> head{};
  qrx::codec::store_u32(head.data(), 0, 4096);
  ASSERT_EQ(writeblk(fd_, 0, head.size(), head.data()), 1);
  std::array<uint8_t, 4> word{};
  ASSERT_EQ(readblk(fd_, 0, 4, word.data()), 1);
  EXPECT_EQ(qrx::codec::load_u32(word.data(), 0), 4096u);
}

TEST_F(BlockFile, ReadPastTheEndFails) {
  auto b = pattern(kBlk, 9);
  ASSERT_EQ(writeblk(fd_, 0, kBlk, b.data()), 1);
  std::vector<uint8_t> got(kBlk, 0xEE);
  EXPECT_EQ(readblk(fd_, 1, kBlk, got.data()), -1);
  EXPECT_EQ(readblk(fd_, 1000, kBlk, got.data()), -1);
}

TEST_F(BlockFile, ShortLastBlockIsAFailure) {
  qrx::test::write_file(path_, std::string(kBlk + 100, 'a'));  // one block and a piece
  std::vector<uint8_t> got(2 * kBlk);
  EXPECT_EQ(readblk(fd_, 0, kBlk, got.data()), 1);
  EXPECT_EQ(readblk(fd_, 1, kBlk, got.data()), -1);
  EXPECT_EQ(readblk(fd_, 0, kBlk + 100, got.data()), 1);
  EXPECT_EQ(readblk(fd_, 0, kBlk + 101, got.data()), -1) << "the file is one byte short of the block";
  ASSERT_EQ(::ftruncate(fd_, 0), 0);
  EXPECT_EQ(readblk(fd_, 0, 4, got.data()), -1);
}

TEST_F(BlockFile, NegativeBlockNumbersAreRefused) {
  auto b = pattern(kBlk, 3);
  errno = 0;
  EXPECT_EQ(writeblk(fd_, -1, kBlk, b.data()), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(file_size(path_), 0);
  ASSERT_EQ(writeblk(fd_, 0, kBlk, b.data()), 1);
  EXPECT_EQ(readblk(fd_, -1, kBlk, b.data()), -1);
  EXPECT_EQ(readblk(fd_, INT32_MIN, 4, b.data()), -1);
}

TEST_F(BlockFile, OffsetIsComputedIn64Bits) {
  // Block 2^20 of 4096 bytes starts at 2^32: a 32-bit product would land on block 0.
  constexpr uint32_t kBig = 4096;
  constexpr int32_t kFar = 1 << 20;
  auto b = pattern(kBig, 5);
  ASSERT_EQ(writeblk(fd_, kFar, kBig, b.data()), 1);
  EXPECT_EQ(file_size(path_), (off_t{1} << 32) + kBig);
  std::vector<uint8_t> got(kBig);
  ASSERT_EQ(readblk(fd_, kFar, kBig, got.data()), 1);
  EXPECT_EQ(got, b);
  ASSERT_EQ(readblk(fd_, 0, kBig, got.data()), 1);
  EXPECT_EQ(got, std::vector<uint8_t>(kBig, 0));
}

TEST_F(BlockFile, TransferErrorsKeepTheSystemErrno) {
  auto b = pattern(kBlk, 4);
  int ro = ::open(path_.c_str(), O_RDONLY);
  ASSERT_GE(ro, 0);
  errno = 0;
  EXPECT_EQ(writeblk(ro, 0, kBlk, b.data()), -1);
  EXPECT_EQ(errno, EBADF);
  ::close(ro);
  errno = 0;
  EXPECT_EQ(readblk(ro, 0, kBlk, b.data()), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(readblk(fd_, 0, kBlk, nullptr), -1);
}

// --- Small calls -------------------------------------------------------------------------------------

TEST(BlockCalls, CreatTruncatesWithTheGivenModeAndUnlinkRemoves) {
  TempDir dir;
  std::string path = dir.file("made");
  qrx::test::write_file(path, "old content");
  mode_t old_mask = ::umask(022);
  int32_t fd = qrxcb_creat(path.c_str(), 0640);
  ::umask(old_mask);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_size, 0);
  // creat keeps the mode of an existing file; a new one gets the given mode.
  EXPECT_EQ(qrxcb_close(fd), 0);
  ASSERT_EQ(qrxcb_unlink(path.c_str()), 0);
  EXPECT_EQ(qrxcb_unlink(path.c_str()), -1);
  fd = qrxcb_creat(path.c_str(), 0640);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(qrxcb_flush(fd), 1);
  EXPECT_EQ(qrxcb_close(fd), 0);
  EXPECT_EQ(qrxcb_flush(fd), -1);
  EXPECT_EQ(qrxcb_close(fd), -1);
}

TEST(BlockCalls, NullPathsFailWithoutCrashing) {
  FakeSleep sleep;
  TraceCapture trace;
  errno = 0;
  EXPECT_EQ(qrxcb_creat(nullptr, 0600), -1);
  EXPECT_EQ(qrxcb_unlink(nullptr), -1);
  EXPECT_EQ(qrxcb_open(nullptr, O_RDONLY, 0), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(sleep.calls(), 0u) << "a null path is not retried";
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "Open failed for '', errno = 22"), 1);
}

TEST(BlockCalls, FileLockHooksReportSuccess) {
  EXPECT_EQ(qrxcb_LockFile(3), 0);
  EXPECT_EQ(qrxcb_UnlockFile(), 0);
}

// --- Open with retry ---------------------------------------------------------------------------------

// Detail lines on while a test runs.
class OpenRetry : public ::testing::Test {
 protected:
  void SetUp() override { TLG1_SetFlags(TLG1_DETAIL); }
  void TearDown() override { TLG1_SetFlags(0); }
  TempDir dir_;
  TraceCapture trace_;
};

TEST_F(OpenRetry, ExistingFileOpensAtOnce) {
  FakeSleep sleep;
  std::string path = dir_.file("there");
  qrx::test::write_file(path, "x");
  int32_t fd = qrxcb_open(path.c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(sleep.calls(), 0u);
  EXPECT_EQ(trace_.count(QRXHOST_KIND_DETAIL,
                         "Open for '" + path + "' returned with file no = " + std::to_string(fd)),
            1);
  EXPECT_FALSE(trace_.contains(QRXHOST_KIND_DETAIL, "retrying"));
  EXPECT_EQ(qrxcb_close(fd), 0);
  EXPECT_EQ(trace_.count(QRXHOST_KIND_DETAIL, "Closing file no = " + std::to_string(fd)), 1);
}

TEST_F(OpenRetry, MissingFileFailsAfterTenAttemptsAndNinePauses) {
  FakeSleep sleep;
  std::string path = dir_.file("missing");
  errno = 0;
  EXPECT_EQ(qrxcb_open(path.c_str(), O_RDONLY, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(sleep.calls(), 9u);
  EXPECT_EQ(sleep.seconds(), 9u);
  std::string retry = "Open failed for '" + path + "', errno= " + std::to_string(ENOENT) + ", retrying";
  EXPECT_EQ(trace_.count(QRXHOST_KIND_DETAIL, retry), 9);
  EXPECT_EQ(
      trace_.count(QRXHOST_KIND_ERROR, "Open failed for '" + path + "', errno = " + std::to_string(ENOENT)),
      1);
  EXPECT_FALSE(trace_.contains(QRXHOST_KIND_DETAIL, "returned with file no"));
}

TEST_F(OpenRetry, RetryLinesNeedTheDetailFlagButTheFailureLineDoesNot) {
  TLG1_SetFlags(0);
  FakeSleep sleep;
  EXPECT_EQ(qrxcb_open(dir_.file("missing").c_str(), O_RDONLY, 0), -1);
  EXPECT_EQ(sleep.calls(), 9u);
  EXPECT_FALSE(trace_.contains(QRXHOST_KIND_DETAIL, "retrying"));
  EXPECT_TRUE(trace_.contains(QRXHOST_KIND_ERROR, "Open failed for"));
}

// Creates the awaited file during the third pause.
std::string g_late_path;
int g_late_pauses = 0;
void create_on_third_pause(uint32_t) {
  if (++g_late_pauses == 3) qrx::test::write_file(g_late_path, "late");
}

TEST_F(OpenRetry, StopsAsSoonAsTheFileCanBeOpened) {
  g_late_path = dir_.file("late");
  g_late_pauses = 0;
  qrxhost_set_sleep_hook(&create_on_third_pause);
  int32_t fd = qrxcb_open(g_late_path.c_str(), O_RDONLY, 0);
  qrxhost_set_sleep_hook(nullptr);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(g_late_pauses, 3);
  EXPECT_EQ(trace_.count(QRXHOST_KIND_DETAIL, "Open failed for '" + g_late_path +
                                                  "', errno= " + std::to_string(ENOENT) + ", retrying"),
            3);
  EXPECT_FALSE(trace_.contains(QRXHOST_KIND_ERROR, "Open failed"));
  std::array<uint8_t, 4> word{};
  EXPECT_EQ(readblk(fd, 0, 4, word.data()), 1);
  EXPECT_EQ(std::string(word.begin(), word.end()), "late");
  qrxcb_close(fd);
}

// A pause and a trace sink that disturb errno, as a wait interrupted by a signal or a write to a full
// trace file would.
void clobbering_pause(uint32_t) {
  errno = EINTR;
}
void clobbering_sink(void *, const char *, int, int, int, const char *) {
  errno = ENOSPC;
}

TEST(OpenRetryErrno, FailureKeepsTheErrnoOfTheLastAttempt) {
  TempDir dir;
  TLG1_SetFlags(TLG1_DETAIL);
  qrxhost_set_sleep_hook(&clobbering_pause);
  qrxhost_set_trace_sink(&clobbering_sink, nullptr);
  errno = 0;
  int32_t fd = qrxcb_open(dir.file("missing").c_str(), O_RDONLY, 0);
  int err = errno;
  qrxhost_set_trace_sink(nullptr, nullptr);
  qrxhost_set_sleep_hook(nullptr);
  TLG1_SetFlags(0);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(err, ENOENT);
}

TEST_F(OpenRetry, FlagsAndModeArePassedThrough) {
  FakeSleep sleep;
  std::string path = dir_.file("created");
  mode_t old_mask = ::umask(022);
  int32_t fd = qrxcb_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0604);
  ::umask(old_mask);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0604u);
  qrxcb_close(fd);
  EXPECT_EQ(qrxcb_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0604), -1);  // EEXIST, retried too
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(sleep.calls(), 9u);
}

}  // namespace
