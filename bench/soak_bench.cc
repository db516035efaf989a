// soak_bench.cc - a long run of mixed changes through the public C entry points, watching the process's
// memory and descriptors: both must stay flat once the working set is made.
//
// One database with three indexes and one plain index file are changed at random (adds, deletes,
// modifications that grow and shrink records, lookups; B-tree inserts, deletes and lookups), against a
// model in memory. Every million operations the database is flushed and the figures printed; every
// four million both files are closed and opened again. At the end every record is read back through
// every index and the files are verified.
//
// Usage: soak_bench [--ops N] [--dir DIR] [--records R]
// Exit status: 0 when every check held and memory and descriptors stayed flat, 1 otherwise, 2 on bad
// arguments.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "qrxcb.h"
#include "qrxis.h"

namespace {

constexpr const char *kFields[] = {"ID,I", "NAME,C", "CITY,C", "CODE,C8", nullptr};

long resident_kib() {
  long pages = 0, resident = 0;
  if (FILE *f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int open_descriptors() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n - 3;  // ".", ".." and the directory's own descriptor
}

struct Soak {
  std::string base, tree_path;
  isam_db *db = nullptr;
  isam_index *by_id = nullptr;
  cbt_tree *tree = nullptr;
  std::unordered_map<uint32_t, uint32_t> model;  // record ID -> version of its name and code
  std::unordered_map<uint32_t, uint32_t> keys;   // B-tree key number -> item
  std::mt19937_64 rng{20261206};
  uint64_t failures = 0;

  void fail(const char *what) {
    if (++failures <= 10)
      std::fprintf(stderr, "soak: %s failed (isam %d, B-tree %u)\n", what, *qrxiseno(), *qrxcbecd());
  }
  static std::string name_of(uint32_t id, uint32_t version) {
    // 4 to 40 letters, so that a modification may grow or shrink the record
    std::string s(4 + (id * 7 + version * 13) % 37, 'a');
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>('a' + (id + version * 31 + i * 7) % 26);
    return s;
  }
  bool values(uint32_t id, uint32_t version, const void **out, uint8_t (&idb)[4], std::string &name,
              char (&code)[8]) {
    qrxis_put_u32(idb, id);
    name = name_of(id, version);
    std::snprintf(code, sizeof code, "%07u", version % 10000000);
    code[7] = 'x';
    out[0] = idb, out[1] = name.c_str(), out[2] = id % 2 ? "Lyon" : "Oslo", out[3] = code, out[4] = nullptr;
    return true;
  }
  bool find(uint32_t id) {
    uint8_t k[4];
    qrxis_put_u32(k, id);
    const void *v[] = {k, nullptr};
    return ifindkey(db, by_id, v) == 2;
  }
  void open_all(bool create) {
    if (create) {
      db = icreate_db(base.c_str(), 1024, kFields);
      const char *id[] = {"ID,I", nullptr}, *name[] = {"NAME,C", nullptr},
                 *city[] = {"CITY,C", "ID,I", nullptr};
      if (db == nullptr || imkindex(db, "BYID,U", id) != 1 || imkindex(db, "BYNAME", name) != 1 ||
          imkindex(db, "BYCITY", city) != 1)
        fail("create");
      tree = cbcreate(tree_path.c_str(), nullptr, 1024);
    } else {
      db = iopen_db(base.c_str(), 2);
      tree = cbopen(tree_path.c_str(), 2, nullptr);
    }
    by_id = db != nullptr ? ihandle(db, "BYID") : nullptr;
    if (db == nullptr || by_id == nullptr || tree == nullptr) {
      fail("open");
      std::exit(1);
    }
  }
  void close_all() {
    if (iclose_db(db) != 1) fail("iclose_db");
    if (cbclose(tree) != 1) fail("cbclose");
    db = nullptr, tree = nullptr;
  }

  void step(uint32_t records) {
    const uint32_t id = static_cast<uint32_t>(rng() % (2 * records)) + 1;
    const uint64_t pick = rng() % 100;
    const void *v[5];
    uint8_t idb[4];
    std::string name;
    char code[8];
    if (pick < 40) {  // the record layer
      const auto it = model.find(id);
      if (it == model.end()) {
        values(id, 0, v, idb, name, code);
        if (iaddrec(db, nullptr, v) == 1)
          model[id] = 0;
        else
          fail("iaddrec");
      } else if (pick < 15) {
        if (!find(id) || idelrec(db, by_id) != 1)
          fail("idelrec");
        else
          model.erase(it);
      } else if (pick < 30) {
        values(id, it->second + 1, v, idb, name, code);
        if (!find(id) || imodrec(db, by_id, v) != 1)
          fail("imodrec");
        else
          it->second += 1;
      } else {
        void *f[5];
        uint8_t buf[128];
        if (!find(id) || igetrec(db, by_id, f, buf, sizeof buf) != 1 ||
            name_of(id, it->second) != static_cast<const char *>(f[1]))
          fail("igetrec");
      }
    } else if (pick < 45) {  // a lookup of a record that is not there
      if (model.count(id) == 0 && find(id)) fail("ifindkey of a deleted record");
    } else {  // the B-tree layer alone
      const uint32_t key = id;
      char kb[16];
      const int len = std::snprintf(kb, sizeof kb, "k%u", key);
      const auto it = keys.find(key);
      uint32_t item = 0;
      if (it == keys.end()) {
        if (cbinsert(tree, kb, static_cast<uint32_t>(len), key * 3, 0) == 1)
          keys[key] = key * 3;
        else
          fail("cbinsert");
      } else if (pick < 70) {
        if (cbdelete(tree, kb, static_cast<uint32_t>(len), it->second) == 1)
          keys.erase(it);
        else
          fail("cbdelete");
      } else if (cbfind(tree, kb, static_cast<uint32_t>(len), &item) != CBT_FOUND || item != it->second) {
        fail("cbfind");
      }
    }
  }

  // Every record read back through every index; the walk counts must match the model.
  void check_all() {
    for (const char *index : {"BYID", "BYNAME", "BYCITY", "Physical Index"}) {
      isam_index *idx = ihandle(db, index);
      uint64_t n = 0;
      for (int32_t r = ifindhead(db, idx); r == 1; r = ifindnext(db, idx)) ++n;
      if (n != model.size()) {
        std::fprintf(stderr, "soak: %s walks %llu records, the model has %zu\n", index,
                     static_cast<unsigned long long>(n), model.size());
        ++failures;
      }
    }
    uint64_t n = 0;
    uint32_t item = 0;
    for (int32_t r = cbhead(tree, &item); r == 1; r = cbnext(tree, &item)) ++n;
    if (n != keys.size()) fail("B-tree walk");
    if (cbcheck(tree) != 1) fail("cbcheck");
  }
};

}  // namespace

int main(int argc, char **argv) {
  uint64_t ops = 10000000;
  uint32_t records = 50000;
  std::string dir = "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--ops") == 0) {
      ops = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (std::strcmp(argv[i], "--records") == 0) {
      records = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
    } else if (std::strcmp(argv[i], "--dir") == 0) {
      dir = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: soak_bench [--ops N] [--dir DIR] [--records R]\n");
      return 2;
    }
  }
  if (argc % 2 == 0 || records == 0) {
    std::fprintf(stderr, "usage: soak_bench [--ops N] [--dir DIR] [--records R]\n");
    return 2;
  }
  Soak s;
  s.base = dir + "/soak-" + std::to_string(getpid());
  s.tree_path = s.base + ".tree";
  if (isaminit(2000, 1024) != 1) return 1;
  s.open_all(true);
  const auto start = std::chrono::steady_clock::now();
  long rss_base = 0;
  int fd_base = 0;
  bool flat = true;
  std::printf("%12s %10s %10s %12s %8s %8s\n", "operations", "records", "keys", "resident KiB", "fds",
              "seconds");
  for (uint64_t op = 1; op <= ops; ++op) {
    s.step(records);
    if (op % 1000000 != 0 && op != ops) continue;
    if (iflush_db(s.db) != 1 || cbflush(s.tree) != 1) s.fail("flush");
    if (op % 4000000 == 0) s.close_all(), s.open_all(false);
    const long rss = resident_kib();
    const int fds = open_descriptors();
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%12llu %10zu %10zu %12ld %8d %8.1f\n", static_cast<unsigned long long>(op), s.model.size(),
                s.keys.size(), rss, fds, secs);
    std::fflush(stdout);
    if (op == 1000000 || (rss_base == 0 && op == ops)) {
      rss_base = rss, fd_base = fds;
    } else if (rss > rss_base + rss_base / 10 + 1024 || fds != fd_base) {
      flat = false;  // more than 10 % (and 1 MiB) above the first million, or descriptors changed
    }
  }
  s.check_all();
  s.close_all();
  if (iverify_db(s.base.c_str()) != 1) s.fail("iverify_db");
  isamexit();
  for (const char *ext : {".DB", ".IDX", ".tree"}) std::remove((s.base + ext).c_str());
  std::printf("soak: %s; memory and descriptors %s\n", s.failures == 0 ? "every check held" : "FAILED",
              flat ? "flat" : "NOT flat");
  return s.failures == 0 && flat ? 0 : 1;
}
