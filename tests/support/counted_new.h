// counted_new.h - the global operator new and delete of a test program, counted with the host family's
// allocations (qrxhost_alloc_fault), so that the nth allocation of the process, C-style or C++, can fail:
// a C++ one then throws std::bad_alloc (the nothrow forms return null), as when memory runs out.
//
// Include it in exactly one source file of a program: it defines the replaceable allocation functions.
// While a fault is armed, every allocation of the process counts, the test's own included, so the test
// allocates nothing of its own between arming and disarming.
#pragma once

#include <cstdlib>
#include <new>

#include "host/qrxhost.h"

namespace counted_new {

inline void *take(std::size_t n) noexcept {
  return qrxhost_alloc_fails() ? nullptr : std::malloc(n == 0 ? 1 : n);
}

inline void *take_or_throw(std::size_t n) {
  if (void *p = take(n)) return p;
  throw std::bad_alloc();
}

}  // namespace counted_new

// The replacements pair malloc with free by design; the compiler, seeing operator new's body inlined
// into a delete, would take free for a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void *operator new(std::size_t n) {
  return counted_new::take_or_throw(n);
}
void *operator new[](std::size_t n) {
  return counted_new::take_or_throw(n);
}
void *operator new(std::size_t n, const std::nothrow_t &) noexcept {
  return counted_new::take(n);
}
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept {
  return counted_new::take(n);
}
void operator delete(void *p) noexcept {
  std::free(p);
}
void operator delete[](void *p) noexcept {
  std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept {
  std::free(p);
}
void operator delete[](void *p, const std::nothrow_t &) noexcept {
  std::free(p);
}

#pragma GCC diagnostic pop
