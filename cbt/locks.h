// locks.h - the two locks every B-tree operation takes: the anchor's, shared by all operations and
// taken exclusively only by what changes the set of open files and handles, and a control record's,
// held for the whole of an operation on its file.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

namespace qrx::cbt {

// A mutex for a file's operations, which are short (a microsecond or two) and follow each other closely
// in a thread that works on the file. A waiter that slept on the mutex at once would make every release
// by the working thread a wake-up system call; one that polled would take the mutex over at nearly every
// release and move the file's blocks from one processor's cache to the other's for each operation. So a
// waiter naps between attempts, doubling the nap up to a limit, and only after that sleeps on the mutex
// itself: the working thread goes on at full speed meanwhile, and the file changes hands every
// millisecond or so instead of every operation.
class NappingMutex {
 public:
  void lock() {
    if (m_.try_lock()) return;
    auto nap = std::chrono::microseconds(kFirstNapUs);
    for (int i = 0; i < kNaps; ++i) {
      std::this_thread::sleep_for(nap);
      if (m_.try_lock()) return;
      if (nap < std::chrono::microseconds(kLongestNapUs)) nap *= 2;
    }
    m_.lock();
  }
  bool try_lock() { return m_.try_lock(); }
  void unlock() { m_.unlock(); }

 private:
  static constexpr int kNaps = 64;
  static constexpr int kFirstNapUs = 100;
  static constexpr int kLongestNapUs = 1000;
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
