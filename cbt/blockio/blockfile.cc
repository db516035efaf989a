// blockfile.cc - the library's file calls: create, open with retry, close, unlink, sync, whole-block
// transfers and the file-lock hooks.
//
// Every file of the library (index files and data files alike) goes through these wrappers. They keep no
// state apart from the once word of the descriptor-limit raise. A block transfer positions and moves
// data in one positional call (pread/pwrite), so two threads on one descriptor do not disturb each
// other's file offset; callers still serialise transfers of the same block.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <iterator>

#include "cbt/blockio/blockio.h"
#include "host/qrxtrace.h"
#include "qrxcb.h"

QRX_TRACE_UNIT();

static_assert(sizeof(off_t) >= 8, "block offsets are computed in 64 bits");

namespace qrx::blockio {

volatile int32_t QRX_Ulimit_Gate = 0;

void Ulimit_Nofiles(void *) {
  struct rlimit lim {};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
    QRX_ERROR("Error reading Descriptor limit, errno = %d", errno);
    return;
  }
  // The limits are printed as int: an unlimited value shows as -1.
  QRX_DETAIL("Current Descriptor limit is cur = %d, max = %d", static_cast<int>(lim.rlim_cur),
             static_cast<int>(lim.rlim_max));
  if (static_cast<uint64_t>(lim.rlim_cur) >= kMinDescriptors) return;
  lim.rlim_cur = static_cast<rlim_t>(kMinDescriptors);  // the hard limit stays as it is
  if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
    QRX_ERROR("Error setting Soft Descriptor limit, errno = %d", errno);
  } else {
    QRX_ERROR("Soft Descriptor limit increased to 128");
  }
}

namespace {

std::atomic<uint32_t> g_fault_on{0};  // FaultOn bits; 0 when disarmed
std::atomic<uint64_t> g_fault_count{0};
std::atomic<uint64_t> g_fault_nth{0};
std::atomic<bool> g_fault_sticky{false};
std::atomic<uint32_t> g_fault_how{0};  // FaultHow
std::atomic<bool> g_crash_on{false};   // crash injection armed (counting, perhaps ending the process)
std::atomic<uint64_t> g_crash_count{0};
std::atomic<uint64_t> g_crash_nth{0};  // 0: count only

}  // namespace

void fault_arm(FaultOn on, uint64_t nth, bool sticky, FaultHow how) {
  g_fault_on.store(0);
  g_fault_count.store(0);
  g_fault_nth.store(nth);
  g_fault_sticky.store(sticky);
  g_fault_how.store(static_cast<uint32_t>(how));
  g_fault_on.store(static_cast<uint32_t>(on));
}

void fault_disarm() {
  g_fault_on.store(0);
}

uint64_t fault_count() {
  return g_fault_count.load();
}

void crash_arm(uint64_t nth) {
  g_crash_on.store(false);
  g_crash_count.store(0);
  g_crash_nth.store(nth);
  g_crash_on.store(true);
}

void crash_disarm() {
  g_crash_on.store(false);
}

uint64_t crash_count() {
  return g_crash_count.load();
}

void crash_point() {
  if (!g_crash_on.load(std::memory_order_relaxed)) return;
  const uint64_t n = g_crash_count.fetch_add(1) + 1;
  if (n == g_crash_nth.load()) ::_exit(kCrashExitCode);
}

// True when this transfer (of kind `on`) is to fail.
bool fault_due(FaultOn on) {
  if ((g_fault_on.load(std::memory_order_relaxed) & static_cast<uint32_t>(on)) == 0) return false;
  const uint64_t n = g_fault_count.fetch_add(1) + 1;
  const uint64_t nth = g_fault_nth.load();
  return n == nth || (n > nth && g_fault_sticky.load());
}

FaultHow fault_how() {
  return static_cast<FaultHow>(g_fault_how.load());
}

}  // namespace qrx::blockio

namespace {

using qrx::blockio::kOpenAttempts;

// Byte offset of a block. blkno is at most 2^31 - 1 and blksize at most 2^32 - 1, so the product is
// below 2^63 and always fits a 64-bit off_t.
off_t block_offset(int32_t blkno, uint32_t blksize) {
  return static_cast<off_t>(static_cast<uint64_t>(blkno) * blksize);
}

// What a transfer checked by the fault hook is to do.
enum class Injected { kNone, kFail, kShort };

Injected injected(qrx::blockio::FaultOn on) {
  using qrx::blockio::FaultHow;
  if (!qrx::blockio::fault_due(on)) return Injected::kNone;
  return qrx::blockio::fault_how() == FaultHow::kShort ? Injected::kShort : Injected::kFail;
}

// Moves exactly len bytes at off; a transfer that stops short (end of file on a read) or fails is -1.
// errno is left as the failing call set it. A system call may move fewer bytes than asked (a signal,
// a full disk, a pipe): the loop goes on from where it stopped until every byte has moved, the call
// fails, or it moves nothing. With `in_pieces` (the fault hook's short transfers) each call is asked
// for half of what is left, at least one byte.
template <class Buf, class Xfer>
int32_t transfer_all(int32_t fd, Buf *buf, uint32_t len, off_t off, Xfer xfer, bool in_pieces = false) {
  if (len == 0) return xfer(fd, buf, 0, off) == 0 ? 1 : -1;  // still refuses a bad descriptor
  size_t done = 0;
  while (done < len) {
    const size_t left = len - done, ask = in_pieces && left > 1 ? left / 2 : left;
    ssize_t n = xfer(fd, buf + done, ask, off + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) return -1;
    done += static_cast<size_t>(n);
  }
  return 1;
}

}  // namespace

// creat(2), except that a file another process holds the file lock on (open for writing) is left as it
// is and -1 comes back (errno EAGAIN or EACCES): the file is emptied only under the lock, which the
// returned descriptor holds until it is closed. A plain creat would truncate under a writer that goes on
// writing blocks from its cache into the emptied file.
int32_t qrxcb_creat(const char *path, uint32_t mode) {
  QRX_ENTRY();
  int32_t fd = -1;
  if (path == nullptr) {
    errno = EINVAL;
  } else if (injected(qrx::blockio::FaultOn::kOpen) == Injected::kFail) {
    errno = ENOSPC;
  } else if ((fd = ::open(path, O_WRONLY | O_CREAT, static_cast<mode_t>(mode))) >= 0) {
    if (qrxcb_LockFile(fd) != 0 || ::ftruncate(fd, 0) != 0) {
      const int err = errno;
      ::close(fd);
      fd = -1;
      errno = err;
    }
  }
  QRX_EXIT(fd);
  return fd;
}

int32_t qrxcb_open(const char *path, int32_t flags, uint32_t mode) {
  QRX_ENTRY();
  using qrx::blockio::QRX_Ulimit_Gate;
  if (QRX_Ulimit_Gate >= 0) {
    OSV1_InitializeOnce(&QRX_Ulimit_Gate, &qrx::blockio::Ulimit_Nofiles, nullptr, __FILE__, __LINE__);
  }
  if (path == nullptr) {
    // Nothing to retry: no attempt can succeed.
    QRX_ERROR("Open failed for '%s', errno = %d", "", EINVAL);
    errno = EINVAL;
    QRX_EXIT(-1);
    return -1;
  }

  int32_t fd = -1;
  int err = 0;
  for (int attempt = 1;; ++attempt) {
    if (injected(qrx::blockio::FaultOn::kOpen) == Injected::kFail) {
      fd = -1, errno = ENOSPC;
    } else {
      fd = ::open(path, flags, static_cast<mode_t>(mode));
    }
    if (fd >= 0) break;
    err = errno;
    // Only failures that waiting can cure are retried: a missing file, a wrong path or a missing
    // permission gives its final error at once instead of after nine seconds.
    if (attempt == kOpenAttempts || !qrx::blockio::open_retryable(err)) break;
    QRX_DETAIL("Open failed for '%s', errno= %d, retrying", path, err);
    OSV1_Sleep(1);
  }
  if (fd < 0) {
    QRX_ERROR("Open failed for '%s', errno = %d", path, err);
    errno = err;  // the trace and sleep calls must not hide why the open failed
    QRX_EXIT(-1);
    return -1;
  }
  QRX_DETAIL("Open for '%s' returned with file no = %d", path, fd);
  QRX_EXIT(fd);
  return fd;
}

int32_t qrxcb_close(int32_t fd) {
  QRX_ENTRY();
  QRX_DETAIL("Closing file no = %d", fd);
  int32_t rc = ::close(fd);
  QRX_EXIT(rc);
  return rc;
}

int32_t qrxcb_unlink(const char *path) {
  QRX_ENTRY();
  int32_t rc = -1;
  if (path == nullptr) {
    errno = EINVAL;
  } else {
    rc = ::unlink(path);
  }
  QRX_EXIT(rc);
  return rc;
}

int32_t qrxcb_flush(int32_t fd) {
  QRX_ENTRY();
  int32_t rc = -1;
  if (injected(qrx::blockio::FaultOn::kSync) == Injected::kFail)
    errno = EIO;
  else
    rc = ::fsync(fd) == 0 ? 1 : -1;
  QRX_EXIT(rc);
  return rc;
}

int32_t readblk(int32_t fd, int32_t blkno, uint32_t blksize, void *buf) {
  QRX_ENTRY();
  int32_t rc = -1;
  if (blkno < 0 || (buf == nullptr && blksize != 0)) {
    errno = EINVAL;
  } else if (const Injected fault = injected(qrx::blockio::FaultOn::kRead); fault == Injected::kFail) {
    errno = EIO;
  } else {
    rc = transfer_all(
        fd, static_cast<uint8_t *>(buf), blksize, block_offset(blkno, blksize),
        [](int f, uint8_t *p, size_t n, off_t o) { return ::pread(f, p, n, o); }, fault == Injected::kShort);
  }
  QRX_EXIT(rc);
  return rc;
}

int32_t writeblk(int32_t fd, int32_t blkno, uint32_t blksize, const void *buf) {
  QRX_ENTRY();
  int32_t rc = -1;
  if (blkno < 0 || (buf == nullptr && blksize != 0)) {
    errno = EINVAL;
  } else {
    qrx::blockio::crash_point();
    if (const Injected fault = injected(qrx::blockio::FaultOn::kWrite); fault == Injected::kFail) {
      errno = EIO;
    } else {
      rc = transfer_all(
          fd, static_cast<const uint8_t *>(buf), blksize, block_offset(blkno, blksize),
          [](int f, const uint8_t *p, size_t n, off_t o) { return ::pwrite(f, p, n, o); },
          fault == Injected::kShort);
    }
  }
  QRX_EXIT(rc);
  return rc;
}

namespace qrx::blockio {

int32_t read_at(int32_t fd, uint64_t off, void *buf, uint32_t len) {
  if (off > static_cast<uint64_t>(INT64_MAX) - len || (buf == nullptr && len != 0)) {
    errno = EINVAL;
    return -1;
  }
  const Injected fault = injected(FaultOn::kRangeRead);
  if (fault == Injected::kFail) {
    errno = EIO;
    return -1;
  }
  return transfer_all(
      fd, static_cast<uint8_t *>(buf), len, static_cast<off_t>(off),
      [](int f, uint8_t *p, size_t n, off_t o) { return ::pread(f, p, n, o); }, fault == Injected::kShort);
}

int32_t write_at(int32_t fd, uint64_t off, const void *buf, uint32_t len) {
  if (off > static_cast<uint64_t>(INT64_MAX) - len || (buf == nullptr && len != 0)) {
    errno = EINVAL;
    return -1;
  }
  crash_point();
  const Injected fault = injected(FaultOn::kRangeWrite);
  if (fault == Injected::kFail) {
    errno = EIO;
    return -1;
  }
  return transfer_all(
      fd, static_cast<const uint8_t *>(buf), len, static_cast<off_t>(off),
      [](int f, const uint8_t *p, size_t n, off_t o) { return ::pwrite(f, p, n, o); },
      fault == Injected::kShort);
}

}  // namespace qrx::blockio

// An exclusive lock on the whole file, held by the open file description: another process (or another
// open of the same file in this one) that asks for it while it is held is refused, and the lock goes
// with the description's last close or the process's death, so a file left open by a process that died
// still shows that it was not closed properly. -1 when the lock is held elsewhere (or cannot be taken on
// this descriptor), 0 when taken.
//
// A refusal is tried again for about a tenth of a second before it stands. A description lives until
// its last reference goes, and a process that looks at this one's descriptors (/proc/PID/fd, as lsof,
// perf or a machine's monitor read it) holds a reference for the length of its call: a close here made
// meanwhile lets go of the lock a moment later, in that process. Without the retry, closing a file and
// opening it again at once (as creating a tree or a database does) would now and then be refused by
// its own closed descriptor. A real holder keeps the lock throughout and is refused all the same.
int32_t qrxcb_LockFile(int32_t fd) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;  // to the end of the file, however far it grows
  // Pauses between the attempts, in microseconds: 89 ms in all.
  static constexpr long kPauses[] = {50, 100, 250, 500, 1000, 2000, 5000, 10000, 20000, 50000};
  for (size_t attempt = 0;; ++attempt) {
    if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return 0;
    // Not held elsewhere (a bad descriptor, say): waiting cannot help.
    if ((errno != EAGAIN && errno != EACCES) || attempt == std::size(kPauses)) break;
    const struct timespec pause { 0, kPauses[attempt] * 1000 };
    ::nanosleep(&pause, nullptr);
  }
  QRX_DETAIL("File lock on file no = %d refused, errno = %d", fd, errno);
  return -1;
}
namespace qrx::blockio {
void unlock_fd(int32_t fd) {
  struct flock fl {};
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  ::fcntl(fd, F_OFD_SETLK, &fl);
}
}  // namespace qrx::blockio

// The lock is released by the close that follows every call (the callers unlock only to close), so
// nothing is done here.
int32_t qrxcb_UnlockFile(void) {
  return 0;
}
