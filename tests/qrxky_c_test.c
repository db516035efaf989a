/* qrxky_c_test.c - include/qrxky.h from C: a keyed file over a database of fixed-width fields, reached by
 * name and through the tables, with the caller-visible layouts held by static asserts. Exits 0 only when
 * every check passed. */
#define _POSIX_C_SOURCE 200809L

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qrxis.h"
#include "qrxky.h"

_Static_assert(sizeof(KeyHandle) == 8, "handle");
_Static_assert(offsetof(KeyHandle, slot) == 4, "handle slot");
_Static_assert(offsetof(qrxky_base_table, ReadByKey) == 4 * sizeof(void (*)(void)), "base slot 4");
_Static_assert(offsetof(qrxky_update_table, UpdateHeldRecord) == 3 * sizeof(void (*)(void)), "update slot 3");
_Static_assert(offsetof(qrxky_asynch_vector, CheckAsynch) == sizeof(void (*)(void)), "asynch slot 1");

static int failures = 0;
#define CHECK(cond) \
  ((cond) ? (void)0 \
          : (void)(failures++, fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond)))

/* ID (I_INT), NAME (I_CHAR 8), BAL (I_DOUBLE): 20 bytes, key ID at 0. */
static void make_rec(unsigned char *r, int32_t id, const char *name, double bal) {
  qrxis_put_i32(r, id);
  memset(r + 4, ' ', 8);
  memcpy(r + 4, name, strlen(name) < 8 ? strlen(name) : 8);
  qrxis_put_f64(r + 12, bal);
}

int main(void) {
  char dir[] = "/tmp/qrxkyc.XXXXXX", base[64];
  if (mkdtemp(dir) == NULL) return 2;
  snprintf(base, sizeof base, "%s/acct", dir);
  const char *fields[] = {"ID,I", "NAME,C8", "BAL,D", NULL};
  const char *specs[] = {"ID,I", NULL};
  isam_db *db = icreate_db(base, 1024, fields);
  CHECK(db != NULL && imkindex(db, "PrimaryIndex,U", specs) == 1 && iclose_db(db) == 1);

  KeyHandle f, u;
  uint32_t reason = 99, off = 0, klen = 0, rlen = 0;
  CHECK(OpenKeyedFile(base, (int32_t)strlen(base), QRXKY_USAGE_WRITE, &f, &reason) == QRXKY_OK);
  CHECK(QueryKey(f, &off, &klen) == 0 && off == 0 && klen == 4 && QueryRecLen(f, &rlen) == 0 && rlen == 20);
  unsigned char r[20], got[20];
  make_rec(r, 2, "holder", 20.0);
  CHECK(AddRecord(f, r, 4, r, 20) == 0 && AddRecord(f, r, 4, r, 20) == QRXKY_DUPLICATE);
  int32_t len = 0;
  /* Through the tables, as a host that keeps only handles would. */
  const qrxky_func_set *fs = qrxkygfs(f);
  CHECK(fs->base->ReadByKey == ReadByKey && fs->reserved == NULL);
  CHECK(fs->update->ReadByKeyForUpdate(f, r, 4, got, 20, &len, &u) == 0);
  make_rec(r, 2, "changed", 21.5);
  CHECK(qrxkygfs(u)->update->UpdateHeldRecord(u, r, 20) == 0 && qrxis_get_f64(got + 12) == 20.0);
  CHECK(CloseFile(f, &reason) == 0 && CloseFile(f, &reason) == QRXKY_BAD_HANDLE);
  CHECK(Terminate() == 0);
  isamexit();
  char cmd[96];
  snprintf(cmd, sizeof cmd, "rm -rf %s", dir);
  CHECK(system(cmd) == 0);
  if (failures == 0) puts("qrxky_c_test: all checks passed");
  return failures == 0 ? 0 : 1;
}
