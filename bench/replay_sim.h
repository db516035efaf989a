// replay_sim.h - simulated buffer pools that replay a recorded block-access trace and count the reads.
//
// A trace is the sequence of blocks the B-tree layer got from its pool, each with the kind of block it
// was at that moment. Blocks carry dense ids (0 .. nblocks-1) so that every rule keeps its state in flat
// arrays. A pool of C buffers starts empty; an access to a block that is not cached is one read, except
// for an access marked `created`: the block was appended to the file just before (the pool hands out a
// fresh zero-filled buffer for it), so it takes a buffer without a read. Pins are not modelled: the real
// pool pins at most a handful of blocks per operation, which only matters for pools of a few buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace replay {

enum class Kind : uint8_t { kControl, kInterior, kLeaf, kUnused };

struct Access {
  uint32_t block;   // dense id of (file, block number)
  uint16_t file;    // index of the file in the recording
  Kind kind;        // what the block held when it was handed out
  uint8_t created;  // 1 when the block was appended to the file by this access's operation
};

struct Trace {
  std::vector<Access> accesses;
  uint32_t nblocks = 0;  // every Access::block is below this
};

// Control and interior blocks are the ones every descent needs.
inline bool upper(Kind k) {
  return k == Kind::kControl || k == Kind::kInterior;
}

// Doubly linked lists of block ids sharing one pair of link arrays: a block is in at most one list.
// List l has the sentinel n + l; front is the most recent end.
class Lists {
 public:
  Lists(uint32_t n, uint32_t lists) : n_(n), next_(n + lists), prev_(n + lists), in_(n, -1), size_(lists) {
    for (uint32_t l = 0; l < lists; ++l) next_[n + l] = prev_[n + l] = n + l;
  }
  int in(uint32_t id) const { return in_[id]; }  // the list holding id, or -1
  size_t size(int l) const { return size_[l]; }
  uint32_t back(int l) const { return prev_[n_ + l]; }  // only when size(l) > 0
  void push_front(int l, uint32_t id) {
    const uint32_t s = n_ + l, f = next_[s];
    next_[id] = f, prev_[id] = s, prev_[f] = id, next_[s] = id;
    in_[id] = l, ++size_[l];
  }
  void remove(uint32_t id) {
    next_[prev_[id]] = next_[id], prev_[next_[id]] = prev_[id];
    --size_[in_[id]], in_[id] = -1;
  }

 private:
  uint32_t n_;
  std::vector<uint32_t> next_, prev_;
  std::vector<int> in_;
  std::vector<size_t> size_;
};

// One replacement rule over a pool of `capacity` buffers. access() returns true when the block was
// cached; otherwise the block is now cached, another evicted when the pool was full.
class Rule {
 public:
  virtual ~Rule() = default;
  virtual bool access(uint32_t id, Kind kind) = 0;
  // Buffers the clock hand passed over or took, for the rules that sweep (the work of their misses).
  virtual uint64_t hand_moves() const { return 0; }
};

// Exact LRU.
class Lru : public Rule {
 public:
  Lru(uint32_t n, uint32_t capacity) : lists_(n, 1), cap_(capacity) {}
  bool access(uint32_t id, Kind) override {
    const bool hit = lists_.in(id) >= 0;
    if (hit)
      lists_.remove(id);
    else if (lists_.size(0) == cap_)
      lists_.remove(lists_.back(0));
    lists_.push_front(0, id);
    return hit;
  }

 private:
  Lists lists_;
  size_t cap_;
};

// LRU among leaf (and unused) blocks first: a control or interior block is evicted only when no other
// block is cached; among those, the least recently used. A block whose kind changed moves to its new
// list on its next access.
class InteriorFirst : public Rule {
 public:
  InteriorFirst(uint32_t n, uint32_t capacity) : lists_(n, 2), cap_(capacity) {}
  bool access(uint32_t id, Kind kind) override {
    const bool hit = lists_.in(id) >= 0;
    if (hit) {
      lists_.remove(id);
    } else if (lists_.size(0) + lists_.size(1) == cap_) {
      lists_.remove(lists_.back(lists_.size(0) > 0 ? 0 : 1));
    }
    lists_.push_front(upper(kind) ? 1 : 0, id);
    return hit;
  }

 private:
  Lists lists_;  // 0 leaves and unused blocks, 1 control and interior blocks
  size_t cap_;
};

// Buffers in a circle swept by a hand; frame_of[id] is the buffer holding id, or -1.
struct Frames {
  Frames(uint32_t n, uint32_t capacity) : frame_of(n, -1), block(capacity), count(capacity, 0) {}
  std::vector<int32_t> frame_of;
  std::vector<uint32_t> block;
  std::vector<uint32_t> count;  // reference bit or counter
  uint32_t used = 0, hand = 0;
  uint64_t moves = 0;
};

// GCLOCK weighted by level: every use (the load included) sets the buffer's counter to the block's
// weight (leaf and unused `leaf_w`, control and interior `upper_w`); the hand decrements non-zero
// counters and takes the first buffer whose counter is 0.
class GClock : public Rule {
 public:
  GClock(uint32_t n, uint32_t capacity, uint32_t leaf_w, uint32_t upper_w)
      : f_(n, capacity), leaf_w_(leaf_w), upper_w_(upper_w) {}
  bool access(uint32_t id, Kind kind) override {
    int32_t b = f_.frame_of[id];
    const bool hit = b >= 0;
    if (!hit) {
      const uint32_t cap = static_cast<uint32_t>(f_.block.size());
      if (f_.used < cap) {
        b = static_cast<int32_t>(f_.used++);
      } else {
        for (; f_.count[f_.hand] != 0; ++f_.moves) --f_.count[f_.hand], f_.hand = (f_.hand + 1) % cap;
        b = static_cast<int32_t>(f_.hand);
        f_.frame_of[f_.block[b]] = -1;
        f_.hand = (f_.hand + 1) % cap;
        ++f_.moves;
      }
      f_.block[b] = id, f_.frame_of[id] = b;
    }
    f_.count[b] = upper(kind) ? upper_w_ : leaf_w_;
    return hit;
  }
  uint64_t hand_moves() const override { return f_.moves; }

 private:
  Frames f_;
  uint32_t leaf_w_, upper_w_;
};

// CLOCK: a reference bit set on every use (the load included); the hand clears set bits and takes the
// first buffer whose bit is clear. That is GCLOCK with every weight 1.
class Clock : public GClock {
 public:
  Clock(uint32_t n, uint32_t capacity) : GClock(n, capacity, 1, 1) {}
};

// 2Q: a block seen once waits in the FIFO A1in (a quarter of the buffers); evicted from there, its id is
// remembered in the ghost FIFO A1out (half as many ids as buffers). Only a miss on a remembered id
// promotes the block into Am, an LRU list; a hit in A1in changes nothing. A buffer is taken from the end
// of A1in while it holds more than its quarter, else from the end of Am.
class TwoQ : public Rule {
 public:
  TwoQ(uint32_t n, uint32_t capacity)
      : lists_(n, 3),
        cap_(capacity),
        kin_(capacity / 4 > 0 ? capacity / 4 : 1),
        kout_(capacity / 2 > 0 ? capacity / 2 : 1) {}
  bool access(uint32_t id, Kind) override {
    const int l = lists_.in(id);
    if (l == kAm) {
      lists_.remove(id);
      lists_.push_front(kAm, id);
      return true;
    }
    if (l == kA1in) return true;
    const bool remembered = l == kA1out;
    if (lists_.size(kA1in) + lists_.size(kAm) == cap_) {
      if (lists_.size(kA1in) > kin_ || lists_.size(kAm) == 0) {
        const uint32_t victim = lists_.back(kA1in);
        lists_.remove(victim);
        lists_.push_front(kA1out, victim);
        if (lists_.size(kA1out) > kout_) lists_.remove(lists_.back(kA1out));
      } else {
        lists_.remove(lists_.back(kAm));
      }
    }
    if (lists_.in(id) == kA1out) lists_.remove(id);  // unless the trim above just dropped it
    lists_.push_front(remembered ? kAm : kA1in, id);
    return false;
  }

 private:
  static constexpr int kA1in = 0, kAm = 1, kA1out = 2;
  Lists lists_;
  size_t cap_, kin_, kout_;
};

// The reads of a trace through a cold pool under one rule.
inline uint64_t replay_reads(const Trace &t, Rule &rule) {
  uint64_t reads = 0;
  for (const Access &a : t.accesses)
    if (!rule.access(a.block, a.kind) && a.created == 0) ++reads;
  return reads;
}

}  // namespace replay
