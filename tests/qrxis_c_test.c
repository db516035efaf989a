/* qrxis_c_test.c - the ISAM interface from C through include/qrxis.h alone: a database with a field of
 * every type, index descriptions added through the B-tree layer, a reopen under another spelling of the
 * name, one database shared by two opens and two threads, and the bytes left on disk.
 * Exits 0 only when every check passed. */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "qrxis.h"

static int failures = 0;
#define CHECK(cond) \
  ((cond) ? (void)0 \
          : (void)(failures++, fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond)))

static char base[128];

/* The description key of an index: 0x00, the name, each specification, every piece with its NUL. */
static int add_index(const char *idxfile, const char *name, const char *const *specs, uint32_t number) {
  char key[256];
  size_t n = 1;
  key[0] = 0;
  for (const char *piece = name; piece != NULL; piece = *specs++) {
    memcpy(key + n, piece, strlen(piece) + 1);
    n += strlen(piece) + 1;
  }
  cbt_tree *t = cbopen(idxfile, 2, NULL);
  const int ok = t != NULL && cbinsert(t, key, (uint32_t)n, number, 0) == 1;
  return cbclose(t) == 1 && ok;
}

static size_t read_bytes(const char *path, unsigned char *buf, size_t size) {
  FILE *f = fopen(path, "rb");
  size_t n = f ? fread(buf, 1, size, f) : 0;
  if (f) fclose(f);
  return n;
}

/* A second user in a thread of its own: its own open, a private index, its own error number. */
static void *user(void *shared) {
  isam_db *db = iopen_db(base, 2);
  isam_index *own = db ? iopen_index(db, "BYC") : NULL;
  int ok = db == shared && own != NULL && own != ihandle(db, "BYCITY") && *qrxiseno() == 0;
  ok = ok && ihandle(db, "BYID,U") != NULL && ihandle(db, "nosuch") == NULL &&
       *qrxiseno() == QRXIS_UNKNOWN_INDEX;
  ok = ok && iclose_index(db, own) == 1 && iclose_db(db) == 1;
  return ok ? shared : NULL;
}

int main(void) {
  char dir[] = "/tmp/qrxisc.XXXXXX", path[160], idx[160];
  unsigned char bytes[256];
  if (!mkdtemp(dir)) return 2;
  snprintf(base, sizeof base, "%s/cust", dir);
  snprintf(idx, sizeof idx, "%s.IDX", base);
  static const char *const fields[] = {"NAME",   "CITY,S", "ID,I",  "AMT,D",  "CODE,C8", "FLAGS,B:3",
                                       "NOTE,C", "CNT,U",  "SEQ,L", "RATE,F", "QTY,H",   NULL};
  isam_db *db = icreate_db(base, 1024, fields);
  CHECK(db != NULL && *qrxiseno() == 0 && cbbufsize() == 1024);
  CHECK(iclose_db(db) == 1);
  static const char *const byid[] = {"ID,I", NULL}, *const bycity[] = {"CITY,S:0,3", "NAME", NULL};
  CHECK(add_index(idx, "BYID,U", byid, 1) && add_index(idx, "BYCITY", bycity, 2));

  /* cust.old names the same database: the cached object comes back with its files open again. */
  snprintf(path, sizeof path, "%s.old", base);
  CHECK(iopen_db(path, 2) == db && idbhandle(base) == db);
  CHECK(ihandle(db, "BYID") != NULL && ihandle(db, "BYCITY") != NULL &&
        ihandle(db, "Physical Index") != NULL);
  CHECK(ihandle(db, "byid") == NULL && *qrxiseno() == QRXIS_UNKNOWN_INDEX);
  CHECK(iopen_db(base, 1) == db && *qrxiseno() == 0);
  pthread_t threads[2];
  for (int i = 0; i < 2; i++) CHECK(pthread_create(&threads[i], NULL, user, db) == 0);
  for (int i = 0; i < 2; i++) {
    void *r = NULL;
    CHECK(pthread_join(threads[i], &r) == 0 && r == db);
  }
  CHECK(*qrxiseno() == 0);
  CHECK(iclose_db(db) == 1 && ihandle(db, "BYID") != NULL); /* open for the other opener still */
  CHECK(iclose_db(db) == 1 && iclose_db(db) == -1 && *qrxiseno() == QRXIS_BAD_DB);

  /* The header: N and F, then each description string with its NUL. */
  size_t n = read_bytes(strcat(strcpy(path, base), ".DB"), bytes, sizeof bytes), total = 0;
  CHECK(n >= 8 && qrxis_get_u32(bytes) == 73 && qrxis_get_u32(bytes + 4) == 11);
  for (int i = 0; fields[i] != NULL && n >= 8 + total + strlen(fields[i]) + 1; i++) {
    CHECK(memcmp(bytes + 8 + total, fields[i], strlen(fields[i]) + 1) == 0);
    total += strlen(fields[i]) + 1;
  }
  CHECK(n == 8 + 73 && total == 73);
  static const char *const six[] = {"NAME", "CITY,S", "ID,I", "AMT,D", "CODE,C8", "FLAGS,B:3", NULL};
  static const char want[] = "\0\0\0\x29\0\0\0\x06NAME\0CITY,S\0ID,I\0AMT,D\0CODE,C8\0FLAGS,B:3";
  snprintf(path, sizeof path, "%s/six", dir);
  CHECK(iclose_db(icreate_db(path, 512, six)) == 1);
  CHECK(read_bytes(strcat(path, ".DB"), bytes, sizeof bytes) == sizeof want &&
        !memcmp(bytes, want, sizeof want));

  /* The index file was closed properly and holds three descriptions in order. */
  cbt_tree *t = cbopen(idx, 1, NULL);
  CHECK(t != NULL && *qrxcbecd() == 0 && qrxcbver(t) == 1 && qrxcbchk(t) == 1);
  static const char *const names[] = {"BYCITY", "BYID,U", "Physical Index"};
  uint32_t item = 0;
  int32_t rc = cbhead(t, &item);
  for (int i = 0; i < 3; i++, rc = cbnext(t, &item)) {
    CHECK(rc == 1 && cbkey(t, bytes, sizeof bytes) == 1 && bytes[0] == 0 &&
          !strcmp((char *)bytes + 1, names[i]));
    CHECK(item == (uint32_t)(2 - i)); /* BYCITY 2, BYID,U 1, Physical Index 0 */
  }
  CHECK(rc == CBT_POS_EOI && cbclose(t) == 1);
  CHECK(isamexit() == 1 && cbbufsize() == 0 && idbhandle(base) == NULL);

  const char *const files[] = {"cust.DB", "cust.IDX", "six.DB", "six.IDX"};
  for (int i = 0; i < 4; i++) snprintf(path, sizeof path, "%s/%s", dir, files[i]), unlink(path);
  rmdir(dir);
  if (failures) fprintf(stderr, "%d checks failed\n", failures);
  return failures ? 1 : 0;
}
