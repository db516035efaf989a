// api.cc - exported C entry points of the layer frame, the file handles and positioning.
//
// Each qrx entry point calls its C++ body and is exported a second time under its public name (cbopen
// is the same function as qrxcbopn). No exception leaves an entry point: one that escapes a body counts
// as running out of memory (error 5, the context code left as the step set it) and gives the failure
// value. Insertion, deletion, modification, verification and dumps have entry files of their own.
#include <cstdint>

#include "cbt/cbt.h"
#include "cbt/ctl.h"
#include "cbt/position.h"
#include "host/qrxtrace.h"
#include "qrxcb.h"

QRX_TRACE_UNIT();

namespace {

using namespace qrx::cbt;

template <class R, class Body>
R guarded(const char *name, R failure, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    QRX_ERROR("%s ended by an exception", name);
    thread_codes().error = static_cast<uint32_t>(Err::kNoMemory);
    return failure;
  }
}

}  // namespace

// Layer frame.
extern "C" QRX_API int32_t qrxcbini(uint32_t bufcnt, uint32_t bufsize) {
  return guarded<int32_t>("qrxcbini", -1, [&] { return cbt_init(bufcnt, bufsize); });
}
extern "C" QRX_API int32_t qrxcbxit(void) {
  return guarded<int32_t>("qrxcbxit", -1, [] { return cbt_exit(); });
}
extern "C" QRX_API uint32_t qrxcbbus(void) {
  return guarded<uint32_t>("qrxcbbus", 0, [] { return cbt_bufsize(); });
}
extern "C" QRX_API uint32_t qrxcbbcn(void) {
  return guarded<uint32_t>("qrxcbbcn", 0, [] { return cbt_bufcnt(); });
}
extern "C" QRX_API uint32_t qrxcbadb(uint32_t n) {
  return guarded<uint32_t>("qrxcbadb", 0, [&] { return cbt_addbufs(n); });
}
extern "C" QRX_API uint32_t qrxcbrmb(uint32_t n) {
  return guarded<uint32_t>("qrxcbrmb", 0, [&] { return cbt_rmbufs(n); });
}
extern "C" QRX_API const char *qrxcberr(int32_t code) {
  return cbt_error_text(code);
}
extern "C" QRX_API const char *qrxcbfcn(int32_t code) {
  return cbt_function_text(code);
}
extern "C" QRX_API const char *qrxcbcon(int32_t code) {
  return cbt_context_text(code);
}
extern "C" QRX_API uint32_t *qrxcbccd(void) {
  return &thread_codes().context;
}
extern "C" QRX_API uint32_t *qrxcbfcd(void) {
  return &thread_codes().function;
}
extern "C" QRX_API uint32_t *qrxcbecd(void) {
  return &thread_codes().error;
}
extern "C" QRX_API void qrxcbprt(void) {
  cbt_print_codes();
}

// Files and handles.
extern "C" QRX_API cbt_tree *qrxcbcrt(const char *name, cbt_keycmp_fn cmp, uint32_t blksize) {
  return guarded<cbt_tree *>("qrxcbcrt", nullptr, [&] { return cbt_create(name, cmp, blksize); });
}
extern "C" QRX_API cbt_tree *qrxcbopn(const char *name, int32_t mode, cbt_keycmp_fn cmp) {
  return guarded<cbt_tree *>("qrxcbopn", nullptr, [&] { return cbt_open(name, mode, cmp); });
}
extern "C" QRX_API int32_t qrxcbclo(cbt_tree *tree) {
  return guarded<int32_t>("qrxcbclo", -1, [&] { return cbt_close(tree); });
}
extern "C" QRX_API int32_t qrxcbfls(cbt_tree *tree) {
  return guarded<int32_t>("qrxcbfls", -1, [&] { return cbt_flush(tree); });
}
extern "C" QRX_API int32_t qrxcbdep(cbt_tree *tree) {
  return guarded<int32_t>("qrxcbdep", -1, [&] { return cbt_depth(tree); });
}
extern "C" QRX_API int32_t qrxcbbls(const char *name) {
  return guarded<int32_t>("qrxcbbls", -1, [&] { return cbt_blksize(name); });
}

// Positioning.
extern "C" QRX_API int32_t qrxcbhd(cbt_tree *tree, uint32_t *item) {
  return guarded<int32_t>("qrxcbhd", -1, [&] { return cbt_head(tree, item); });
}
extern "C" QRX_API int32_t qrxcbtai(cbt_tree *tree, uint32_t *item) {
  return guarded<int32_t>("qrxcbtai", -1, [&] { return cbt_tail(tree, item); });
}
extern "C" QRX_API int32_t qrxcbnxt(cbt_tree *tree, uint32_t *item) {
  return guarded<int32_t>("qrxcbnxt", -1, [&] { return cbt_next(tree, item); });
}
extern "C" QRX_API int32_t qrxcbprv(cbt_tree *tree, uint32_t *item) {
  return guarded<int32_t>("qrxcbprv", -1, [&] { return cbt_prev(tree, item); });
}
extern "C" QRX_API int32_t qrxcbcur(cbt_tree *tree, uint32_t *item) {
  return guarded<int32_t>("qrxcbcur", -1, [&] { return cbt_curr(tree, item); });
}
extern "C" QRX_API int32_t qrxcbkey(cbt_tree *tree, void *buf, uint32_t size) {
  return guarded<int32_t>("qrxcbkey", -1, [&] { return cbt_key(tree, buf, size); });
}
extern "C" QRX_API int32_t qrxcbkln(cbt_tree *tree, uint32_t *len) {
  return guarded<int32_t>("qrxcbkln", -1, [&] { return cbt_keylen(tree, len); });
}
extern "C" QRX_API int32_t qrxcbfnd(cbt_tree *tree, const void *key, uint32_t len, uint32_t *item) {
  return guarded<int32_t>("qrxcbfnd", -1, [&] { return cbt_find(tree, key, len, item); });
}
extern "C" QRX_API int32_t qrxcbfit(cbt_tree *tree, const void *key, uint32_t len, uint32_t *item) {
  return guarded<int32_t>("qrxcbfit", -1, [&] { return cbt_finditem(tree, key, len, item); });
}
extern "C" QRX_API int32_t qrxcbmrk(cbt_tree *tree) {
  return guarded<int32_t>("qrxcbmrk", -1, [&] { return cbt_mark(tree); });
}
extern "C" QRX_API int32_t qrxcbfmk(cbt_tree *tree, uint32_t *item) {
  return guarded<int32_t>("qrxcbfmk", -1, [&] { return cbt_findmark(tree, item); });
}

// Public names.
extern "C" QRX_API int32_t cbinit(uint32_t, uint32_t) __attribute__((alias("qrxcbini")));
extern "C" QRX_API int32_t cbexit(void) __attribute__((alias("qrxcbxit")));
extern "C" QRX_API uint32_t cbbufsize(void) __attribute__((alias("qrxcbbus")));
extern "C" QRX_API uint32_t cbbufcnt(void) __attribute__((alias("qrxcbbcn")));
extern "C" QRX_API uint32_t cbaddbufs(uint32_t) __attribute__((alias("qrxcbadb")));
extern "C" QRX_API uint32_t cbrmbufs(uint32_t) __attribute__((alias("qrxcbrmb")));
extern "C" QRX_API cbt_tree *cbcreate(const char *, cbt_keycmp_fn, uint32_t)
    __attribute__((alias("qrxcbcrt")));
extern "C" QRX_API cbt_tree *cbopen(const char *, int32_t, cbt_keycmp_fn) __attribute__((alias("qrxcbopn")));
extern "C" QRX_API int32_t cbclose(cbt_tree *) __attribute__((alias("qrxcbclo")));
extern "C" QRX_API int32_t cbflush(cbt_tree *) __attribute__((alias("qrxcbfls")));
extern "C" QRX_API int32_t cbdepth(cbt_tree *) __attribute__((alias("qrxcbdep")));
extern "C" QRX_API int32_t cbblksize(const char *) __attribute__((alias("qrxcbbls")));
extern "C" QRX_API int32_t cbhead(cbt_tree *, uint32_t *) __attribute__((alias("qrxcbhd")));
extern "C" QRX_API int32_t cbtail(cbt_tree *, uint32_t *) __attribute__((alias("qrxcbtai")));
extern "C" QRX_API int32_t cbnext(cbt_tree *, uint32_t *) __attribute__((alias("qrxcbnxt")));
extern "C" QRX_API int32_t cbprev(cbt_tree *, uint32_t *) __attribute__((alias("qrxcbprv")));
extern "C" QRX_API int32_t cbcurr(cbt_tree *, uint32_t *) __attribute__((alias("qrxcbcur")));
extern "C" QRX_API int32_t cbkey(cbt_tree *, void *, uint32_t) __attribute__((alias("qrxcbkey")));
extern "C" QRX_API int32_t cbkeylen(cbt_tree *, uint32_t *) __attribute__((alias("qrxcbkln")));
extern "C" QRX_API int32_t cbfind(cbt_tree *, const void *, uint32_t, uint32_t *)
    __attribute__((alias("qrxcbfnd")));
extern "C" QRX_API int32_t cbfinditem(cbt_tree *, const void *, uint32_t, uint32_t *)
    __attribute__((alias("qrxcbfit")));
extern "C" QRX_API int32_t cbmark(cbt_tree *) __attribute__((alias("qrxcbmrk")));
extern "C" QRX_API int32_t cbfindmark(cbt_tree *, uint32_t *) __attribute__((alias("qrxcbfmk")));
