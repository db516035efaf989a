// datacache.h - the cache of data-file pages of a database open for reading and writing.
//
// The cache is write-through: every write still goes to the file at once (one write per record or
// length word, as without the cache), and the pages it covers take the written bytes afterwards, so the
// file holds at every moment exactly what it would hold without the cache. Reads are served from
// pages, a missing page read from the file whole (up to the end of the file; bytes behind the end read
// as zero, as a later write that extends the file leaves them unless it covers them).
//
// The cache is correct while this object is the only writer of the file: the process holds the data
// file's lock for its read/write open, and a database name has one object per process. A read-only
// open keeps no cache, so it sees what a writer elsewhere adds.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace qrx::isam {

class DataCache {
 public:
  static constexpr uint32_t kPage = 4096;

  // A cache of at most `pages` pages (at least 1).
  explicit DataCache(uint32_t pages);

  // Bytes [off, off + len) of a file of `size` bytes open on fd into buf: 1, or -1 when they run past
  // the end of the file or a page cannot be read (errno set by the read).
  int32_t read(int32_t fd, uint64_t size, uint64_t off, uint8_t *buf, uint32_t len);
  // The file now holds buf at off: cached pages it covers take the bytes.
  void wrote(uint64_t off, const uint8_t *buf, uint32_t len);
  // Forgets every page (after a write that failed half-way or a cut of the file).
  void clear();

  uint64_t hits() const { return hits_; }
  uint64_t misses() const { return misses_; }

 private:
  struct Slot {
    uint64_t page = UINT64_MAX;
    uint8_t ref = 0;  // clock bit: set by a use, cleared by the passing hand
    std::unique_ptr<uint8_t[]> data;
  };
  // The slot holding the page, or nullptr.
  Slot *find(uint64_t page);
  // A slot for the page, its bytes read from the file: nullptr when the read failed.
  Slot *load(int32_t fd, uint64_t size, uint64_t page);

  std::vector<Slot> slots_;
  std::vector<uint32_t> where_;  // by page number: its slot + 1, 0 when not cached (grown on demand; a data
                                 // file stays below 2^31 bytes, so at most 2 MiB)
  uint32_t hand_ = 0;
  uint32_t used_ = 0;
  Slot *last_ = nullptr;  // the slot used last: a walk reads one page many times in a row
  uint64_t hits_ = 0, misses_ = 0;
};

// Pages of the cache of a database opened for reading and writing: QRX_DBCACHE from the environment
// (0 turns the cache off), else kDefaultCachePages.
inline constexpr uint32_t kDefaultCachePages = 256;
uint32_t data_cache_pages();

}  // namespace qrx::isam
