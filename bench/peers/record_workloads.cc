// record_workloads.cc - the record workloads, in the order they run against one engine:
//
//   1 load           records 0..N-1 in number order (random ID order) into a fresh database, one
//                    transaction; then a flush (timed apart) and the sizes of the data and index files
//   2 lookup by ID   `lookups` records in a shuffled order, each read whole; the digest of the records
//                    read must equal the digest of the same records made by the generator
//   3 lookup by NAME as many names, another order; the record found must carry the name asked
//   4 range          `scans` scans of `scan_len` records in CITY + AMOUNT order from random starts; the
//                    parent compares their digest with what the records themselves say
//   5 full scan      every record in the engine's physical order; digest equal to the generator's
//   6 update CODE    `updates` records, shuffled, get their version 1 code, one transaction
//   7 update NAME    as many, another shuffle, get their version 1 name (its index entry moves)
//   8 delete, add    half the records, shuffled, are deleted in one transaction, then added back (with
//                    the names and codes they had) in another; the records' file is measured before,
//                    between and after, each time flushed, to show whether freed space is used again
//
// Only the operations and the transaction around them are timed, with the generator work each needs to
// name its record (an ID, a name, a code) and the digest of what it read; run_record_baseline measures
// that share. Checks that need the generator's records run outside the timed part.
#include "bench/peers/record_workloads.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>

#include "bench/peers/child.h"
#include "bench/peers/timing.h"

namespace qrx::peers {

uint64_t default_record_cache_bytes(uint64_t n) {
  uint64_t bytes = std::max<uint64_t>(n * 256, uint64_t{1} << 20);
  return (bytes + kPageSize - 1) / kPageSize * kPageSize;
}

bool same_record(const Record &a, const Record &b) {
  return a.id == b.id && std::strncmp(a.name, b.name, sizeof a.name) == 0 &&
         std::strncmp(a.city, b.city, sizeof a.city) == 0 && a.amount == b.amount &&
         std::memcmp(a.code, b.code, kCodeLen) == 0;
}

void range_start(uint64_t seed, uint32_t j, char (&city)[16], double *amount) {
  std::mt19937_64 rng(seed ^ (0x9e3779b97f4a7c15ULL * (j + 1)));
  city_name(static_cast<uint32_t>(rng() % kCities), city);
  *amount = static_cast<double>(rng() % 99999999 + 1) / 100.0;
}

RangeDigest expected_ranges(uint64_t seed, uint64_t n, uint32_t scans, uint32_t len) {
  // Cities by their number, and each city's rank in byte order.
  std::vector<std::string> cities(kCities);
  for (uint32_t k = 0; k < kCities; ++k) {
    char c[16];
    city_name(k, c);
    cities[k] = c;
  }
  std::vector<uint32_t> by_text(kCities);
  std::iota(by_text.begin(), by_text.end(), 0u);
  std::sort(by_text.begin(), by_text.end(), [&](uint32_t a, uint32_t b) { return cities[a] < cities[b]; });
  std::vector<uint32_t> rank(kCities);
  for (uint32_t r = 0; r < kCities; ++r) rank[by_text[r]] = r;
  auto rank_of = [&](const char *city) {
    auto it = std::lower_bound(by_text.begin(), by_text.end(), city,
                               [&](uint32_t k, const char *c) { return cities[k] < c; });
    return static_cast<uint32_t>(it - by_text.begin());
  };

  std::vector<std::pair<uint32_t, double>> keys(n);  // (city rank, amount) of every record
  Record r;
  for (uint64_t i = 0; i < n; ++i) {
    make_record(seed, i, &r);
    keys[i] = {rank_of(r.city), r.amount};
  }
  std::sort(keys.begin(), keys.end());
  RangeDigest d;
  char city[16];
  double amount = 0;
  for (uint32_t j = 0; j < scans; ++j) {
    range_start(seed, j, city, &amount);
    auto it = std::lower_bound(keys.begin(), keys.end(), std::make_pair(rank_of(city), amount));
    for (uint32_t m = 0; m < len && it != keys.end(); ++m, ++it) {
      Record seen;
      std::memcpy(seen.city, cities[by_text[it->first]].c_str(), cities[by_text[it->first]].size());
      seen.amount = it->second;
      d.add(seen);
    }
  }
  return d;
}

namespace {

void expect(bool cond, const std::string &what) {
  if (!cond) throw EngineError("check failed: " + what);
}

void expect_none(uint64_t bad, const std::string &what) {
  expect(bad == 0, what + " (" + std::to_string(bad) + " times)");
}

std::vector<uint32_t> shuffled(uint64_t n, uint64_t seed) {
  std::vector<uint32_t> perm(n);
  std::iota(perm.begin(), perm.end(), 0u);
  std::mt19937_64 rng(seed);
  std::shuffle(perm.begin(), perm.end(), rng);
  return perm;
}

// Record i as the workloads have left it: its name and code in the versions held for it.
struct Versions {
  std::vector<uint8_t> name, code;
  uint64_t seed;
  void make(uint64_t i, Record *r) const {
    make_record(seed, i, r);
    if (name[i] != 0) record_name(seed, i, name[i], r->name);
    if (code[i] != 0) record_code(seed, i, code[i], r->code);
  }
};

void run(RecordEngine &e, const RecordSettings &s, RecordRunResult &r) {
  const uint64_t n = s.n;
  expect(n >= 2 && n < (uint64_t{1} << 31), "N must be between 2 and 2^31 - 1");
  const uint64_t lookups = std::min(s.lookups > 0 ? s.lookups : n, n);
  const uint64_t updates = std::min(s.updates > 0 ? s.updates : n / 2, n);
  const uint64_t half = n / 2;
  const std::string base = s.dir + "/" + e.name() + "_records";
  Versions v{std::vector<uint8_t>(n), std::vector<uint8_t>(n), s.seed};
  Record rec, want;
  char name[kNameMax + 1];
  char code[kCodeLen];
  auto data_size = [&] { return file_size(e.files(base).front()); };
  // Digest of the records the versions say are there, `present` telling which.
  auto digest_of = [&](auto present) {
    RecordDigest d;
    for (uint64_t i = 0; i < n; ++i)
      if (present(i)) {
        v.make(i, &rec);
        d.add(rec);
      }
    return d;
  };
  // True when version `version` of record number i's name finds a record of that name.
  auto finds_name = [&](uint64_t i, uint32_t version) {
    record_name(s.seed, i, version, name);
    return e.get_by_name(name, &rec) && std::strcmp(rec.name, name) == 0;
  };
  auto scan_digest = [&] {
    RecordDigest d;
    e.begin(false);
    e.scan(d);
    e.commit();
    return d;
  };

  // 1: load.
  e.create(base, s.cache_bytes);
  {
    Timer t;
    e.begin(true);
    for (uint64_t i = 0; i < n; ++i) {
      make_record(s.seed, i, &rec);
      e.add(rec);
    }
    e.commit();
    record(r, 1, n, t);
  }
  {
    Timer t;
    e.flush();
    r.flush_ms = t.seconds() * 1e3;
  }
  const std::vector<std::string> files = e.files(base);
  r.data_bytes = file_size(files.front());
  for (size_t f = 1; f < files.size(); ++f) r.index_bytes += file_size(files[f]);

  // 2: lookup by ID, every field of every record read compared through the digests.
  std::vector<uint32_t> perm = shuffled(n, s.seed ^ 2);
  {
    RecordDigest seen;
    uint64_t missing = 0;
    Timer t;
    e.begin(false);
    for (uint64_t j = 0; j < lookups; ++j) {
      if (e.get_by_id(record_id(s.seed, perm[j]), &rec))
        seen.add(rec);
      else
        ++missing;
    }
    e.commit();
    record(r, 2, lookups, t);
    expect_none(missing, "workload 2: a record not found by its ID");
    RecordDigest made;
    for (uint64_t j = 0; j < lookups; ++j) {
      make_record(s.seed, perm[j], &want);
      made.add(want);
    }
    expect(seen == made, "workload 2: the records read differ from the records loaded");
  }

  // 3: lookup by NAME; names may repeat, so only the name of the record found is checked.
  perm = shuffled(n, s.seed ^ 3);
  {
    uint64_t bad = 0;
    Timer t;
    e.begin(false);
    for (uint64_t j = 0; j < lookups; ++j)
      if (!finds_name(perm[j], 0)) ++bad;
    e.commit();
    record(r, 3, lookups, t);
    expect_none(bad, "workload 3: a name not found, or found in a record of another name");
  }

  // 4: range scans; the parent checks the digest.
  {
    char city[16];
    double amount = 0;
    uint64_t too_long = 0;
    Timer t;
    e.begin(false);
    for (uint32_t j = 0; j < s.scans; ++j) {
      range_start(s.seed, j, city, &amount);
      if (e.range(city, amount, s.scan_len, r.ranges) > s.scan_len) ++too_long;
    }
    e.commit();
    record(r, 4, s.scans, t);
    expect_none(too_long, "workload 4: a range scan read more records than asked");
  }

  // 5: full scan in physical order.
  const RecordDigest all = digest_of([](uint64_t) { return true; });
  {
    RecordDigest d;
    Timer t;
    e.begin(false);
    e.scan(d);
    e.commit();
    record(r, 5, d.count, t);
    expect(d == all, "workload 5: the scan saw " + std::to_string(d.count) + " records, not the " +
                         std::to_string(n) + " loaded, or other ones");
  }

  // Workloads 6 and 7 alike: `updates` records of a fresh shuffle `perm`, each changed to version 1 of
  // one field by change(i) (false: record number i was not found), in one timed transaction; `version`
  // then says so.
  auto timed_updates = [&](int w, std::vector<uint8_t> &version, auto change) {
    perm = shuffled(n, s.seed ^ w);
    uint64_t missing = 0;
    Timer t;
    e.begin(true);
    for (uint64_t j = 0; j < updates; ++j)
      if (!change(perm[j])) ++missing;
    e.commit();
    record(r, w, updates, t);
    expect_none(missing, "workload " + std::to_string(w) + ": a record to update not found");
    for (uint64_t j = 0; j < updates; ++j) version[perm[j]] = 1;
  };
  // True when record number i, found by its ID, is whole as the versions say.
  auto reads_back = [&](uint64_t i) {
    v.make(i, &want);
    return e.get_by_id(want.id, &rec) && same_record(rec, want);
  };

  // 6: update CODE, then a sample of changed and unchanged records read back whole.
  timed_updates(6, v.code, [&](uint32_t i) {
    record_code(s.seed, i, 1, code);
    return e.set_code(record_id(s.seed, i), code);
  });
  {
    // Up to 1,000 changed records and as many unchanged ones read back whole.
    uint64_t bad = 0;
    e.begin(false);
    auto read_back = [&](uint64_t from, uint64_t to) {
      for (uint64_t j = from; j < std::min(to, n); ++j)
        if (!reads_back(perm[j])) ++bad;
    };
    read_back(0, std::min<uint64_t>(updates, 1000));
    read_back(updates, updates + 1000);
    e.commit();
    expect_none(bad, "after workload 6: a record read back is not as updated");
  }

  // 7: update NAME, then a sample of the new names looked up.
  timed_updates(7, v.name, [&](uint32_t i) {
    record_name(s.seed, i, 1, name);
    return e.set_name(record_id(s.seed, i), name);
  });
  {
    uint64_t bad = 0;
    e.begin(false);
    for (uint64_t j = 0; j < std::min<uint64_t>(updates, 1000); ++j) {
      if (!finds_name(perm[j], 1)) ++bad;
      if (!reads_back(perm[j])) ++bad;
    }
    e.commit();
    expect_none(bad, "after workload 7: a new name not found, or a record read back not as updated");
  }
  expect(scan_digest() == digest_of([](uint64_t) { return true; }),
         "after workload 7: the scan differs from the records as updated");

  // 8: delete half, add them back; the records' file measured around both, each time flushed.
  e.flush();
  r.data_before_delete = data_size();
  perm = shuffled(n, s.seed ^ 8);
  {
    uint64_t missing = 0;
    Timer t;
    e.begin(true);
    for (uint64_t j = 0; j < half; ++j)
      if (!e.remove(record_id(s.seed, perm[j]))) ++missing;
    e.commit();
    record(r, 8, half, t);
    expect_none(missing, "workload 8: a record to delete not found");
  }
  e.flush();
  r.data_after_delete = data_size();
  {
    std::vector<uint8_t> gone(n);
    for (uint64_t j = 0; j < half; ++j) gone[perm[j]] = 1;
    expect(scan_digest() == digest_of([&](uint64_t i) { return gone[i] == 0; }),
           "after the deletes of workload 8: the scan differs from the records kept");
    uint64_t found = 0;
    e.begin(false);
    for (uint64_t j = 0; j < std::min<uint64_t>(half, 1000); ++j)
      found += e.get_by_id(record_id(s.seed, perm[j]), &rec);
    e.commit();
    expect_none(found, "after the deletes of workload 8: a deleted record found by its ID");
  }
  {
    Timer t;
    e.begin(true);
    for (uint64_t j = 0; j < half; ++j) {
      v.make(perm[j], &rec);
      e.add(rec);
    }
    e.commit();
    record(r, 9, half, t);
  }
  e.flush();
  r.data_after_add = data_size();
  expect(scan_digest() == digest_of([](uint64_t) { return true; }),
         "after workload 8: the scan differs from the records added back");
  e.close();
  for (const std::string &f : files) remove_file(f);
}

}  // namespace

void run_record_engine(RecordEngine &e, const RecordSettings &s, RecordRunResult &r) {
  run_checked(r, [&] { run(e, s, r); });
}

void run_record_baseline(const RecordSettings &s, RecordRunResult &r) {
  std::vector<uint32_t> perm = shuffled(s.n, s.seed ^ 2);
  std::vector<uint8_t> versions(2 * s.n, 1);
  RecordDigest d;
  Record rec;
  Timer t;
  for (uint64_t j = 0; j < s.n; ++j) {
    make_record(s.seed, perm[j], &rec);
    d.add(rec);
  }
  const double secs = t.cpu_seconds();
  r.ns_per_record = secs * 1e9 / static_cast<double>(s.n);
  r.ok = d.count == s.n && versions.back() == 1 ? 1 : 0;
}

}  // namespace qrx::peers
