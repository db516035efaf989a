/* qrxcb_c_test.c - the B-tree interface from C through include/qrxcb.h alone: pool, create, open, share,
 * flush and close index files, position cursors, read keys, items, codes and their texts.
 * Exits 0 only when every check passed. */
#define _POSIX_C_SOURCE 200809L

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "qrxcb.h"

static int failures = 0;
#define CHECK(cond) \
  ((cond) ? (void)0 \
          : (void)(failures++, fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond)))
#define CODES(e, f, c) CHECK(*qrxcbecd() == (e) && *qrxcbfcd() == (f) && *qrxcbccd() == (c))

int main(void) {
  char dir[] = "/tmp/qrxcbc.XXXXXX", path[64];
  if (!mkdtemp(dir)) return 2;
  snprintf(path, sizeof path, "%s/c.idx", dir);
  CHECK(cbinit(0, 0) == 1 && cbbufsize() == 512 && cbbufcnt() == 5);
  CHECK(cbaddbufs(3) == 3 && cbbufcnt() == 8);

  cbt_tree *t = cbcreate(path, NULL, 0);
  if (!t) return 1;
  CODES(0, 4, 0);
  CHECK(cbblksize(path) == 512);
  uint32_t item = 99;
  CHECK(cbhead(t, &item) == CBT_POS_EOI && cbtail(t, &item) == CBT_POS_BOI);
  CHECK(cbfindmark(t, &item) == -1);
  CODES(22, 20, 50);
  CHECK(strcmp(qrxcberr((int32_t)*qrxcbecd()), "no mark in index") == 0);

  static const char *const keys[] = {"delta", "alpha", "charlie"};
  for (uint32_t i = 0; i < 3; i++) CHECK(cbinsert(t, keys[i], (uint32_t)strlen(keys[i]), 10 + i, 0) == 1);
  CHECK(cbinsert(t, "alpha", 5, 99, 0) == -1 && *qrxcbecd() == 17);
  char buf[16];
  CHECK(cbhead(t, &item) == 1 && item == 11 && cbkey(t, buf, sizeof buf) == 1 && strcmp(buf, "alpha") == 0);
  CHECK(cbnext(t, &item) == 1 && item == 12 && cbnext(t, &item) == 1 && cbnext(t, &item) == CBT_POS_EOI);
  CHECK(cbfind(t, "c", 1, &item) == CBT_NOT_FOUND && item == 12);
  CHECK(cbmark(t) == 1);
  CHECK(cbtail(t, &item) == 1 && item == 10);
  CHECK(cbfindmark(t, &item) == 1 && item == 12);
  CHECK(cbflush(t) == 1);

  /* Two more handles share the record; each has its own cursor. */
  cbt_tree *r = cbopen(path, 1, NULL), *w = qrxcbopn(path, 2, NULL);
  CHECK(r != NULL && w != NULL);
  CHECK(cbhead(r, &item) == 1 && item == 11);
  CHECK(cbcurr(t, &item) == 1 && item == 12);
  CHECK(cbclose(t) == 1 && cbclose(r) == 1 && qrxcbclo(w) == 1);
  CODES(0, 3, 0);

  CHECK(cbdepth(NULL) == -1);
  CODES(15, 25, 10);
  CHECK(strcmp(qrxcbfcn(25), "cbdepth") == 0 && strcmp(qrxcbcon(10), "validating arguments") == 0);
  CHECK(cbexit() == 1 && cbbufsize() == 0);
  unlink(path);
  rmdir(dir);
  if (failures) fprintf(stderr, "%d checks failed\n", failures);
  return failures ? 1 : 0;
}
