// The data file's page cache: what it reads is what the file holds, through evictions, growth and reads
// that cross pages.
#include "isam/datacache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "cbt/blockio/blockio.h"
#include "support/tree_model.h"
#include "support/test_util.h"

namespace {

namespace tb = qrx::test;
using qrx::isam::DataCache;

// Random writes (some past the end, leaving gaps that read as zeros) and random reads, each read held
// against a copy kept in memory, with a cache of three pages over a file of up to eight.
TEST(DataCache, ReadsWhatTheFileHoldsThroughEvictionsAndGrowth) {
  tb::TempDir dir;
  const std::string path = dir.file("data");
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  DataCache cache(3);
  std::string model;
  tb::Rng rng(17);
  std::string buf;
  for (int op = 0; op < 20000; ++op) {
    const uint64_t at = rng.below(model.size() + 300);
    if (rng.below(3) == 0 && at < 8 * DataCache::kPage) {
      std::string bytes(1 + rng.below(700), '\0');
      for (char &c : bytes) c = char('a' + rng.below(26));
      ASSERT_EQ(qrx::blockio::write_at(fd, at, bytes.data(), uint32_t(bytes.size())), 1);
      cache.wrote(at, reinterpret_cast<const uint8_t *>(bytes.data()), uint32_t(bytes.size()));
      if (model.size() < at + bytes.size()) model.resize(at + bytes.size(), '\0');
      model.replace(at, bytes.size(), bytes);
      continue;
    }
    const uint32_t len = uint32_t(rng.below(2 * DataCache::kPage + 10));
    buf.assign(len, '?');
    const int32_t rc = cache.read(fd, model.size(), at, reinterpret_cast<uint8_t *>(buf.data()), len);
    if (at + len > model.size()) {
      ASSERT_EQ(rc, -1) << "read past the end at " << at << " of " << len;
    } else {
      ASSERT_EQ(rc, 1);
      ASSERT_EQ(buf, model.substr(at, len)) << "at " << at << " length " << len << " op " << op;
    }
  }
  EXPECT_GT(cache.hits(), 1000u);
  EXPECT_GT(cache.misses(), 100u) << "three pages over eight must evict";
  ::close(fd);
}

// A page that cannot be read fails the read and is not kept: once the file reads again, so does the cache.
TEST(DataCache, APageThatCannotBeReadIsNotKept) {
  tb::TempDir dir;
  const std::string path = dir.file("data");
  tb::write_file(path, std::string(3 * DataCache::kPage, 'x'));
  const int fd = ::open(path.c_str(), O_RDWR);
  DataCache cache(2);
  uint8_t b[8] = {};
  qrx::blockio::fault_arm(qrx::blockio::FaultOn::kRangeRead, 1, false);
  EXPECT_EQ(cache.read(fd, 3 * DataCache::kPage, 10, b, 8), -1);
  qrx::blockio::fault_disarm();
  ASSERT_EQ(cache.read(fd, 3 * DataCache::kPage, 10, b, 8), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(b), 8), "xxxxxxxx");
  EXPECT_EQ(cache.misses(), 1u);
  ::close(fd);
}

}  // namespace
