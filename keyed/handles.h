// handles.h - the process-wide table of live blocks that keyed-file handles (and the adapter's handles)
// name by slot number.
//
// A handle never carries an address: it carries a slot, and every operation finds its block through this
// table, which knows each block's kind. Slots are issued from one counter and never reused in the process
// (0 is never issued), so a handle kept after a close, a forged handle or a handle of another kind simply
// finds nothing. The table is not part of any anchor and outlives Terminate.
//
// Blocks are kept alive by pins: an operation pins its block for as long as it works on it, and a close
// retires the block's slot, which stops new pins at once; the block's release function (which gives its
// memory back) runs when the last pin goes, so no operation ever sees its block freed under it. A block
// embedded in another (an update block inside its file or cursor) is registered with its owner's slot:
// pinning it pins the owner's memory.
#pragma once

#include <cstdint>
#include <utility>

namespace qrx::keyed {

enum class Kind : uint8_t { kFile = 1, kCursor = 2, kUpdate = 3, kRequest = 4, kCatalog = 5, kUserSpace = 6 };

using ReleaseFn = void (*)(void *block);

// Registers a block and returns its new slot; 0 when the table cannot grow (nothing registered).
// owner_slot 0: the block owns its memory and `release` (may be null) runs once it is retired and
// unpinned. Otherwise the block lives inside the owner's memory; `release` is not used.
uint32_t slot_issue(Kind kind, void *block, uint32_t owner_slot, ReleaseFn release);

// A pin on a live block; empty when the slot names no live block of that kind. Move-only.
class Pin {
 public:
  Pin() = default;
  Pin(Pin &&o) noexcept : block_(std::exchange(o.block_, nullptr)), owner_(std::exchange(o.owner_, 0)) {}
  Pin &operator=(Pin &&o) noexcept {
    if (this != &o) {
      reset();
      block_ = std::exchange(o.block_, nullptr);
      owner_ = std::exchange(o.owner_, 0);
    }
    return *this;
  }
  Pin(const Pin &) = delete;
  Pin &operator=(const Pin &) = delete;
  ~Pin() { reset(); }

  explicit operator bool() const { return block_ != nullptr; }
  template <class T>
  T *get() const {
    return static_cast<T *>(block_);
  }
  void reset();

 private:
  friend Pin slot_pin(uint32_t slot, Kind kind);
  void *block_ = nullptr;
  uint32_t owner_ = 0;  // slot whose memory this pin holds
};

Pin slot_pin(uint32_t slot, Kind kind);

// The kind of the live block a slot names, or 0 when none.
uint8_t slot_kind(uint32_t slot);

// Stops new pins on the slot. For a block owning its memory, its release runs now when nobody holds a
// pin, else when the last pin goes. Retiring a slot twice, or slot 0, does nothing.
void slot_retire(uint32_t slot);

// Live slots in the table (tests: nothing left behind).
uint32_t slot_live_count();

}  // namespace qrx::keyed
