// The order of block writes when entries move between nodes: a process ended at any write, while splits,
// offloads and joins move flushed entries, leaves every flushed entry it did not touch afterwards in some
// leaf block of its file (read here byte by byte, not through the library), so a dump can recover it.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "cbt/blockio/blockio.h"
#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"

namespace qrx::test {
namespace {

constexpr uint32_t kBlock = 512;

// Keys of 20 bytes ordered by n.
std::string key(int n) {
  char k[32];
  std::snprintf(k, sizeof k, "key-%05d-..........", n);
  return std::string(k, 20);
}

void drop_line(void *, const char *, int, int, int, const char *) {}

// In a child: 60 entries flushed, then (armed to end at write nth, or counting) inserts between them
// that split and offload leaves and deletes that join them, and a last flush. Writes the count of the
// second part's writes to count_file when it runs to the end.
[[noreturn]] void workload(const std::string &path, uint64_t nth, const std::string &count_file) {
  qrxhost_set_trace_sink(&drop_line, nullptr);
  cbinit(4, kBlock);  // few buffers: blocks are also written back by eviction in the middle
  cbt_tree *t = cbcreate(path.c_str(), nullptr, kBlock);
  if (t == nullptr) ::_exit(2);
  for (int i = 0; i < 60; ++i)
    if (cbinsert(t, key(i * 10).data(), 20, static_cast<uint32_t>(i * 10), 0) != 1) ::_exit(2);
  if (cbflush(t) != 1) ::_exit(2);
  blockio::crash_arm(nth);
  for (int i = 0; i < 60; ++i)
    for (int d : {5, 3, 7})
      if (cbinsert(t, key(i * 10 + d).data(), 20, static_cast<uint32_t>(i * 10 + d), 0) != 1) ::_exit(2);
  for (int i = 0; i < 60; i += 2)
    for (int d : {0, 3, 5, 7})
      if (cbdelete(t, key(i * 10 + d).data(), 20, static_cast<uint32_t>(i * 10 + d)) != 1) ::_exit(2);
  if (cbflush(t) != 1) ::_exit(2);
  write_file(count_file, std::to_string(blockio::crash_count()));
  ::_exit(0);
}

int run(const std::string &path, uint64_t nth, const std::string &count_file) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) workload(path, nth, count_file);
  int status = -1;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Every leaf entry of every whole block of the file: key -> items.
std::multimap<std::string, uint32_t> leaf_entries(const std::string &path) {
  const std::string file = read_file(path);
  std::multimap<std::string, uint32_t> out;
  for (size_t at = kBlock; at + kBlock <= file.size(); at += kBlock) {
    std::string problem;
    const NodeImage n = parse_node(reinterpret_cast<const uint8_t *>(file.data() + at), kBlock, &problem);
    if (n.low_path != -1 || !problem.empty()) continue;
    for (const KeyItem &e : n.entries) out.emplace(e.key, e.item);
  }
  return out;
}

TEST(CrashOrder, EveryFlushedEntryOutlivesAnEndAtAnyWriteOfSplitsAndJoins) {
  TempDir dir;
  const std::string path = dir.file("order.cbt"), count_file = dir.file("count");
  ASSERT_EQ(run(path, 0, count_file), 0);
  const uint64_t writes = std::stoull(read_file(count_file));
  ASSERT_GT(writes, 20u) << "the second part must write blocks back";
  for (uint64_t nth = 1; nth <= writes; ++nth) {
    ASSERT_EQ(run(path, nth, count_file), blockio::kCrashExitCode) << "write " << nth;
    const auto on_disk = leaf_entries(path);
    // The odd-numbered tens were flushed and never touched again.
    for (int i = 1; i < 60; i += 2) {
      const auto [lo, hi] = on_disk.equal_range(key(i * 10));
      bool found = false;
      for (auto it = lo; it != hi; ++it) found = found || it->second == static_cast<uint32_t>(i * 10);
      EXPECT_TRUE(found) << "entry " << i * 10 << " is in no leaf block after an end at write " << nth
                         << " of " << writes;
    }
  }
}

}  // namespace
}  // namespace qrx::test
