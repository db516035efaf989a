// api_change.cc - exported C entry points of the operations that change a tree's entries: cbinsert
// (qrxcbins), cbdelete (qrxcbdel) and cbmodify (qrxcbmod).
//
// Each qrx entry point sets its function code, takes the public-operation lock (the file's control-record
// mutex, released on every path by TreeLock), checks its arguments and the file's access, calls the C++
// body and is exported a second time under its public name (cbinsert is the same function as qrxcbins).
// No exception leaves an entry point: one that escapes a body counts as running out of memory (error 5,
// the context code left as the step set it) and gives -1. An invalid handle gives -1 with the lock's
// codes and nothing else happens.
#include <atomic>
#include <cstdint>

#include "cbt/cbt.h"
#include "cbt/delete.h"
#include "cbt/insert.h"
#include "cbt/modify.h"
#include "host/qrxtrace.h"
#include "qrxcb.h"

QRX_TRACE_UNIT();

namespace {

using namespace qrx::cbt;

// Runs one change under the lock. A null key with a non-zero length is refused (error 21, context 10),
// and so is any change of a file open read-only (error 2, context 2), before anything is read. A change
// that fails after it has altered blocks leaves the file marked for verification (B_mark_unclean).
// An exception escaping a body or the lock: reported as running out of memory.
std::atomic<uint32_t> g_change_fault_fns{0};
std::atomic<uint64_t> g_change_count{0};
std::atomic<uint64_t> g_change_nth{0};

bool change_fault_due(Fn fn) {
  if ((g_change_fault_fns.load(std::memory_order_relaxed) & fn_bit(fn)) == 0) return false;
  return g_change_count.fetch_add(1) + 1 == g_change_nth.load();
}

int32_t exception_result(const char *name) {
  QRX_ERROR("%s ended by an exception", name);
  thread_codes().error = static_cast<uint32_t>(Err::kNoMemory);
  return -1;
}

template <class Body>
int32_t locked_change(const char *name, Fn fn, Tree *tree, bool null_key, Body body) noexcept {
  QRX_ENTRY();
  int32_t result = -1;
  try {
    set_function(fn);
    TreeLock lock(tree);
    if (!lock.ok()) {
      // the lock's codes stand
    } else if (null_key) {
      set_error(Err::kNotFound, Ctx::kValidateArgs);
    } else if (change_fault_due(fn)) {
      set_error(Err::kGetBlock, Ctx::kValidateArgs);
    } else if (B_writable(tree)) {
      const uint64_t before = tree->ctl->changes;
      try {
        result = body();
      } catch (...) {
        result = exception_result(name);
      }
      if (result < 0 && tree->ctl->changes != before) B_mark_unclean(tree);
    }
  } catch (...) {
    result = exception_result(name);
  }
  QRX_EXIT(result);
  return result;
}

}  // namespace

void qrx::cbt::change_fault_arm(uint32_t fn_bits, uint64_t nth) {
  g_change_fault_fns.store(0);
  g_change_count.store(0);
  g_change_nth.store(nth);
  g_change_fault_fns.store(fn_bits);
}

void qrx::cbt::change_fault_disarm() {
  g_change_fault_fns.store(0);
}

uint64_t qrx::cbt::change_fault_count() {
  return g_change_count.load();
}

// cbinsert: function code 14.
extern "C" QRX_API int32_t qrxcbins(cbt_tree *tree, const void *key, uint32_t len, uint32_t item,
                                    int32_t dupok) {
  return locked_change("qrxcbins", Fn::kInsert, tree, key == nullptr && len != 0,
                       [&] { return B_insert(tree, static_cast<const uint8_t *>(key), len, item, dupok); });
}

// cbdelete: function code 15.
extern "C" QRX_API int32_t qrxcbdel(cbt_tree *tree, const void *key, uint32_t len, uint32_t item) {
  return locked_change("qrxcbdel", Fn::kDelete, tree, key == nullptr && len != 0, [&] {
    return B_delete(tree, static_cast<const uint8_t *>(key), static_cast<int32_t>(len), item);
  });
}

// cbmodify: function code 16.
extern "C" QRX_API int32_t qrxcbmod(cbt_tree *tree, const void *okey, uint32_t olen, uint32_t oitem,
                                    const void *nkey, uint32_t nlen, uint32_t nitem, int32_t ndupok) {
  const bool null_key = (okey == nullptr && olen != 0) || (nkey == nullptr && nlen != 0);
  return locked_change("qrxcbmod", Fn::kModify, tree, null_key, [&] {
    return B_modify(tree, static_cast<const uint8_t *>(okey), olen, oitem, static_cast<const uint8_t *>(nkey),
                    nlen, nitem, ndupok);
  });
}

extern "C" QRX_API int32_t cbinsert(cbt_tree *, const void *, uint32_t, uint32_t, int32_t)
    __attribute__((alias("qrxcbins")));
extern "C" QRX_API int32_t cbdelete(cbt_tree *, const void *, uint32_t, uint32_t)
    __attribute__((alias("qrxcbdel")));
extern "C" QRX_API int32_t cbmodify(cbt_tree *, const void *, uint32_t, uint32_t, const void *, uint32_t,
                                    uint32_t, int32_t) __attribute__((alias("qrxcbmod")));
