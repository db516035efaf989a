// api_change.cc - exported C entry points of the operations that change a tree's entries.
//
// Each qrx entry point sets its function code, takes the public-operation lock (the file's control-record
// mutex, released on every path by TreeLock), calls the C++ body and is exported a second time under its
// public name (cbinsert is the same function as qrxcbins). No exception leaves an entry point: one that
// escapes a body counts as running out of memory (error 5, the context code left as the step set it) and
// gives -1. An invalid handle gives -1 with the lock's codes and nothing else happens.
#include <cstdint>

#include "cbt/cbt.h"
#include "cbt/insert.h"
#include "host/qrxtrace.h"
#include "qrxcb.h"

QRX_TRACE_UNIT();

namespace {

using namespace qrx::cbt;

template <class Body>
int32_t locked_change(const char *name, Tree *tree, Body body) noexcept {
  try {
    TreeLock lock(tree);
    if (!lock.ok()) return -1;
    return body();
  } catch (...) {
    QRX_ERROR("%s ended by an exception", name);
    thread_codes().error = static_cast<uint32_t>(Err::kNoMemory);
    return -1;
  }
}

}  // namespace

// cbinsert: function code 14. A null key is taken as an empty one when len is 0 and refused (-1, no code
// set, like an over-long key) otherwise.
extern "C" QRX_API int32_t qrxcbins(cbt_tree *tree, const void *key, uint32_t len, uint32_t item,
                                    int32_t dupok) {
  set_function(Fn::kInsert);
  if (key == nullptr && len != 0) return -1;
  return locked_change("qrxcbins", tree,
                       [&] { return B_insert(tree, static_cast<const uint8_t *>(key), len, item, dupok); });
}

extern "C" QRX_API int32_t cbinsert(cbt_tree *, const void *, uint32_t, uint32_t, int32_t)
    __attribute__((alias("qrxcbins")));
