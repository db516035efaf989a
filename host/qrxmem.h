// qrxmem.h - the library's C-style allocations (not installed).
//
// Every malloc, calloc and realloc of the library goes through these three, which ask the host family's
// allocation hook first (qrxhost_alloc_fails), so that a test can make the nth allocation fail and watch
// the failure path. Results and ownership are those of the C calls they stand for: null when out of
// memory (realloc's block then stays as it was), and the caller frees with std::free. No locks.
#pragma once

#include <cstddef>
#include <cstdlib>

#include "host/qrxhost.h"

namespace qrx::mem {

inline void *alloc(size_t size) noexcept {
  return qrxhost_alloc_fails() ? nullptr : std::malloc(size);
}

inline void *alloc_zeroed(size_t count, size_t size) noexcept {
  return qrxhost_alloc_fails() ? nullptr : std::calloc(count, size);
}

inline void *resize(void *p, size_t size) noexcept {
  return qrxhost_alloc_fails() ? nullptr : std::realloc(p, size);
}

}  // namespace qrx::mem
