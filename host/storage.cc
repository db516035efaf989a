// storage.cc - storage spaces (HPM1_): the process's storage handle, areas of fixed-size elements and
// heaps of pieces of any size.
//
// Every space has an id that is never reused; handles carry the id, and every call finds the space
// through the registry of live spaces, so a handle of a destroyed space is refused (or reported as
// naming no element) instead of being followed. An area keeps every element it ever made: a freed
// element goes on the area's free list and stays mapped, readable and known as free until the area is
// destroyed. Heap pieces are released as soon as they are freed. The registry mutex guards the id map;
// each space's own mutex guards its contents, so allocations in different spaces run in parallel.
// Test hooks count the live areas and heaps and make a chosen storage call fail or raise.
#include <atomic>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/qrxhost.h"

namespace qrx::host {
namespace {

enum class SpaceKind { kStorage, kArea, kHeap };

struct Space {
  Space(SpaceKind k, const char *n, uint32_t lo, uint32_t hi)
      : kind(k), name(n ? n : ""), min_size(lo), max_size(hi) {}
  ~Space() {
    for (auto &[p, live] : elements) std::free(p);
    for (auto &[p, size] : pieces) std::free(p);
  }

  const SpaceKind kind;
  const std::string name;   // for diagnosis only
  const uint32_t min_size;  // area: smallest request accepted
  const uint32_t max_size;  // area: element size (largest request accepted)

  std::mutex mutex;
  std::unordered_map<void *, bool> elements;    // guarded by mutex; area: every element, true = live
  std::vector<void *> free_list;                // guarded by mutex; area: elements given back
  std::unordered_map<void *, uint32_t> pieces;  // guarded by mutex; heap: live pieces and their sizes
  int32_t last_failure = HPM1_OK;               // guarded by mutex; reason of the last failed allocation
};

struct Spaces {
  std::mutex mutex;
  std::unordered_map<uint64_t, std::shared_ptr<Space>> by_id;  // guarded by mutex: live spaces
  uint64_t next_id = 1;                                        // guarded by mutex; 0 names no space
  uint64_t storage_id = 0;                                     // guarded by mutex; the process space
};

Spaces &spaces() {
  // Never destroyed (spaces may be dropped by exit handlers); made in place, so that the first use cannot
  // fail for want of memory.
  alignas(Spaces) static unsigned char storage[sizeof(Spaces)];
  static Spaces *s = new (storage) Spaces;
  return *s;
}

std::shared_ptr<Space> find(const HPM1_Handle *h) {
  if (h == nullptr || h->word == 0) return nullptr;
  Spaces &s = spaces();
  std::lock_guard<std::mutex> g(s.mutex);
  auto it = s.by_id.find(h->word);
  return it == s.by_id.end() ? nullptr : it->second;
}

// Registers a new space and returns its id, 0 when out of memory.
uint64_t add_space(std::shared_ptr<Space> space) {
  Spaces &s = spaces();
  std::lock_guard<std::mutex> g(s.mutex);
  uint64_t id = s.next_id++;
  s.by_id.emplace(id, std::move(space));
  return id;
}

int32_t create_space(const HPM1_Handle *storage, SpaceKind kind, const char *name, uint32_t lo, uint32_t hi,
                     HPM1_Handle *out) {
  if (out == nullptr) return HPM1_BAD_HANDLE;
  out->word = 0;
  auto parent = find(storage);
  if (!parent || parent->kind != SpaceKind::kStorage) return HPM1_BAD_HANDLE;
  try {
    out->word = add_space(std::make_shared<Space>(kind, name, lo, hi));
  } catch (const std::bad_alloc &) {
    return HPM1_NO_MEMORY;
  }
  return HPM1_OK;
}

struct FreeBlock {
  void operator()(void *p) const { std::free(p); }
};
// A block not yet recorded in its space: released if recording it throws.
using Block = std::unique_ptr<void, FreeBlock>;

// Sets *out only once the new block is recorded; may throw std::bad_alloc with nothing changed.
int32_t allocate(Space &sp, uint32_t size, void **out) {
  std::lock_guard<std::mutex> g(sp.mutex);
  int32_t rc = HPM1_OK;
  if (sp.kind == SpaceKind::kArea) {
    if (size == 0 || size < sp.min_size || size > sp.max_size) {
      rc = HPM1_BAD_SIZE;
    } else if (!sp.free_list.empty()) {
      void *p = sp.free_list.back();
      sp.free_list.pop_back();
      std::memset(p, 0, sp.max_size);
      sp.elements[p] = true;
      *out = p;
    } else if (Block p{std::calloc(1, sp.max_size)}) {
      // Room to give every element back later without allocating; grown geometrically, so making n
      // elements costs O(n) in all.
      if (sp.free_list.capacity() < sp.elements.size() + 1)
        sp.free_list.reserve(std::max<size_t>(2 * sp.free_list.capacity(), sp.elements.size() + 1));
      sp.elements.emplace(p.get(), true);
      *out = p.release();
    } else {
      rc = HPM1_NO_MEMORY;
    }
  } else {
    if (size == 0) {
      rc = HPM1_BAD_SIZE;
    } else if (Block p{std::calloc(1, size)}) {
      sp.pieces.emplace(p.get(), size);
      *out = p.release();
    } else {
      rc = HPM1_NO_MEMORY;
    }
  }
  if (rc != HPM1_OK) sp.last_failure = rc;
  return rc;
}

int32_t give_back(Space &sp, void *p) {
  std::lock_guard<std::mutex> g(sp.mutex);
  if (sp.kind == SpaceKind::kArea) {
    auto it = sp.elements.find(p);
    if (it == sp.elements.end() || !it->second) return HPM1_NOT_ELEMENT;
    it->second = false;
    sp.free_list.push_back(p);  // capacity reserved when the element was made
    return HPM1_OK;
  }
  auto it = sp.pieces.find(p);
  if (it == sp.pieces.end()) return HPM1_NOT_ELEMENT;
  std::free(p);
  sp.pieces.erase(it);
  return HPM1_OK;
}

// Test hook: countdown to the storage call that fails (0: none armed), and how it fails.
std::atomic<uint32_t> g_fault_countdown{0};
std::atomic<int32_t> g_fault_how{0};

// True when this call is the one the hook picked (it then raises instead when asked to).
bool injected_fault() {
  uint32_t n = g_fault_countdown.load(std::memory_order_relaxed);
  while (n != 0 && !g_fault_countdown.compare_exchange_weak(n, n - 1)) {
  }
  if (n != 1) return false;
  if (g_fault_how.load() == 1) XFR1__Raise(XFR1_Thread(), 99);
  return true;
}

}  // namespace
}  // namespace qrx::host

using namespace qrx::host;

extern "C" {

QRXHOST_API int32_t HPM1_GetStorageHandle(HPM1_Handle *out, int32_t *ctx) {
  int32_t rc = HPM1_OK;
  if (out == nullptr) {
    rc = HPM1_BAD_HANDLE;
  } else {
    Spaces &s = spaces();
    std::lock_guard<std::mutex> g(s.mutex);
    try {
      if (s.storage_id == 0) {
        if (qrxhost_alloc_fails()) throw std::bad_alloc();
        auto space = std::make_shared<Space>(SpaceKind::kStorage, "process storage", 0, 0);
        s.by_id.emplace(s.next_id, std::move(space));
        s.storage_id = s.next_id++;
      }
      out->word = s.storage_id;
    } catch (const std::bad_alloc &) {
      out->word = 0;
      rc = HPM1_NO_MEMORY;
    }
  }
  if (ctx != nullptr) *ctx = rc;
  return rc;
}

QRXHOST_API int32_t HPM1_CreateArea(const HPM1_Handle *storage, const char *name, int32_t flags,
                                    uint32_t min_size, uint32_t max_size, HPM1_Handle *area) {
  (void)flags;
  if (injected_fault() || qrxhost_alloc_fails()) {
    if (area != nullptr) area->word = 0;
    return HPM1_NO_MEMORY;
  }
  if (max_size == 0 || min_size > max_size) {
    if (area != nullptr) area->word = 0;
    return HPM1_BAD_SIZE;
  }
  return create_space(storage, SpaceKind::kArea, name, min_size, max_size, area);
}

QRXHOST_API int32_t HPM1_CreateHeap(const HPM1_Handle *storage, const char *name, int32_t flags,
                                    uint32_t size, HPM1_Handle *heap) {
  (void)flags;
  (void)size;  // a sizing hint only: pieces are allocated one by one
  if (injected_fault() || qrxhost_alloc_fails()) {
    if (heap != nullptr) heap->word = 0;
    return HPM1_NO_MEMORY;
  }
  return create_space(storage, SpaceKind::kHeap, name, 0, 0, heap);
}

QRXHOST_API int32_t HPM1_AllocateStorage(const HPM1_Handle *space, uint32_t size, void **out) {
  if (out == nullptr) return HPM1_BAD_HANDLE;
  *out = nullptr;
  if (injected_fault()) return HPM1_NO_MEMORY;
  auto sp = find(space);
  if (!sp || sp->kind == SpaceKind::kStorage) return HPM1_BAD_HANDLE;
  if (qrxhost_alloc_fails()) {
    std::lock_guard<std::mutex> g(sp->mutex);
    sp->last_failure = HPM1_NO_MEMORY;
    return HPM1_NO_MEMORY;
  }
  try {
    return allocate(*sp, size, out);
  } catch (const std::bad_alloc &) {
    // The bookkeeping could not grow: nothing was handed out.
    std::lock_guard<std::mutex> g(sp->mutex);
    sp->last_failure = HPM1_NO_MEMORY;
    return HPM1_NO_MEMORY;
  }
}

QRXHOST_API int32_t HPM1_FreeStorage(const HPM1_Handle *space, void *p) {
  if (injected_fault()) return HPM1_NO_MEMORY;
  auto sp = find(space);
  if (!sp || sp->kind == SpaceKind::kStorage) return HPM1_BAD_HANDLE;
  if (p == nullptr) return HPM1_NOT_ELEMENT;
  return give_back(*sp, p);
}

QRXHOST_API int32_t HPM1_DestroySpace(const HPM1_Handle *space) {
  std::shared_ptr<Space> doomed;
  {
    Spaces &s = spaces();
    std::lock_guard<std::mutex> g(s.mutex);
    if (space == nullptr) return HPM1_BAD_HANDLE;
    auto it = s.by_id.find(space->word);
    if (it == s.by_id.end() || it->second->kind == SpaceKind::kStorage) return HPM1_BAD_HANDLE;
    doomed = std::move(it->second);
    s.by_id.erase(it);
  }
  // The memory goes with the last reference; a call still working in the space keeps it until it ends.
  return HPM1_OK;
}

QRXHOST_API int32_t HPM1_DiagnoseSpace(const HPM1_Handle *space, int32_t *reason) {
  int32_t rc = HPM1_BAD_HANDLE;
  if (auto sp = find(space)) {
    std::lock_guard<std::mutex> g(sp->mutex);
    rc = sp->last_failure;
  }
  if (reason != nullptr) *reason = rc;
  return rc;
}

QRXHOST_API int32_t HPM1_ElementState(const HPM1_Handle *area, const void *p) {
  auto sp = find(area);
  if (!sp || p == nullptr) return HPM1_ELEMENT_NONE;
  std::lock_guard<std::mutex> g(sp->mutex);
  void *key = const_cast<void *>(p);
  if (sp->kind == SpaceKind::kArea) {
    auto it = sp->elements.find(key);
    if (it == sp->elements.end()) return HPM1_ELEMENT_NONE;
    return it->second ? HPM1_ELEMENT_LIVE : HPM1_ELEMENT_FREE;
  }
  return sp->pieces.count(key) ? HPM1_ELEMENT_LIVE : HPM1_ELEMENT_NONE;
}

QRXHOST_API uint32_t qrxhost_storage_space_count(void) {
  Spaces &s = spaces();
  std::lock_guard<std::mutex> g(s.mutex);
  return static_cast<uint32_t>(s.by_id.size() - (s.storage_id != 0 ? 1 : 0));
}

QRXHOST_API void qrxhost_storage_fault(uint32_t nth, int32_t how) {
  g_fault_how.store(how);
  g_fault_countdown.store(nth);
}

}  // extern "C"
