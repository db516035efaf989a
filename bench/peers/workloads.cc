// workloads.cc - the seven workloads, in the order they run against one engine:
//
//   1 random insert   N present keys in index order (the keys are pseudo-random, so the order is random)
//                     into a fresh database, one transaction; then a flush (timed apart) and the file size
//   3 lookup present  N lookups of the present keys in a shuffled order; every item is checked
//   4 lookup absent   N lookups of keys that are not there, same order; none may be found
//   5 scan            every entry forward, key and item read; count and item sum are checked
//   2 ascending       N ascending keys into a second fresh database (the first one is closed meanwhile,
//                     so only one cache exists at a time); then that database is removed
//   7 out of cache    the first database is closed, fsync'ed and dropped from the OS page cache with
//                     posix_fadvise(DONTNEED) (no root needed), reopened with a cache of 2% of its file,
//                     and min(N, lookups7) present keys are looked up in a fresh shuffled order
//   6 delete half     reopened with the full cache and warmed (files read once, one scan), then N/2
//                     present keys, shuffled, are deleted in one transaction; the rest is checked by a scan
//
// Only the operations themselves (and the transaction around them) are timed.
#include "bench/peers/workloads.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "bench/peers/child.h"
#include "bench/peers/timing.h"
#include "cbt/codec.h"

namespace qrx::peers {

void remove_file(const std::string &path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    throw EngineError("cannot remove " + path + ": " + std::strerror(errno));
}

uint64_t file_size(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

uint64_t default_cache_bytes(uint64_t n) {
  uint64_t bytes = std::max<uint64_t>(n * 128, uint64_t{1} << 20);
  return (bytes + kPageSize - 1) / kPageSize * kPageSize;
}

namespace {

// The finaliser of splitmix64: a bijection of 64-bit values that spreads every input bit.
uint64_t mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Bytes 0-7 are mix64(seed ^ i), distinct for distinct i; bytes 8-15 are further noise whose lowest bit
// tells the present set (0) from the absent set (1).
void random_key(uint64_t seed, uint64_t i, uint64_t tag, uint8_t *out) {
  uint64_t hi = mix64(seed ^ i);
  uint64_t lo = (mix64(hi ^ 0x5851f42d4c957f2dULL) & ~uint64_t{1}) | tag;
  codec::store_u64(out, 0, hi);
  codec::store_u64(out, 8, lo);
}

// Read system calls of this process so far (/proc/self/io), or -1.
int64_t read_syscalls() {
  std::ifstream io("/proc/self/io");
  std::string name;
  int64_t value = 0;
  while (io >> name >> value)
    if (name == "syscr:") return value;
  return -1;
}

int64_t major_faults() {
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_majflt;
}

// Writes the file's pages to disk and asks the kernel to drop them from its page cache. True when both
// calls succeeded (a file that does not exist counts as dropped).
bool drop_from_page_cache(const std::string &path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return errno == ENOENT;
  bool ok = ::fsync(fd) == 0 && ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
  ::close(fd);
  return ok;
}

// Share of the file's pages that are in the OS page cache, in percent (mincore), or -1.
double resident_percent(const std::string &path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return -1;
  struct stat st {};
  double pct = -1;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    size_t len = static_cast<size_t>(st.st_size);
    void *m = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
    if (m != MAP_FAILED) {
      long pg = ::sysconf(_SC_PAGESIZE);
      size_t pages = (len + pg - 1) / pg;
      std::vector<unsigned char> vec(pages);
      if (::mincore(m, len, vec.data()) == 0) {
        size_t in = 0;
        for (unsigned char v : vec) in += v & 1;
        pct = 100.0 * static_cast<double>(in) / static_cast<double>(pages);
      }
      ::munmap(m, len);
    }
  }
  ::close(fd);
  return pct;
}

// Reads the file once from start to end, so that it sits in the OS page cache.
void read_through(const std::string &path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  std::vector<char> buf(1 << 20);
  while (::read(fd, buf.data(), buf.size()) > 0) {
  }
  ::close(fd);
}

void shuffle(std::vector<uint32_t> &perm, uint64_t seed) {
  std::iota(perm.begin(), perm.end(), 0u);
  std::mt19937_64 rng(seed);
  std::shuffle(perm.begin(), perm.end(), rng);
}

void expect(bool cond, const std::string &what) {
  if (!cond) throw EngineError("check failed: " + what);
}

void check_scan(const ScanResult &sr, uint64_t count, uint64_t item_sum, const char *when) {
  expect(sr.count == count, std::string(when) + ": scan saw " + std::to_string(sr.count) +
                                " entries, expected " + std::to_string(count));
  expect(sr.item_sum == item_sum, std::string(when) + ": scan item sum " + std::to_string(sr.item_sum) +
                                      ", expected " + std::to_string(item_sum));
}

uint64_t files_size(const Engine &e, const std::string &base) {
  uint64_t total = 0;
  for (const std::string &f : e.files(base)) total += file_size(f);
  return total;
}

void remove_files(const Engine &e, const std::string &base) {
  for (const std::string &f : e.files(base)) remove_file(f);
}

void run(Engine &e, const Settings &s, RunResult &r) {
  const uint64_t n = s.n;
  expect(n >= 2 && n < (uint64_t{1} << 31), "N must be between 2 and 2^31 - 1 (items are the key indexes)");
  const std::string a = s.dir + "/" + e.name() + "_a";
  const std::string b = s.dir + "/" + e.name() + "_b";
  const uint64_t all_items = n * (n - 1) / 2;
  std::vector<uint32_t> perm(n);
  uint8_t key[kKeyLen];
  uint32_t item = 0;

  // 1: random insert.
  e.create(a, s.cache_bytes);
  {
    Timer t;
    e.begin(true);
    for (uint64_t i = 0; i < n; ++i) {
      present_key(s.seed, i, key);
      e.insert(key, static_cast<uint32_t>(i));
    }
    e.commit();
    record(r, 1, n, t);
  }
  {
    Timer t;
    e.flush();
    r.flush_ms = t.seconds() * 1e3;
  }
  r.file_bytes = files_size(e, a);
  r.depth = e.depth();

  // 3: lookups of present keys.
  shuffle(perm, s.seed ^ 3);
  {
    uint64_t bad = 0;
    Timer t;
    e.begin(false);
    for (uint64_t j = 0; j < n; ++j) {
      present_key(s.seed, perm[j], key);
      if (!e.find(key, &item) || item != perm[j]) ++bad;
    }
    e.commit();
    record(r, 3, n, t);
    expect(bad == 0, "workload 3: " + std::to_string(bad) + " present keys not found or with a wrong item");
  }

  // 4: lookups of absent keys.
  {
    uint64_t found = 0;
    Timer t;
    e.begin(false);
    for (uint64_t j = 0; j < n; ++j) {
      absent_key(s.seed, perm[j], key);
      if (e.find(key, &item)) ++found;
    }
    e.commit();
    record(r, 4, n, t);
    expect(found == 0, "workload 4: " + std::to_string(found) + " absent keys were found");
  }

  // 5: full forward scan.
  {
    Timer t;
    e.begin(false);
    ScanResult sr = e.scan();
    e.commit();
    record(r, 5, sr.count, t);
    check_scan(sr, n, all_items, "workload 5");
    auto extras = e.extras();
    if (!extras.empty()) {
      std::snprintf(r.extra_name, sizeof r.extra_name, "%s", extras.front().first.c_str());
      r.extra_value = extras.front().second;
    }
  }
  e.close();

  // 2: ascending insert into a second database.
  e.create(b, s.cache_bytes);
  {
    Timer t;
    e.begin(true);
    for (uint64_t i = 0; i < n; ++i) {
      ascending_key(s.seed, i, key);
      e.insert(key, static_cast<uint32_t>(i));
    }
    e.commit();
    record(r, 2, n, t);
  }
  e.begin(false);
  check_scan(e.scan(), n, all_items, "workload 2");
  e.commit();
  e.close();
  remove_files(e, b);

  if (e.persistent()) {
    // 7: random lookups with a cache of 2% of the file, starting with the file out of the page cache.
    std::vector<int64_t> levels = e.level_blocks(a);
    r.nlevels = static_cast<int32_t>(std::min<size_t>(levels.size(), kMaxLevels));
    std::copy_n(levels.begin(), r.nlevels, r.level_blocks);
    r.dropped7 = 1;
    for (const std::string &f : e.files(a))
      if (!drop_from_page_cache(f)) r.dropped7 = 0;
    r.resident7 = resident_percent(e.files(a).front());
    uint64_t cache7 = static_cast<uint64_t>(static_cast<double>(r.file_bytes) * s.cache7_share);
    cache7 = std::max<uint64_t>(cache7 / kPageSize * kPageSize, 4 * kPageSize);
    r.cache7_bytes = cache7;
    e.open(a, cache7);
    const uint64_t m = std::min<uint64_t>(s.lookups7 > 0 ? s.lookups7 : n, n);
    r.lookups7 = m;
    shuffle(perm, s.seed ^ 7);
    const int64_t reads0 = e.block_reads();
    const int64_t syscr0 = read_syscalls();
    const int64_t flt0 = major_faults();
    uint64_t bad = 0;
    Timer t;
    e.begin(false);
    for (uint64_t j = 0; j < m; ++j) {
      present_key(s.seed, perm[j], key);
      if (!e.find(key, &item) || item != perm[j]) ++bad;
    }
    e.commit();
    record(r, 7, m, t);
    const int64_t reads1 = e.block_reads();
    const int64_t syscr1 = read_syscalls();
    const double dm = static_cast<double>(m);
    if (reads0 >= 0 && reads1 >= 0) r.blockreads7 = static_cast<double>(reads1 - reads0) / dm;
    if (syscr0 >= 0 && syscr1 >= 0) r.syscr7 = static_cast<double>(syscr1 - syscr0) / dm;
    r.majflt7 = static_cast<double>(major_faults() - flt0) / dm;
    expect(bad == 0, "workload 7: " + std::to_string(bad) + " present keys not found or with a wrong item");
    e.close();

    // Back to the full cache, warmed: the files are read once and the database scanned once.
    for (const std::string &f : e.files(a)) read_through(f);
    e.open(a, s.cache_bytes);
    e.begin(false);
    check_scan(e.scan(), n, all_items, "before workload 6");
    e.commit();
  } else {
    e.create(a, s.cache_bytes);
    e.begin(true);
    for (uint64_t i = 0; i < n; ++i) {
      present_key(s.seed, i, key);
      e.insert(key, static_cast<uint32_t>(i));
    }
    e.commit();
  }

  // 6: random delete of half the keys.
  shuffle(perm, s.seed ^ 6);
  const uint64_t half = n / 2;
  uint64_t deleted_items = 0;
  {
    Timer t;
    e.begin(true);
    for (uint64_t j = 0; j < half; ++j) {
      present_key(s.seed, perm[j], key);
      e.erase(key, perm[j]);
    }
    e.commit();
    record(r, 6, half, t);
  }
  for (uint64_t j = 0; j < half; ++j) deleted_items += perm[j];
  e.begin(false);
  check_scan(e.scan(), n - half, all_items - deleted_items, "after workload 6");
  e.commit();
  e.close();
  remove_files(e, a);
}

}  // namespace

void present_key(uint64_t seed, uint64_t i, uint8_t *out) {
  random_key(seed, i, 0, out);
}
void absent_key(uint64_t seed, uint64_t i, uint8_t *out) {
  random_key(seed, i, 1, out);
}

void ascending_key(uint64_t seed, uint64_t i, uint8_t *out) {
  codec::store_u64(out, 0, i);
  codec::store_u64(out, 8, mix64(seed ^ i));
}

void run_engine(Engine &e, const Settings &s, RunResult &r) {
  run_checked(r, [&] { run(e, s, r); });
}

void run_threads(std::unique_ptr<Engine> (*make)(), const Settings &s, int threads, bool one_file,
                 RunResult &r) {
  run_checked(r, [&] {
    std::vector<std::unique_ptr<Engine>> engines;
    // On one file the threads share the work of one thread: n keys in all, so that the file is the same
    // whatever the number of threads; on files of their own each thread has n keys.
    const uint64_t per_thread = one_file ? std::max<uint64_t>(1, s.n / threads) : s.n;
    std::vector<std::vector<uint32_t>> perms(static_cast<size_t>(threads), std::vector<uint32_t>(per_thread));
    for (int t = 0; t < threads; ++t) {
      engines.push_back(make());
      if (one_file && t > 0) {
        engines.back()->share(s.dir + "/threads-0");
        continue;
      }
      const bool shared = t == 0 && (one_file || engines[0]->shared_cache());
      engines.back()->create(s.dir + "/threads-" + std::to_string(t),
                             shared ? s.cache_bytes * static_cast<uint64_t>(threads) : s.cache_bytes);
    }
    std::mutex mu;
    std::string failure;
    // One phase: every thread works through its own keys in an order of its own; the elapsed time from
    // the common start to the last thread's end.
    auto phase = [&](bool insert) {
      for (int t = 0; t < threads; ++t)
        shuffle(perms[static_cast<size_t>(t)], s.seed ^ (insert ? 11u : 13u) ^ t);
      std::atomic<int> ready{0};
      std::atomic<bool> go{false};
      std::vector<std::thread> pool;
      for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
          Engine &e = *engines[static_cast<size_t>(t)];
          // Seeds far apart: keys are mixes of seed ^ i, so neighbouring seeds would give the threads
          // of one file the same keys.
          const uint64_t thread_seed = mix64(s.seed + static_cast<uint64_t>(t));
          uint8_t key[kKeyLen];
          ready.fetch_add(1);
          while (!go.load()) std::this_thread::yield();
          try {
            e.begin(insert);
            for (uint32_t i : perms[static_cast<size_t>(t)]) {
              present_key(thread_seed, i, key);
              uint32_t item = 0;
              if (insert)
                e.insert(key, i);
              else if (!e.find(key, &item) || item != i)
                throw EngineError("a key the thread inserted was not found");
            }
            e.commit();
          } catch (const std::exception &ex) {
            std::lock_guard<std::mutex> g(mu);
            failure = ex.what();
          }
        });
      while (ready.load() < threads) std::this_thread::yield();
      const auto t0 = std::chrono::steady_clock::now();
      go.store(true);
      for (std::thread &th : pool) th.join();
      const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      return static_cast<double>(per_thread) * threads / std::max(secs, 1e-9);
    };
    r.threads_insert_ops = phase(true);
    r.threads_lookup_ops = phase(false);
    for (size_t t = engines.size(); t-- > 0;) engines[t]->close();  // the file's first handle last
    if (!failure.empty()) throw EngineError(failure);
  });
}

void run_baseline(const Settings &s, RunResult &r) {
  std::vector<uint32_t> perm(s.n);
  shuffle(perm, s.seed ^ 3);
  uint8_t key[kKeyLen];
  uint64_t digest = 0;
  for (uint64_t j = 0; j < s.n; ++j) {
    present_key(s.seed, perm[j], key);
    digest ^= codec::load_u64(key, 0);
  }
  r.ok = 1;
  r.extra_value = static_cast<double>(digest & 1);
}

}  // namespace qrx::peers
