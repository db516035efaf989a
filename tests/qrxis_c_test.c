/* qrxis_c_test.c - include/qrxis.h from C: a database of every field type with indexes, reopened, shared
 * by opens and threads, and its bytes on disk. Exits 0 only when every check passed. */
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

static char dir[] = "/tmp/qrxisc.XXXXXX", base[32], idx[64], path[64];

/* The description key of an index: 0x00, the name, each specification, every piece with its NUL. */
static int add_index(const char *name, const char *const *specs, uint32_t number) {
  char key[128] = {0};
  size_t n = 1;
  for (const char *piece = name; piece != NULL; piece = *specs++) n += strlen(strcpy(key + n, piece)) + 1;
  cbt_tree *t = cbopen(idx, 2, NULL);
  const int ok = t != NULL && cbinsert(t, key, (uint32_t)n, number, 0) == 1;
  return cbclose(t) == 1 && ok;
}

/* A user in a thread of its own: its own open, a private index, its own error number. */
static void *user(void *shared) {
  isam_db *db = iopen_db(base, 2);
  isam_index *own = db ? iopen_index(db, "BYC") : NULL;
  int ok = db == shared && own != NULL && own != ihandle(db, "BYCITY") && ihandle(db, "BYID,U") != NULL;
  ok = ok && ihandle(db, "nosuch") == NULL && *qrxiseno() == QRXIS_UNKNOWN_INDEX;
  return ok && iclose_index(db, own) == 1 && iclose_db(db) == 1 ? shared : NULL;
}

int main(void) {
  static const char *const fields[] = {"NAME",   "CITY,S", "ID,I",  "AMT,D",  "CODE,C8", "FLAGS,B:3",
                                       "NOTE,C", "CNT,U",  "SEQ,L", "RATE,F", "QTY,H",   NULL};
  static const char *const byid[] = {"ID,I", NULL}, *const bycity[] = {"CITY,S:0,3", "NAME", NULL};
  static const char want[] = "\0\0\0\x29\0\0\0\x06NAME\0CITY,S\0ID,I\0AMT,D\0CODE,C8\0FLAGS,B:3";
  unsigned char bytes[128] = {0};
  if (!mkdtemp(dir)) return 2;
  snprintf(base, sizeof base, "%s/cust", dir), snprintf(idx, sizeof idx, "%s.IDX", base);
  isam_db *db = icreate_db(base, 1024, fields);
  CHECK(db != NULL && *qrxiseno() == 0 && cbbufsize() == 1024 && iclose_db(db) == 1);
  CHECK(add_index("BYID,U", byid, 1) && add_index("BYCITY", bycity, 2));

  /* cust.old names the same database: the cached object comes back with its files open again. */
  snprintf(path, sizeof path, "%s.old", base);
  CHECK(iopen_db(path, 2) == db && idbhandle(base) == db);
  CHECK(ihandle(db, "BYID") != NULL && ihandle(db, "Physical Index") != NULL);
  CHECK(ihandle(db, "byid") == NULL && *qrxiseno() == QRXIS_UNKNOWN_INDEX);
  CHECK(iopen_db(base, 1) == db && *qrxiseno() == 0);
  pthread_t threads[2];
  void *result[2] = {NULL, NULL};
  for (int i = 0; i < 2; i++) CHECK(pthread_create(&threads[i], NULL, user, db) == 0);
  for (int i = 0; i < 2; i++) CHECK(pthread_join(threads[i], &result[i]) == 0 && result[i] == db);
  CHECK(*qrxiseno() == 0 && iclose_db(db) == 1 && ihandle(db, "BYID") != NULL); /* one opener left */
  CHECK(iclose_db(db) == 1 && iclose_db(db) == -1 && *qrxiseno() == QRXIS_BAD_DB);

  /* The header: N and F, then the description strings with their NULs. */
  FILE *f = fopen(strcat(strcpy(path, base), ".DB"), "rb");
  CHECK(f != NULL && fread(bytes, 1, sizeof bytes, f) == 8 + 73 && fclose(f) == 0);
  CHECK(qrxis_get_u32(bytes) == 73 && qrxis_get_u32(bytes + 4) == 11 && !memcmp(bytes + 8, "NAME", 5));
  static const char *const six[] = {"NAME", "CITY,S", "ID,I", "AMT,D", "CODE,C8", "FLAGS,B:3", NULL};
  snprintf(path, sizeof path, "%s/six", dir);
  CHECK(iclose_db(icreate_db(path, 512, six)) == 1);
  f = fopen(strcat(path, ".DB"), "rb");
  CHECK(f != NULL && fread(bytes, 1, sizeof bytes, f) == sizeof want && fclose(f) == 0);
  CHECK(!memcmp(bytes, want, sizeof want));

  /* Records through the unique index: added, read back, modified, deleted. */
  unsigned char id[4], zeros[16] = {0}, buf[128];
  const void *values[12] = {"Ann", "Oslo", id};
  for (int i = 3; i < 11; i++) values[i] = zeros;
  qrxis_put_i32(id, 42);
  void *got[12];
  uint32_t len = 0;
  db = iopen_db(base, 2);
  isam_index *by = db ? ihandle(db, "BYID") : NULL;
  /* The queries: fields, the key of BYCITY (a segment start of 0 is left out), index names newest first. */
  isam_index *city = db ? ihandle(db, "BYCITY") : NULL;
  const char *const *spec = igetdesc(db, city), *const *names = igetindexnames(db);
  CHECK(igetfldcount(db) == 11 && igetfldtype(db, 2) == I_INT && igetfldlen(db, 4) == 8 &&
        igetfldlen(db, 0) == 0);
  CHECK(igetflddesc(db) && igetflddesc(db)[5] == I_BINARY && !strcmp(igetfldnames(db)[3], "AMT,D"));
  CHECK(spec && !strcmp(spec[0], "CITY,S:3") && !strcmp(spec[1], "NAME") && !spec[2] &&
        qrxisgds(db, city, 0) == 0);
  CHECK(names && !strcmp(names[1], "BYID,U") && igetdesc_fldnbr(db, by, 1) == -1 &&
        *qrxiseno() == QRXIS_KEY_NUMBER);
  CHECK(iaddrec(db, by, values) == 1 && iaddrec(db, NULL, values) == -1 && *qrxiseno() == QRXIS_CBT);
  CHECK(igetreclen(db, by, &len) == 1 && len == 47 && ireadrec(db, by, buf, 4, &len) == 1 && len == 47);
  CHECK(igetrec(db, by, got, buf, sizeof buf) == 1 && !strcmp(got[1], "Oslo") && qrxis_get_i32(got[2]) == 42);
  /* The changed entry moves BYID's cursor to the entry after it: past BYID's last one, on BYCITY's. */
  values[0] = "Annabel";
  CHECK(imodrec(db, by, values) == 1 && igetrec(db, by, got, buf, sizeof buf) == -3);
  CHECK(ifindhead(db, by) == 1 && ifindnext(db, by) == -3 && ifindprev(db, by) == 1 &&
        ifindprev(db, by) == -2 && iclose_db(db) == 1);

  /* The index file was closed properly and verifies clean. */
  cbt_tree *t = cbopen(idx, 1, NULL);
  CHECK(t != NULL && *qrxcbecd() == 0 && qrxcbver(t) == 1 && qrxcbchk(t) == 1 && cbclose(t) == 1);
  CHECK(isamexit() == 1 && cbbufsize() == 0 && idbhandle(base) == NULL);

  const char *const files[] = {"cust.DB", "cust.IDX", "six.DB", "six.IDX"};
  for (int i = 0; i < 4; i++) snprintf(path, sizeof path, "%s/%s", dir, files[i]), unlink(path);
  rmdir(dir);
  return failures ? 1 : 0;
}
