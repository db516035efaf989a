// registry.cc - named anchors (RGY1_): process-wide records found by a counted name.
//
// One map from the name's bytes to the record, guarded by one mutex; lookups, creations and forgets are
// atomic with respect to each other, so when two threads create the same anchor at once exactly one of
// them is told it made the record. Records are zero-filled OSV1_GetMem blocks. A forgotten record is not
// freed here (its users may still hold it); it stays reachable from the retired list, so that leak
// checkers do not report records whose owners simply never give them back.
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "host/qrxhost.h"

namespace qrx::host {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, void *, std::less<>> anchors;  // guarded by mutex
  std::vector<void *> retired;                         // guarded by mutex: forgotten records
};

Registry &registry() {
  // Never destroyed (anchors are used by exit handlers); made in place, so that the first use cannot fail for
  // want of memory.
  alignas(Registry) static unsigned char storage[sizeof(Registry)];
  static Registry *r = new (storage) Registry;
  return *r;
}

// The name's characters, or false when the descriptor is empty or malformed.
bool name_of(const RGY1_Name *name, std::string_view *out) {
  if (name == nullptr || name->chars == nullptr || name->length == 0) return false;
  if (name->length > name->capacity) return false;
  *out = std::string_view(name->chars, name->length);
  return true;
}

}  // namespace
}  // namespace qrx::host

using namespace qrx::host;

extern "C" {

QRXHOST_API int32_t RGY1_LocateAnchorAddress(const RGY1_Name *name, void **out, int32_t *ctx) {
  std::string_view key;
  int32_t rc = RGY1_NOT_FOUND;
  if (!name_of(name, &key) || out == nullptr) {
    rc = RGY1_BAD_NAME;
  } else {
    Registry &r = registry();
    std::lock_guard<std::mutex> g(r.mutex);
    auto it = r.anchors.find(key);
    if (it != r.anchors.end()) {
      *out = it->second;
      rc = RGY1_OK;
    }
  }
  if (ctx != nullptr) *ctx = rc;
  return rc;
}

QRXHOST_API int32_t RGY1_LocateCreateAnchor(const RGY1_Name *name, uint32_t size, void **out,
                                            void *storage_ctx) {
  (void)storage_ctx;  // records come from OSV1_GetMem whatever space the caller names
  std::string_view key;
  if (!name_of(name, &key) || out == nullptr) return RGY1_BAD_NAME;
  Registry &r = registry();
  std::lock_guard<std::mutex> g(r.mutex);
  auto it = r.anchors.find(key);
  if (it != r.anchors.end()) {
    *out = it->second;
    return RGY1_OK;
  }
  void *record = nullptr;
  if (OSV1_GetMem(size, &record, nullptr) != 0) return RGY1_NO_MEMORY;
  try {
    r.anchors.emplace(std::string(key), record);
  } catch (...) {
    OSV1_FreeMem(record, nullptr);
    return RGY1_NO_MEMORY;
  }
  *out = record;
  return RGY1_CREATED;
}

QRXHOST_API int32_t RGY1_ForgetAnchorAddress(const RGY1_Name *name, int32_t *ctx) {
  std::string_view key;
  int32_t rc = RGY1_NOT_FOUND;
  if (!name_of(name, &key)) {
    rc = RGY1_BAD_NAME;
  } else {
    Registry &r = registry();
    std::lock_guard<std::mutex> g(r.mutex);
    auto it = r.anchors.find(key);
    if (it != r.anchors.end()) {
      try {
        r.retired.push_back(it->second);
      } catch (...) {
        // Only the leak checker's view suffers; the name is forgotten all the same.
      }
      r.anchors.erase(it);
      rc = RGY1_OK;
    }
  }
  if (ctx != nullptr) *ctx = rc;
  return rc;
}

}  // extern "C"
