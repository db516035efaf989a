// datacache.cc - the write-through page cache of a data file (see datacache.h).
#include "isam/datacache.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "cbt/blockio/blockio.h"

namespace qrx::isam {

DataCache::DataCache(uint32_t pages) : slots_(std::max<uint32_t>(pages, 1)) {}

DataCache::Slot *DataCache::find(uint64_t page) {
  if (last_ != nullptr && last_->page == page) return last_;
  if (page >= where_.size() || where_[page] == 0) return nullptr;
  last_ = &slots_[where_[page] - 1];
  return last_;
}

DataCache::Slot *DataCache::load(int32_t fd, uint64_t size, uint64_t page) {
  // A free slot while there is one, else the first the clock's hand finds unused since its last pass.
  uint32_t s = used_;
  if (used_ < slots_.size()) {
    ++used_;
  } else {
    while (slots_[hand_].ref != 0) {
      slots_[hand_].ref = 0;
      hand_ = (hand_ + 1) % static_cast<uint32_t>(slots_.size());
    }
    s = hand_;
    hand_ = (hand_ + 1) % static_cast<uint32_t>(slots_.size());
  }
  if (page >= where_.size()) {
    try {
      where_.resize(page + 1 + page / 4, 0);
    } catch (const std::exception &) {
      return nullptr;
    }
  }
  Slot &slot = slots_[s];
  if (slot.page != UINT64_MAX) where_[slot.page] = 0;
  slot.page = UINT64_MAX;
  if (last_ == &slot) last_ = nullptr;
  if (!slot.data) {
    slot.data.reset(new (std::nothrow) uint8_t[kPage]);
    if (!slot.data) return nullptr;
  }
  const uint64_t at = page * kPage;
  const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kPage, size - at));
  if (blockio::read_at(fd, at, slot.data.get(), n) < 0) return nullptr;
  std::memset(slot.data.get() + n, 0, kPage - n);
  slot.page = page;
  where_[page] = s + 1;
  ++misses_;
  return &slot;
}

int32_t DataCache::read(int32_t fd, uint64_t size, uint64_t off, uint8_t *buf, uint32_t len) {
  if (off > size || len > size - off) return -1;
  // Inside the page used last: the common case of a record and its length word, and of a walk.
  if (last_ != nullptr && last_->page == off / kPage && off % kPage + len <= kPage) {
    ++hits_;
    last_->ref = 1;
    std::memcpy(buf, last_->data.get() + off % kPage, len);
    return 1;
  }
  while (len > 0) {
    const uint64_t page = off / kPage;
    const uint32_t in = static_cast<uint32_t>(off % kPage);
    const uint32_t n = std::min(len, kPage - in);
    Slot *slot = find(page);
    if (slot != nullptr) {
      ++hits_;
    } else if ((slot = load(fd, size, page)) == nullptr) {
      return -1;
    }
    slot->ref = 1;
    last_ = slot;
    std::memcpy(buf, slot->data.get() + in, n);
    buf += n, off += n, len -= n;
  }
  return 1;
}

void DataCache::wrote(uint64_t off, const uint8_t *buf, uint32_t len) {
  while (len > 0) {
    const uint64_t page = off / kPage;
    const uint32_t in = static_cast<uint32_t>(off % kPage);
    const uint32_t n = std::min(len, kPage - in);
    if (Slot *slot = find(page)) std::memcpy(slot->data.get() + in, buf, n);
    buf += n, off += n, len -= n;
  }
}

void DataCache::clear() {
  for (Slot &s : slots_) s.page = UINT64_MAX, s.ref = 0;
  std::fill(where_.begin(), where_.end(), 0);
  used_ = 0;
  hand_ = 0;
  last_ = nullptr;
}

uint32_t data_cache_pages() {
  const char *v = std::getenv("QRX_DBCACHE");
  if (v == nullptr || *v == '\0') return kDefaultCachePages;
  char *end = nullptr;
  const unsigned long n = std::strtoul(v, &end, 10);
  if (end == v || *end != '\0') return kDefaultCachePages;
  return static_cast<uint32_t>(std::min<unsigned long>(n, 1u << 20));
}

}  // namespace qrx::isam
