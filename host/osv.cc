// osv.cc - once-only runs, per-thread blocks, locks, memory, environment and sleep (OSV1_).
//
// Once words live in the callers' records and are only touched with atomic operations: 0 before the
// run, 1 while a thread runs the function, -1 after. Callers that find a word at 1 wait on one
// process-wide condition variable until it turns negative; no lock is held while the function runs, so
// it may itself run other once-only steps (on any thread). Per-thread blocks are pthread-specific data
// with a small header that names their key record, so the thread-exit destructor can find the end
// function.
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "host/qrxhost.h"
#include "host/qrxtrace.h"

QRX_TRACE_UNIT();

namespace qrx::host {
namespace {

constexpr int32_t kOnceRunning = 1;
constexpr int32_t kOnceDone = -1;

struct OnceWaiters {
  std::mutex mutex;
  std::condition_variable done;  // notified whenever a once word leaves kOnceRunning
};

OnceWaiters &once_waiters() {
  static OnceWaiters *w = new OnceWaiters;  // never destroyed: once steps may run during exit
  return *w;
}

int32_t load_once(volatile int32_t *once) {
  return __atomic_load_n(once, __ATOMIC_ACQUIRE);
}

// Once words this thread is running now: a request for one of them is a recursion that can never end.
thread_local std::vector<volatile int32_t *> t_running_once;

// Per-thread block layout: header, then the caller's `size` bytes at the next max_align_t boundary.
struct alignas(std::max_align_t) ThreadBlockHeader {
  OSV1_ThreadKey *key;  // the key record the block belongs to
};
static_assert(sizeof(ThreadBlockHeader) % alignof(std::max_align_t) == 0);

static_assert(sizeof(pthread_key_t) <= sizeof(uint32_t), "OSV1_ThreadKey.key holds a pthread key");

void *block_of(ThreadBlockHeader *h) {
  return h + 1;
}

extern "C" void end_thread_block(void *value) {
  auto *h = static_cast<ThreadBlockHeader *>(value);
  if (h == nullptr) return;
  if (h->key->end != nullptr) h->key->end(block_of(h));
  std::free(h);
}

// Once step of a key: makes the pthread key and stores it plus one (0 stays "no key").
extern "C" void make_thread_key(void *arg) {
  auto *key = static_cast<OSV1_ThreadKey *>(arg);
  pthread_key_t k;
  int rc = pthread_key_create(&k, &end_thread_block);
  if (rc != 0) {
    QRX_ERROR("pthread_key_create failed, rc = %d", rc);
    key->key = 0;
    return;
  }
  key->key = static_cast<uint32_t>(k) + 1;
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(OSV1_Lock), "a pthread mutex fits an OSV1_Lock");
static_assert(alignof(pthread_mutex_t) <= alignof(OSV1_Lock), "an OSV1_Lock is aligned for a mutex");

pthread_mutex_t *mutex_of(OSV1_Lock *lock) {
  return reinterpret_cast<pthread_mutex_t *>(lock->opaque);
}

std::atomic<void (*)(uint32_t)> g_sleep_hook{nullptr};

// Allocation fault hook (qrxhost_alloc_fault): the armed number (0: disarmed), the count since arming,
// and whether every allocation after the nth fails too.
std::atomic<uint64_t> g_alloc_nth{0};
std::atomic<uint64_t> g_alloc_count{0};
std::atomic<bool> g_alloc_sticky{false};

}  // namespace
}  // namespace qrx::host

using namespace qrx::host;

extern "C" {

QRXHOST_API int32_t OSV1_InitializeOnce(volatile int32_t *once, void (*fn)(void *), void *arg,
                                        const char *file, int line) {
  if (once == nullptr || fn == nullptr) return EINVAL;
  if (load_once(once) < 0) return 0;
  // The waiters' record and room on this thread's list of running words are made before the word is
  // claimed: running out of memory then leaves it as it was.
  OnceWaiters *waiters = nullptr;
  try {
    waiters = &once_waiters();
    t_running_once.reserve(t_running_once.size() + 1);
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
  OnceWaiters &w = *waiters;
  {
    std::unique_lock<std::mutex> g(w.mutex);
    for (;;) {
      int32_t state = load_once(once);
      if (state < 0) return 0;
      if (state == 0) break;
      if (std::find(t_running_once.begin(), t_running_once.end(), once) != t_running_once.end()) {
        QRX_ERROR("once-only step requested again from inside itself (%s:%d)", file ? file : "?", line);
        return EDEADLK;
      }
      w.done.wait(g);
    }
    __atomic_store_n(once, kOnceRunning, __ATOMIC_RELAXED);
  }
  t_running_once.push_back(once);  // within the room reserved above
  int32_t rc = 0;
  try {
    fn(arg);
  } catch (...) {
    // The run did not complete: the word goes back to 0 so that a later caller may try again.
    QRX_ERROR("once-only step ended by an exception (%s:%d)", file ? file : "?", line);
    rc = ECANCELED;
  }
  t_running_once.pop_back();
  {
    std::lock_guard<std::mutex> g(w.mutex);
    __atomic_store_n(once, rc == 0 ? kOnceDone : 0, __ATOMIC_RELEASE);
  }
  w.done.notify_all();
  return rc;
}

QRXHOST_API void *OSV1_ResolveThread(OSV1_ThreadKey *key, const char *file, int line) {
  if (key == nullptr) return nullptr;
  if (load_once(&key->once) >= 0) OSV1_InitializeOnce(&key->once, &make_thread_key, key, file, line);
  if (key->key == 0) return nullptr;
  auto k = static_cast<pthread_key_t>(key->key - 1);
  if (void *found = pthread_getspecific(k)) return block_of(static_cast<ThreadBlockHeader *>(found));

  if (qrxhost_alloc_fails()) return nullptr;
  auto *h = static_cast<ThreadBlockHeader *>(std::calloc(1, sizeof(ThreadBlockHeader) + key->size));
  if (h == nullptr) return nullptr;
  h->key = key;
  if (pthread_setspecific(k, h) != 0) {
    std::free(h);
    return nullptr;
  }
  if (key->init != nullptr) key->init(block_of(h));
  return block_of(h);
}

QRXHOST_API int32_t OSV1_InitializeLock(OSV1_Lock *lock) {
  if (lock == nullptr) return EINVAL;
  std::memset(lock, 0, sizeof *lock);
  return pthread_mutex_init(mutex_of(lock), nullptr);
}

QRXHOST_API int32_t OSV1_GetLock(OSV1_Lock *lock) {
  return lock == nullptr ? EINVAL : pthread_mutex_lock(mutex_of(lock));
}

QRXHOST_API int32_t OSV1_ReleaseLock(OSV1_Lock *lock) {
  return lock == nullptr ? EINVAL : pthread_mutex_unlock(mutex_of(lock));
}

QRXHOST_API int32_t OSV1_DestroyLock(OSV1_Lock *lock) {
  return lock == nullptr ? EINVAL : pthread_mutex_destroy(mutex_of(lock));
}

QRXHOST_API int32_t OSV1_GetMem(size_t size, void **out, int32_t *status) {
  int32_t rc = 0;
  if (out == nullptr) {
    rc = EINVAL;
  } else {
    *out = qrxhost_alloc_fails() ? nullptr : std::calloc(1, size == 0 ? 1 : size);
    if (*out == nullptr) rc = ENOMEM;
  }
  if (status != nullptr) *status = rc;
  return rc;
}

QRXHOST_API int32_t OSV1_FreeMem(void *p, int32_t *status) {
  std::free(p);
  if (status != nullptr) *status = 0;
  return 0;
}

QRXHOST_API const char *OSV1_GetEnv(const char *name, const char *dflt) {
  if (name == nullptr) return dflt;
  const char *v = std::getenv(name);
  return v != nullptr ? v : dflt;
}

QRXHOST_API const char *OSV1_LocateEnv(const char *name) {
  return name ? std::getenv(name) : nullptr;
}

QRXHOST_API void OSV1_Sleep(uint32_t seconds) {
  if (auto hook = g_sleep_hook.load(std::memory_order_acquire)) {
    hook(seconds);
    return;
  }
  timespec left{static_cast<time_t>(seconds), 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

QRXHOST_API void qrxhost_set_sleep_hook(void (*fn)(uint32_t seconds)) {
  g_sleep_hook.store(fn, std::memory_order_release);
}

QRXHOST_API void qrxhost_alloc_fault(uint64_t nth, int32_t sticky) {
  using namespace qrx::host;
  g_alloc_nth.store(0);
  if (nth == 0) return;  // the count stays readable after disarming
  g_alloc_count.store(0);
  g_alloc_sticky.store(sticky != 0);
  g_alloc_nth.store(nth);
}

QRXHOST_API uint64_t qrxhost_alloc_count(void) {
  return qrx::host::g_alloc_count.load();
}

QRXHOST_API int32_t qrxhost_alloc_fails(void) {
  using namespace qrx::host;
  const uint64_t nth = g_alloc_nth.load(std::memory_order_relaxed);
  if (nth == 0) return 0;
  const uint64_t n = g_alloc_count.fetch_add(1) + 1;
  return n == nth || (n > nth && g_alloc_sticky.load());
}

}  // extern "C"
