/* qrxcb_c_test.c - the B-tree interface used from C through include/qrxcb.h alone: pool, create, open,
 * share, flush and close index files, position cursors, read keys, items and the status codes.
 * Exits 0 only when every check passed. */
#define _POSIX_C_SOURCE 200809L

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "qrxcb.h"

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      failures++;                                                              \
    }                                                                          \
  } while (0)

/* Reverse byte order: a compare function of the caller's own. */
static int reverse_cmp(const void *k1, uint32_t l1, const void *k2, uint32_t l2) {
  return -qrxcbkcm(k1, l1, k2, l2);
}

static void check_codes(uint32_t err, uint32_t fn, uint32_t ctx) {
  CHECK(*qrxcbecd() == err);
  CHECK(*qrxcbfcd() == fn);
  CHECK(*qrxcbccd() == ctx);
}

int main(void) {
  char dir[] = "/tmp/qrxcbc.XXXXXX";
  if (!mkdtemp(dir)) return 2;
  char path[64], other[64];
  snprintf(path, sizeof path, "%s/c.idx", dir);
  snprintf(other, sizeof other, "%s/rev.idx", dir);

  /* Pool. */
  CHECK(cbinit(0, 0) == 1);
  CHECK(cbbufsize() == 512);
  CHECK(cbbufcnt() == 5);
  CHECK(qrxcbini(3, 4096) == 1); /* counted only */
  CHECK(qrxcbbus() == 512);
  CHECK(cbaddbufs(3) == 3);
  CHECK(cbbufcnt() == 8);
  CHECK(cbrmbufs(100) == 4);
  CHECK(cbbufcnt() == 4);

  /* Create; an empty tree positions to its ends. */
  cbt_tree *t = cbcreate(path, NULL, 0);
  CHECK(t != NULL);
  if (!t) return 1;
  check_codes(0, 4, 0);
  CHECK(cbblksize(path) == 512);
  CHECK(cbdepth(t) == 0);
  uint32_t item = 99;
  CHECK(cbhead(t, &item) == CBT_POS_EOI);
  CHECK(cbtail(t, &item) == CBT_POS_BOI);
  CHECK(cbnext(t, &item) == CBT_POS_EOI);
  CHECK(cbprev(t, &item) == CBT_POS_BOI);
  CHECK(cbcurr(t, &item) == CBT_POS_BOI);
  CHECK(cbfind(t, "x", 1, &item) == CBT_POS_EOI);
  CHECK(item == 99);
  CHECK(cbfindmark(t, &item) == -1);
  check_codes(22, 20, 50);
  CHECK(strcmp(qrxcberr((int32_t)*qrxcbecd()), "no mark in index") == 0);
  CHECK(cbmark(t) == 1);
  CHECK(cbfindmark(t, &item) == CBT_POS_EOI);

  /* A few entries, read back through the cursor. */
  static const char *const keys[] = {"delta", "alpha", "charlie", "bravo"};
  for (uint32_t i = 0; i < 4; i++) CHECK(cbinsert(t, keys[i], (uint32_t)strlen(keys[i]), 10 + i, 0) == 1);
  CHECK(cbinsert(t, "alpha", 5, 99, 0) == -1);
  CHECK(*qrxcbecd() == 17);
  CHECK(cbdepth(t) == 1);
  static const char *const order[] = {"alpha", "bravo", "charlie", "delta"};
  static const uint32_t items[] = {11, 13, 12, 10};
  int32_t rc = cbhead(t, &item);
  for (int i = 0; i < 4; i++) {
    char buf[16];
    uint32_t len = 0;
    CHECK(rc == 1);
    CHECK(item == items[i]);
    CHECK(cbkeylen(t, &len) == 1);
    CHECK(len == strlen(order[i]));
    CHECK(cbkey(t, buf, sizeof buf) == 1);
    CHECK(strcmp(buf, order[i]) == 0);
    rc = cbnext(t, &item);
  }
  CHECK(rc == CBT_POS_EOI);
  CHECK(cbfind(t, "bravo", 5, &item) == CBT_FOUND);
  CHECK(item == 13);
  CHECK(cbfind(t, "c", 1, &item) == CBT_NOT_FOUND);
  CHECK(item == 12);
  item = 12;
  CHECK(cbfinditem(t, "charlie", 7, &item) == CBT_FOUND);
  CHECK(cbmark(t) == 1);
  CHECK(cbtail(t, &item) == 1 && item == 10);
  CHECK(cbfindmark(t, &item) == 1 && item == 12);
  CHECK(cbflush(t) == 1);

  /* Share the file: two more handles on the same record, the last close closes it. */
  cbt_tree *r = cbopen(path, 1, NULL);
  cbt_tree *w = qrxcbopn(path, 2, NULL);
  CHECK(r != NULL && w != NULL);
  CHECK(cbhead(r, &item) == 1 && item == 11);
  CHECK(cbtail(w, &item) == 1 && item == 10);
  CHECK(cbcurr(t, &item) == 1 && item == 12); /* each handle has its own cursor */
  CHECK(cbclose(t) == 1);
  CHECK(cbclose(r) == 1);
  CHECK(qrxcbclo(w) == 1);
  check_codes(0, 3, 0);

  /* A caller's compare function orders the entries. */
  cbt_tree *v = cbcreate(other, reverse_cmp, 100);
  CHECK(v != NULL);
  if (v) {
    CHECK(cbinsert(v, "a", 1, 1, 0) == 1);
    CHECK(cbinsert(v, "b", 1, 2, 0) == 1);
    CHECK(cbhead(v, &item) == 1 && item == 2);
    CHECK(cbclose(v) == 1);
  }
  CHECK(cbblksize(other) == 100);
  check_codes(14, 26, 6); /* read from disk: the record lookup failed first */

  /* Bad handles and unknown codes. */
  CHECK(cbdepth(NULL) == -1);
  check_codes(15, 25, 10);
  CHECK(strcmp(qrxcberr(15), "invalid tree pointer") == 0);
  CHECK(strcmp(qrxcbfcn(25), "cbdepth") == 0);
  CHECK(strcmp(qrxcbcon(10), "validating arguments") == 0);
  CHECK(strcmp(qrxcberr(23), "Unknown cbt error number") == 0);
  CHECK(strcmp(qrxcbfcn(-1), "Unknown cbt function number") == 0);
  CHECK(strcmp(qrxcbcon(51), "Unknown cbt context number") == 0);

  CHECK(cbexit() == 1);
  CHECK(cbbufsize() == 512); /* one init is still counted */
  CHECK(qrxcbxit() == 1);
  CHECK(cbbufsize() == 0);

  unlink(path);
  unlink(other);
  rmdir(dir);
  if (failures) fprintf(stderr, "%d checks failed\n", failures);
  return failures ? 1 : 0;
}
