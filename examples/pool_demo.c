/* pool_demo.c - a block file written and read back through a small shared buffer pool.
 *
 * Usage: pool_demo [directory]
 *
 * Creates "demo.blk" in the directory (default: a fresh directory under /tmp, removed at the end) with
 * the block size as a 4-byte big-endian word at the start of block 0, opens it read/write through a pool
 * of four buffers, writes twelve blocks (some at once, most deferred), so that dirty blocks are forced
 * out of the pool by the least-recently-used replacement, reads every block back through the pool,
 * closes, frees the pool and checks the file on disk once more. Exit status 0 only when every check
 * passed.
 */
#define _POSIX_C_SOURCE 200809L

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "qrxcb.h"

enum { BLKSIZE = 1024, POOL_BUFFERS = 4, DATA_BLOCKS = 12 };

static int failures = 0;

static void check(int ok, const char *what, long value) {
  if (!ok) {
    ++failures;
    fprintf(stderr, "pool_demo: FAILED: %s (%ld, pool status %u)\n", what, value, (unsigned)*qrxcbbpe());
  }
}

static void put_be32(uint8_t *p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24);
  p[1] = (uint8_t)(v >> 16);
  p[2] = (uint8_t)(v >> 8);
  p[3] = (uint8_t)v;
}

static uint32_t get_be32(const uint8_t *p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

/* Content of data block b: its number as a big-endian word, then a pattern that differs per block. */
static void fill_block(uint8_t *data, int32_t b) {
  put_be32(data, (uint32_t)b);
  for (int i = 4; i < BLKSIZE; ++i) data[i] = (uint8_t)(b * 31 + i);
}

static int block_ok(const uint8_t *data, int32_t b) {
  if (get_be32(data) != (uint32_t)b) return 0;
  for (int i = 4; i < BLKSIZE; ++i)
    if (data[i] != (uint8_t)(b * 31 + i)) return 0;
  return 1;
}

/* Block 0: the block size word, the rest zero. */
static int create_file(const char *path) {
  uint8_t block0[BLKSIZE];
  memset(block0, 0, sizeof block0);
  put_be32(block0, BLKSIZE);
  int32_t fd = qrxcb_creat(path, 0660);
  if (fd < 0) return -1;
  int32_t rc = writeblk(fd, 0, BLKSIZE, block0);
  qrxcb_close(fd);
  return rc == 1 ? 0 : -1;
}

/* Number of data blocks whose bytes on disk are right, read past the pool with a descriptor of its own. */
static int blocks_on_disk(const char *path, int32_t first, int32_t last) {
  uint8_t data[BLKSIZE];
  int good = 0;
  int32_t fd = qrxcb_open(path, O_RDONLY, 0);
  if (fd < 0) return -1;
  for (int32_t b = first; b <= last; ++b)
    if (readblk(fd, b, BLKSIZE, data) == 1 && block_ok(data, b)) ++good;
  qrxcb_close(fd);
  return good;
}

int main(int argc, char **argv) {
  char tmpdir[] = "/tmp/qrx_pool_demo.XXXXXX";
  const char *dir = argc > 1 ? argv[1] : NULL;
  if (dir == NULL) {
    dir = mkdtemp(tmpdir);
    if (dir == NULL) {
      perror("pool_demo: mkdtemp");
      return 1;
    }
  }
  char path[1024];
  path[0] = '\0';
  if (strlen(dir) + 16 > sizeof path) {
    fprintf(stderr, "pool_demo: directory name too long\n");
    return 1;
  }
  MakePath(path, NULL, dir, "demo", "blk");

  if (create_file(path) != 0) {
    fprintf(stderr, "pool_demo: cannot create %s\n", path);
    return 1;
  }
  printf("created %s with block size %d\n", path, BLKSIZE);

  uint32_t status = 0;
  BufPool *pool = mk_pool(BLKSIZE, POOL_BUFFERS, &status);
  if (pool == NULL) {
    fprintf(stderr, "pool_demo: mk_pool failed, status %u\n", (unsigned)status);
    return 1;
  }
  Bfile *bf = open_blks(path, 2, pool);
  if (bf == NULL) {
    fprintf(stderr, "pool_demo: open_blks failed, status %u\n", (unsigned)*qrxcbbpe());
    free_pool(pool);
    return 1;
  }

  /* Every third block is written at once; the others stay dirty in the pool until a buffer is needed. */
  int written_now = 0, deferred = 0;
  for (int32_t b = 1; b <= DATA_BLOCKS; ++b) {
    uint8_t *data = empty_blk(bf, b);
    check(data != NULL, "empty_blk", b);
    if (data == NULL) continue;
    fill_block(data, b);
    int32_t now = b % 3 == 0;
    check(put_blk(bf, data, now) == 1, "put_blk", b);
    if (now)
      ++written_now;
    else
      ++deferred;
  }
  printf("wrote %d blocks through a pool of %d buffers: %d at once, %d deferred\n", DATA_BLOCKS, POOL_BUFFERS,
         written_now, deferred);

  /* The pool holds only the last four blocks; every earlier block has reached the disk by now, either
   * at once or when its buffer was taken for a later block. */
  int early = blocks_on_disk(path, 1, DATA_BLOCKS - POOL_BUFFERS);
  check(early == DATA_BLOCKS - POOL_BUFFERS, "blocks on disk before any flush", early);
  printf("before the close %d of the first %d blocks are on disk (forced out of the pool)\n", early,
         DATA_BLOCKS - POOL_BUFFERS);

  /* Read everything back through the pool, oldest first: each read replaces a buffer. */
  int read_ok = 0;
  for (int32_t b = 1; b <= DATA_BLOCKS; ++b) {
    uint8_t *data = get_blk(bf, b);
    check(data != NULL, "get_blk", b);
    if (data == NULL) continue;
    if (block_ok(data, b)) ++read_ok;
    check(rlse_blk(bf, data) == 1, "rlse_blk", b);
  }
  check(read_ok == DATA_BLOCKS, "blocks read back through the pool", read_ok);
  printf("read back %d of %d blocks through the pool with the right contents\n", read_ok, DATA_BLOCKS);

  check(close_blks(bf) == 1, "close_blks", 0);
  check(free_pool(pool) == 1, "free_pool", 0);

  uint8_t word[4];
  int32_t fd = qrxcb_open(path, O_RDONLY, 0);
  check(fd >= 0 && readblk(fd, 0, 4, word) == 1 && get_be32(word) == BLKSIZE, "block size word", fd);
  if (fd >= 0) {
    uint8_t past[BLKSIZE];
    check(readblk(fd, DATA_BLOCKS + 1, BLKSIZE, past) == -1, "no block past the last one", 0);
    qrxcb_close(fd);
  }
  int on_disk = blocks_on_disk(path, 1, DATA_BLOCKS);
  check(on_disk == DATA_BLOCKS, "blocks on disk after the close", on_disk);
  printf("after the close %d of %d blocks are on disk with the right contents\n", on_disk, DATA_BLOCKS);

  if (argc <= 1) {
    qrxcb_unlink(path);
    rmdir(dir);
  } else {
    printf("left %s in place\n", path);
  }
  printf("%s: %d failed check%s\n", failures == 0 ? "ok" : "FAILED", failures, failures == 1 ? "" : "s");
  return failures == 0 ? 0 : 1;
}
