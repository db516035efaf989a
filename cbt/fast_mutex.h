// fast_mutex.h - the mutex of the pool, the control records and the anchor.
//
// Every block access takes the pool mutex twice (get and release) and every public operation takes the
// anchor and control-record mutexes, so the uncontended path must be a single atomic exchange inline in
// the caller. The word is 0 (free), 1 (held) or 2 (held, and a thread may be waiting); waiters sleep in
// the kernel (std::atomic wait/notify, a futex on Linux), so a holder that reads a block from disk does
// not make the others spin.
#pragma once

#include <atomic>
#include <cstdint>

namespace qrx {

class FastMutex {
 public:
  FastMutex() = default;
  FastMutex(const FastMutex &) = delete;
  FastMutex &operator=(const FastMutex &) = delete;

  void lock() {
    uint32_t expected = 0;
    if (word_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
      return;
    lock_contended();
  }

  bool try_lock() {
    uint32_t expected = 0;
    return word_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed);
  }

  void unlock() {
    if (word_.exchange(0, std::memory_order_release) == 2) word_.notify_one();
  }

 private:
  void lock_contended() {
    // Marking the word 2 before sleeping makes the holder's unlock wake one waiter; a thread that got the
    // mutex this way keeps the mark, since others may still be asleep.
    while (word_.exchange(2, std::memory_order_acquire) != 0) word_.wait(2, std::memory_order_relaxed);
  }

  std::atomic<uint32_t> word_{0};
};

}  // namespace qrx
