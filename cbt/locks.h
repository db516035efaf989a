// locks.h - the two locks every B-tree operation takes: the anchor's, shared by all operations and
// taken exclusively only by what changes the set of open files and handles, and a control record's,
// held for the whole of an operation on its file.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace qrx::cbt {

// A mutex whose waiter spins a little before it sleeps. Operations on one file are short (a microsecond
// or two) and follow each other closely; a waiter that went to sleep at once would make every release
// a wake-up system call and every wait a trip through the scheduler, slower than the operations it
// waits for.
class SpinningMutex {
 public:
  void lock() {
    for (int i = 0; i < kSpins; ++i) {
      if (m_.try_lock()) return;
      relax();
    }
    m_.lock();
  }
  bool try_lock() { return m_.try_lock(); }
  void unlock() { m_.unlock(); }

 private:
  static constexpr int kSpins = 400;
  static void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
  }
  std::mutex m_;
};

// A readers-writer lock whose readers touch no cache line other threads' readers write: each thread
// counts itself on a stripe of its own (threads share stripes only beyond kStripes), and a writer
// raises its flag, then waits for every stripe to empty. Readers are the operations checking their
// handle; writers (open, create, close, init, exit) are rare.
class AnchorLock {
 public:
  void lock_shared() {
    std::atomic<int64_t> &s = stripe();
    for (;;) {
      s.fetch_add(1, std::memory_order_seq_cst);
      if (!writer_.load(std::memory_order_seq_cst)) return;
      s.fetch_sub(1, std::memory_order_seq_cst);
      while (writer_.load(std::memory_order_acquire)) std::this_thread::yield();
    }
  }
  void unlock_shared() { stripe().fetch_sub(1, std::memory_order_release); }
  void lock() {
    writers_.lock();
    writer_.store(true, std::memory_order_seq_cst);
    for (const Stripe &s : stripes_)
      while (s.readers.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
  }
  void unlock() {
    writer_.store(false, std::memory_order_release);
    writers_.unlock();
  }

 private:
  static constexpr unsigned kStripes = 16;
  struct alignas(64) Stripe {
    std::atomic<int64_t> readers{0};
  };
  std::atomic<int64_t> &stripe() {
    static std::atomic<unsigned> next{0};
    thread_local const unsigned mine = next.fetch_add(1, std::memory_order_relaxed) % kStripes;
    return stripes_[mine].readers;
  }
  Stripe stripes_[kStripes];
  alignas(64) std::atomic<bool> writer_{false};
  std::mutex writers_;
};

}  // namespace qrx::cbt
