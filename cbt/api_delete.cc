// api_delete.cc - exported entry points cbdelete (qrxcbdel) and cbmodify (qrxcbmod).
//
// Each stores its function number, takes the public-operation lock (an invalid handle gives -1 and
// nothing else happens), runs the internals and gives the lock back on every path. No exception leaves:
// one thrown inside counts as running out of memory (error 5, the context left as the step set it) and
// gives -1.
#include <cstdint>

#include "cbt/cbt.h"
#include "cbt/delete.h"
#include "cbt/modify.h"
#include "host/qrxtrace.h"
#include "qrxcb.h"

QRX_TRACE_UNIT();

using namespace qrx::cbt;

extern "C" QRX_API int32_t qrxcbdel(cbt_tree *tree, const void *key, uint32_t len, uint32_t item) {
  QRX_ENTRY();
  int32_t result = -1;
  try {
    set_function(Fn::kDelete);
    TreeLock lock(tree);
    if (lock.ok())
      result = B_delete(tree, static_cast<const uint8_t *>(key), static_cast<int32_t>(len), item);
  } catch (...) {
    QRX_ERROR("%s ended by an exception", "qrxcbdel");
    thread_codes().error = static_cast<uint32_t>(Err::kNoMemory);
    result = -1;
  }
  QRX_EXIT(result);
  return result;
}

extern "C" QRX_API int32_t qrxcbmod(cbt_tree *tree, const void *okey, uint32_t olen, uint32_t oitem,
                                    const void *nkey, uint32_t nlen, uint32_t nitem, int32_t ndupok) {
  QRX_ENTRY();
  int32_t result = -1;
  try {
    set_function(Fn::kModify);
    TreeLock lock(tree);
    if (lock.ok()) {
      result = B_modify(tree, static_cast<const uint8_t *>(okey), olen, oitem,
                        static_cast<const uint8_t *>(nkey), nlen, nitem, ndupok);
    }
  } catch (...) {
    QRX_ERROR("%s ended by an exception", "qrxcbmod");
    thread_codes().error = static_cast<uint32_t>(Err::kNoMemory);
    result = -1;
  }
  QRX_EXIT(result);
  return result;
}

extern "C" QRX_API int32_t cbdelete(cbt_tree *tree, const void *key, uint32_t len, uint32_t item)
    __attribute__((alias("qrxcbdel")));
extern "C" QRX_API int32_t cbmodify(cbt_tree *tree, const void *okey, uint32_t olen, uint32_t oitem,
                                    const void *nkey, uint32_t nlen, uint32_t nitem, int32_t ndupok)
    __attribute__((alias("qrxcbmod")));
