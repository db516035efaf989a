/* keyed_file.c - a keyed file from C: records added, read by key and in key order, updated and deleted.
 *
 * Usage: keyed_file [directory]
 *
 * Makes the database "accounts" in the directory (default: a fresh directory under /tmp, removed at the
 * end) with the ISAM calls of qrxis.h: three fixed-width fields, ID (I_INT), NAME (I_CHAR of 20 bytes)
 * and BAL (I_DOUBLE), 32 bytes a record, and a unique index "PrimaryIndex" on ID. From then on it works
 * through the keyed-file service of qrxky.h only: it opens the database as a keyed file, adds records,
 * reads one by key, walks a cursor forward, updates a record it holds, deletes one it holds and one by
 * key, walks the cursor backward, closes everything and ends the service. Every status is checked; the
 * output is the same on every run. Exit status 0 only when every check passed.
 */
#define _POSIX_C_SOURCE 200809L

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "qrxis.h"
#include "qrxky.h"

/* The record: the fields' stored forms end to end. The key is the ID's four bytes at offset 0. */
enum { REC_LEN = 32, KEY_LEN = 4, NAME_AT = 4, NAME_LEN = 20, BAL_AT = 24 };

static int failures = 0;

/* Counts a status other than the one wanted and says which operation gave it. */
static int expect(int32_t got, int32_t want, const char *what) {
  if (got == want) return 1;
  ++failures;
  fprintf(stderr, "keyed_file: FAILED: %s gave status %d, expected %d\n", what, (int)got, (int)want);
  return 0;
}

static void make_rec(unsigned char *rec, int32_t id, const char *name, double bal) {
  size_t n = strlen(name) < NAME_LEN ? strlen(name) : NAME_LEN;
  qrxis_put_i32(rec, id); /* big-endian, as every number is stored */
  memset(rec + NAME_AT, ' ', NAME_LEN);
  memcpy(rec + NAME_AT, name, n);
  qrxis_put_f64(rec + BAL_AT, bal);
}

static void make_key(unsigned char *key, int32_t id) {
  qrxis_put_i32(key, id);
}

/* "103 Grace 75.25": the ID, the name without its padding blanks, the balance. */
static void print_rec(const unsigned char *rec) {
  int n = NAME_LEN;
  while (n > 0 && rec[NAME_AT + n - 1] == ' ') --n;
  printf("%d %.*s %.2f", (int)qrxis_get_i32(rec), n, (const char *)rec + NAME_AT,
         qrxis_get_f64(rec + BAL_AT));
}

/* Walks the cursor to the end (direction 0 forward, 1 backward) and prints the IDs it reads. */
static void walk(KeyHandle cursor, int32_t direction, const char *expected_ids) {
  unsigned char rec[REC_LEN];
  char ids[128] = "";
  int32_t len = 0, st;
  uint32_t reason = 0;
  while ((st = ReadNext(cursor, direction, rec, REC_LEN, &len)) == QRXKY_OK) {
    size_t used = strlen(ids);
    snprintf(ids + used, sizeof ids - used, "%s%d", used ? " " : "", (int)qrxis_get_i32(rec));
  }
  expect(st, QRXKY_NOT_FOUND, "ReadNext at the end");
  expect(GetReason(cursor, &reason), QRXKY_OK, "GetReason");
  expect((int32_t)reason, QRXKY_R_EOF, "the cursor's reason at the end");
  if (strcmp(ids, expected_ids) != 0) {
    ++failures;
    fprintf(stderr, "keyed_file: FAILED: the walk read %s, expected %s\n", ids, expected_ids);
  }
  printf("walked %s: %s, then status %d (reason %u, end of file)\n", direction == 0 ? "forward" : "backward",
         ids, (int)st, (unsigned)reason);
}

/* The database, made with the ISAM calls: 1 when it was made. */
static int create_database(const char *base) {
  const char *fields[] = {"ID,I", "NAME,C20", "BAL,D", NULL};
  const char *key_fields[] = {"ID,I", NULL};
  isam_db *db = icreate_db(base, 1024, fields);
  if (db == NULL) return 0;
  int ok = imkindex(db, "PrimaryIndex,U", key_fields) == 1;
  return iclose_db(db) == 1 && ok;
}

static int run(const char *base) {
  if (!create_database(base)) {
    fprintf(stderr, "keyed_file: cannot create the database %s: %s\n", base, qrxismsg(*qrxiseno()));
    return 0;
  }
  printf("created the database accounts: ID,I NAME,C20 BAL,D; unique index PrimaryIndex on ID\n");

  /* "accounts" alone opens the index "PrimaryIndex"; "accounts:OTHER" would open the index OTHER. */
  KeyHandle file;
  uint32_t reason = 0, key_offset = 0, key_len = 0, rec_len = 0;
  if (!expect(OpenKeyedFile(base, (int32_t)strlen(base), QRXKY_USAGE_WRITE, &file, &reason), QRXKY_OK,
              "OpenKeyedFile"))
    return 0;
  expect(QueryKey(file, &key_offset, &key_len), QRXKY_OK, "QueryKey");
  expect(QueryRecLen(file, &rec_len), QRXKY_OK, "QueryRecLen");
  expect(rec_len == REC_LEN && key_offset == 0 && key_len == KEY_LEN, 1, "the record and key layout");
  printf("opened the keyed file: records of %u bytes, key of %u bytes at offset %u\n", (unsigned)rec_len,
         (unsigned)key_len, (unsigned)key_offset);

  static const struct {
    int32_t id;
    const char *name;
    double bal;
  } people[] = {{104, "Edsger", 310.75},
                {101, "Ada", 120.50},
                {103, "Grace", 75.25},
                {105, "Barbara", 42.00},
                {102, "Alan", 80.00}};
  unsigned char rec[REC_LEN], key[KEY_LEN];
  int32_t len = 0;
  for (size_t i = 0; i < sizeof people / sizeof people[0]; ++i) {
    make_rec(rec, people[i].id, people[i].name, people[i].bal);
    if (expect(AddRecord(file, rec, KEY_LEN, rec, REC_LEN), QRXKY_OK, "AddRecord")) {
      printf("added ");
      print_rec(rec);
      printf("\n");
    }
  }
  /* A key already there is refused; the library also writes its error line on standard error. */
  make_rec(rec, 103, "Someone else", 1.00);
  int32_t st = AddRecord(file, rec, KEY_LEN, rec, REC_LEN);
  expect(st, QRXKY_DUPLICATE, "AddRecord of a key already there");
  printf("adding 103 again: status %d (duplicate key)\n", (int)st);

  make_key(key, 103);
  if (expect(ReadByKey(file, key, KEY_LEN, rec, REC_LEN, &len), QRXKY_OK, "ReadByKey 103")) {
    printf("read by key 103: ");
    print_rec(rec);
    printf("\n");
  }

  /* A cursor opened without a key starts at the first record. */
  KeyHandle cursor;
  if (expect(OpenCursor(file, QRXKY_KEY_HEAD, 0, &cursor), QRXKY_OK, "OpenCursor")) {
    walk(cursor, 0, "101 102 103 104 105");
  }

  /* Read 102 for update: the update handle names the file's update block, which holds the record. This
   * step goes through the tables of the handles' function sets, as a host that keeps only handles does. */
  KeyHandle update;
  const qrxky_func_set *fs = qrxkygfs(file);
  make_key(key, 102);
  if (expect(fs->update->ReadByKeyForUpdate(file, key, KEY_LEN, rec, REC_LEN, &len, &update), QRXKY_OK,
             "ReadByKeyForUpdate 102")) {
    const double old_bal = qrxis_get_f64(rec + BAL_AT);
    qrxis_put_f64(rec + BAL_AT, old_bal + 15.00);
    expect(qrxkygfs(update)->update->UpdateHeldRecord(update, rec, REC_LEN), QRXKY_OK, "UpdateHeldRecord");
    printf("updated held record 102 through the tables: balance %.2f -> %.2f\n", old_bal,
           qrxis_get_f64(rec + BAL_AT));
    /* The update used up the hold: the block's table now refuses a second update until the next read. */
    st = qrxkygfs(update)->update->UpdateHeldRecord(update, rec, REC_LEN);
    expect(st, QRXKY_BAD_HANDLE, "a second UpdateHeldRecord");
    printf("a second update through the same handle: status %d (not allowed)\n", (int)st);
  }
  if (expect(fs->base->ReadByKey(file, key, KEY_LEN, rec, REC_LEN, &len), QRXKY_OK, "ReadByKey 102")) {
    expect(qrxis_get_f64(rec + BAL_AT) == 95.00, 1, "the updated balance");
    printf("read by key 102: ");
    print_rec(rec);
    printf("\n");
  }

  make_key(key, 104);
  if (expect(ReadByKeyForUpdate(file, key, KEY_LEN, rec, REC_LEN, &len, &update), QRXKY_OK,
             "ReadByKeyForUpdate 104") &&
      expect(DeleteHeldRecord(update), QRXKY_OK, "DeleteHeldRecord"))
    printf("deleted held record 104\n");
  make_key(key, 101);
  if (expect(DeleteByKey(file, key, KEY_LEN), QRXKY_OK, "DeleteByKey 101")) printf("deleted 101 by key\n");
  st = ReadByKey(file, key, KEY_LEN, rec, REC_LEN, &len);
  expect(st, QRXKY_NOT_FOUND, "ReadByKey of a deleted key");
  printf("read by key 101: status %d (not found)\n", (int)st);

  /* The last record first: reposition on the tail, then read backward. */
  if (expect(RepositionCursor(cursor, QRXKY_KEY_TAIL, 0), QRXKY_OK, "RepositionCursor"))
    walk(cursor, 1, "105 103 102");

  expect(CloseCursor(cursor, &reason), QRXKY_OK, "CloseCursor");
  expect(CloseFile(file, &reason), QRXKY_OK, "CloseFile");
  /* A handle of a closed block is refused, never followed. */
  expect(ReadByKey(file, key, KEY_LEN, rec, REC_LEN, &len), QRXKY_BAD_HANDLE, "ReadByKey after CloseFile");
  expect(Terminate(), QRXKY_OK, "Terminate");
  printf("closed the cursor and the file, ended the service\n");
  return 1;
}

int main(int argc, char **argv) {
  char tmpdir[] = "/tmp/qrx_keyed_file.XXXXXX";
  const char *dir = argc > 1 ? argv[1] : mkdtemp(tmpdir);
  if (dir == NULL) {
    perror("keyed_file: mkdtemp");
    return 1;
  }
  char base[1024];
  if (snprintf(base, sizeof base, "%s/accounts", dir) >= (int)sizeof base) {
    fprintf(stderr, "keyed_file: directory name too long\n");
    return 1;
  }
  if (!run(base)) ++failures;
  expect(isamexit(), 1, "isamexit"); /* the ISAM layer started on the first create; this ends it */

  if (argc <= 1) {
    char path[1100];
    snprintf(path, sizeof path, "%s.DB", base);
    unlink(path);
    snprintf(path, sizeof path, "%s.IDX", base);
    unlink(path);
    if (rmdir(dir) != 0) {
      ++failures;
      fprintf(stderr, "keyed_file: FAILED: %s is not empty after the database files were removed\n", dir);
    }
  } else {
    printf("left %s.DB and %s.IDX in place\n", base, base);
  }
  printf("%s: %d failed check%s\n", failures == 0 ? "ok" : "FAILED", failures, failures == 1 ? "" : "s");
  return failures == 0 ? 0 : 1;
}
