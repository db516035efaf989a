// handles.cc - the table of live blocks behind every handle (see handles.h).
//
// One mutex guards the map; it is held only for the few instructions of an issue, pin, unpin or retire,
// never while a block's release runs (which takes the storage service's own locks).
#include "keyed/handles.h"

#include <mutex>
#include <new>
#include <unordered_map>

namespace qrx::keyed {
namespace {

struct Entry {
  Kind kind;
  bool retired = false;
  void *block = nullptr;
  uint32_t owner = 0;  // slot owning the memory; the entry's own slot when it owns it
  uint32_t pins = 0;   // owner entries only
  ReleaseFn release = nullptr;
};

struct Table {
  std::mutex mutex;
  std::unordered_map<uint32_t, Entry> entries;  // guarded by mutex
  uint32_t next = 1;                            // guarded by mutex; slots are never reused
};

Table &table() {
  // Never destroyed (handles may be used by exit handlers); made in place, so that the first use cannot fail
  // for want of memory.
  alignas(Table) static unsigned char storage[sizeof(Table)];
  static Table *t = new (storage) Table;
  return *t;
}

// Erases a retired, unpinned owner and hands back its release step (caller runs it unlocked).
std::pair<ReleaseFn, void *> collect(Table &t, std::unordered_map<uint32_t, Entry>::iterator it) {
  if (!it->second.retired || it->second.pins != 0) return {nullptr, nullptr};
  auto out = std::make_pair(it->second.release, it->second.block);
  t.entries.erase(it);
  return out;
}

}  // namespace

uint32_t slot_issue(Kind kind, void *block, uint32_t owner_slot, ReleaseFn release) {
  if (block == nullptr) return 0;
  Table &t = table();
  std::lock_guard<std::mutex> g(t.mutex);
  if (t.next == 0) return 0;  // all 2^32 - 1 slots issued: refuse rather than reuse
  if (owner_slot != 0) {
    auto it = t.entries.find(owner_slot);
    if (it == t.entries.end() || it->second.retired || it->second.owner != owner_slot) return 0;
  }
  const uint32_t slot = t.next;
  try {
    t.entries.emplace(slot, Entry{kind, false, block, owner_slot != 0 ? owner_slot : slot, 0,
                                  owner_slot != 0 ? nullptr : release});
  } catch (const std::bad_alloc &) {
    return 0;
  }
  ++t.next;
  return slot;
}

Pin slot_pin(uint32_t slot, Kind kind) {
  Pin pin;
  if (slot == 0) return pin;
  Table &t = table();
  std::lock_guard<std::mutex> g(t.mutex);
  auto it = t.entries.find(slot);
  if (it == t.entries.end() || it->second.retired || it->second.kind != kind) return pin;
  auto owner = it->second.owner == slot ? it : t.entries.find(it->second.owner);
  if (owner == t.entries.end() || owner->second.retired) return pin;
  ++owner->second.pins;
  pin.block_ = it->second.block;
  pin.owner_ = owner->first;
  return pin;
}

void Pin::reset() {
  if (block_ == nullptr) return;
  std::pair<ReleaseFn, void *> release{nullptr, nullptr};
  {
    Table &t = table();
    std::lock_guard<std::mutex> g(t.mutex);
    auto it = t.entries.find(owner_);
    if (it != t.entries.end()) {
      --it->second.pins;
      release = collect(t, it);
    }
  }
  block_ = nullptr;
  owner_ = 0;
  if (release.first != nullptr) release.first(release.second);
}

uint8_t slot_kind(uint32_t slot) {
  Table &t = table();
  std::lock_guard<std::mutex> g(t.mutex);
  auto it = t.entries.find(slot);
  if (it == t.entries.end() || it->second.retired) return 0;
  return static_cast<uint8_t>(it->second.kind);
}

void slot_retire(uint32_t slot) {
  if (slot == 0) return;
  std::pair<ReleaseFn, void *> release{nullptr, nullptr};
  {
    Table &t = table();
    std::lock_guard<std::mutex> g(t.mutex);
    auto it = t.entries.find(slot);
    if (it == t.entries.end() || it->second.retired) return;
    if (it->second.owner != slot) {
      t.entries.erase(it);  // an embedded block: its memory is the owner's
      return;
    }
    it->second.retired = true;
    release = collect(t, it);
  }
  if (release.first != nullptr) release.first(release.second);
}

uint32_t slot_live_count() {
  Table &t = table();
  std::lock_guard<std::mutex> g(t.mutex);
  uint32_t n = 0;
  for (const auto &[slot, e] : t.entries)
    if (!e.retired) ++n;
  return n;
}

}  // namespace qrx::keyed
