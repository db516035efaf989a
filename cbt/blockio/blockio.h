// blockio.h - internal steps of the block-file helpers and of the path grammar.
//
// Owns: nothing but the once word of the descriptor-limit raise.
// Calls: POSIX file calls and the host services only; this is the lowest layer of the library.
// Locks: none of its own. The once word is guarded by OSV1_InitializeOnce; callers that share a
// descriptor between threads serialise readblk/writeblk themselves (the buffer pool holds its pool mutex).
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace qrx::blockio {

// Soft descriptor limit the first qrxcb_open raises the process to when it is lower.
inline constexpr uint64_t kMinDescriptors = 128;
// qrxcb_open tries this many times, with a one-second pause before each retry.
inline constexpr int kOpenAttempts = 10;
// Releases the file lock (qrxcb_LockFile) held through descriptor fd, for handing it to another one.
void unlock_fd(int32_t fd);
// True for the open failures that can pass while waiting (no descriptor or memory free yet, a signal,
// a busy file); any other errno is final at the first attempt.
inline bool open_retryable(int err) {
  return err == EMFILE || err == ENFILE || err == EINTR || err == EAGAIN || err == ENOMEM || err == EBUSY ||
         err == ETXTBSY;
}

// Longest parts SplitPath stores; the output buffers hold one byte more for the terminating NUL.
inline constexpr size_t kDirMax = 255;  // directory buffer: 256 bytes
inline constexpr size_t kNameMax = 14;  // file name buffer: 15 bytes
inline constexpr size_t kExtMax = 14;   // extension buffer: 15 bytes ('.' included)

// Once word of the descriptor-limit raise: 0 before, negative after the one run.
extern volatile int32_t QRX_Ulimit_Gate;

// Raises the soft limit of open descriptors to kMinDescriptors when it is lower, keeping the hard limit.
// Run only through OSV1_InitializeOnce(&QRX_Ulimit_Gate, ...); the argument is unused.
void Ulimit_Nofiles(void *unused);

// The four parts of a path. Each writes its part (NUL-terminated) into out when out is not null and
// returns the length stored; an over-long part is reported with an error line, stored empty and gives 0.
// A null path counts as an empty one.
size_t GetDrive(const char *path, char *out);  // always empty: the platform has no drive letters
size_t GetDir(const char *path, char *out);    // up to and including the separating position
size_t GetFname(const char *path, char *out);  // base name up to its last '.'
size_t GetExt(const char *path, char *out);    // from the last '.' of the base name, '.' included

// ---------------------------------------------------------------------------------------------------
// Fault injection, for tests of the failure paths above the block files. While a fault is armed, every
// readblk and writeblk of the chosen kinds is counted (process-wide, any descriptor); the nth one (1 =
// the next) fails as an I/O error without touching the file (errno EIO), and with `sticky` every one
// after it fails too. Disarmed, the check costs one relaxed atomic load per transfer.
//
// Armed with FaultHow::kShort, a chosen transfer does not fail: each of its system calls moves only the
// first half of the bytes still to go (at least one) and reports that count, as a read or write
// interrupted by a signal or by a full disk would. A transfer is whole only when its loop goes on
// until every byte has moved. Syncs and opens are never short.
// ---------------------------------------------------------------------------------------------------
// Block transfers (readblk, writeblk) and byte-range transfers (read_at, write_at) are counted apart;
// syncs (qrxcb_flush) fail as EIO, opens (qrxcb_open, qrxcb_creat) as ENOSPC, neither touching the file.
enum class FaultOn : uint32_t {
  kRead = 1,
  kWrite = 2,
  kBoth = 3,
  kRangeRead = 4,
  kRangeWrite = 8,
  kSync = 16,
  kOpen = 32
};

enum class FaultHow : uint32_t { kFail, kShort };

void fault_arm(FaultOn on, uint64_t nth, bool sticky, FaultHow how = FaultHow::kFail);
void fault_disarm();
// Transfers of the armed kinds counted since fault_arm (failed ones included).
uint64_t fault_count();
// True when this transfer of kind `on` is to fail or, armed with FaultHow::kShort, to move its bytes in
// short pieces (counts it while a fault is armed).
bool fault_due(FaultOn on);
// How a transfer that fault_due picked goes wrong.
FaultHow fault_how();

// ---------------------------------------------------------------------------------------------------
// Crash injection, for the crash matrix: while armed, every writeblk and write_at that is about to move
// bytes is counted together (process-wide, any descriptor), and the nth one (1 = the next) ends the
// process with _exit(kCrashExitCode) before a byte of it is written: no atexit handler runs and no dirty
// buffer of the pool is written back, as when the process is killed there. nth 0 only counts, so that a
// workload run once whole tells how many writes it makes. Disarmed, the check costs one relaxed atomic
// load per write.
// ---------------------------------------------------------------------------------------------------
inline constexpr int kCrashExitCode = 86;

void crash_arm(uint64_t nth);
void crash_disarm();
// Writes counted since crash_arm.
uint64_t crash_count();
// Counts this write while armed and ends the process when it is the nth.
void crash_point();

// Byte-range transfers of the record files, counted by the fault hook like blocks: 1 when all `len`
// bytes moved at `off`, -1 otherwise (errno as the failing call left it; a read past the end is -1).
int32_t read_at(int32_t fd, uint64_t off, void *buf, uint32_t len);
int32_t write_at(int32_t fd, uint64_t off, const void *buf, uint32_t len);

}  // namespace qrx::blockio
