// stress.h - threads changing every storage layer at once through the public C entry points, each thread
// in a range of keys of its own so that its own model in memory says exactly what the files must hold.
//
// For each layer two shapes run: all threads on one file (one index file through a handle each, one
// database through a private index each, one keyed file through an open each, one user-storage space),
// and each thread on a file of its own. While the threads run, each one checks what only it changes (its
// reads, and walks that must meet exactly its own entries among everyone else's); after they are joined
// the files are held against the joined models and verified. Used by stress_bench (release build, large
// counts) and by a thread test (small counts, under the sanitizers).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qrxcb.h"
#include "qrxis.h"
#include "qrxky.h"
#include "qrxus.h"

namespace qrx::stress {

enum class Layer { kBtree, kIsam, kKeyed, kUser };
enum class Shape { kOneFile, kFileEach };

struct Result {
  Layer layer;
  Shape shape;
  int threads = 0;
  uint64_t operations = 0;
  uint64_t failures = 0;  // checks that did not hold, during the run and after it
  double seconds = 0;
  std::string first_failure;
};

inline const char *layer_name(Layer l) {
  switch (l) {
    case Layer::kBtree:
      return "B-tree";
    case Layer::kIsam:
      return "ISAM";
    case Layer::kKeyed:
      return "keyed files";
    case Layer::kUser:
      return "user storage";
  }
  return "?";
}

// Failed checks of one run, from any thread; the first one's text is kept.
class Checks {
 public:
  void expect(bool ok, const std::string &what) {
    if (ok) return;
    if (failures_.fetch_add(1) == 0) {
      std::lock_guard<std::mutex> g(mutex_);
      first_ = what;
    }
  }
  uint64_t failures() const { return failures_.load(); }
  std::string first() {
    std::lock_guard<std::mutex> g(mutex_);
    return first_;
  }

 private:
  std::atomic<uint64_t> failures_{0};
  std::mutex mutex_;
  std::string first_;
};

// Keys per thread: a thread's numbers are thread * kSpan + 0 .. kKeys - 1.
inline constexpr uint32_t kSpan = 100000, kKeys = 1500;

// ---- B-tree: keys "kNNNNNNN" with item = the number * 2 + a version bit ------------------------------

inline std::string tree_key(uint32_t n) {
  char b[16];
  std::snprintf(b, sizeof b, "k%07u", n);
  return b;
}

inline void tree_worker(cbt_tree *t, int tid, uint64_t ops, std::map<uint32_t, uint32_t> &model, Checks &c) {
  std::mt19937 rng(static_cast<uint32_t>(tid) * 7919u + 1);
  const uint32_t base = static_cast<uint32_t>(tid) * kSpan;
  for (uint64_t op = 0; op < ops; ++op) {
    if (op % 1000 == 999) {  // a walk of the whole tree meets each of this thread's entries once
      size_t mine = 0;
      uint32_t item = 0;
      for (int32_t r = cbhead(t, &item); r == 1; r = cbnext(t, &item)) {
        const uint32_t n = item / 2;
        if (n < base || n >= base + kSpan) continue;
        const auto it = model.find(n);
        c.expect(it != model.end() && it->second == item,
                 "B-tree walk met an entry its thread does not have");
        ++mine;
      }
      c.expect(mine == model.size(), "B-tree walk missed entries of its thread");
    }
    const uint32_t n = base + rng() % kKeys;
    const std::string k = tree_key(n);
    const auto len = static_cast<uint32_t>(k.size());
    const auto it = model.find(n);
    uint32_t item = 0;
    if (it == model.end()) {
      c.expect(cbinsert(t, k.data(), len, n * 2, 0) == 1, "cbinsert");
      model[n] = n * 2;
    } else if (rng() % 3 == 0) {
      c.expect(cbdelete(t, k.data(), len, it->second) == 1, "cbdelete");
      model.erase(it);
    } else if (rng() % 2 == 0) {
      const uint32_t next = it->second ^ 1;
      c.expect(cbmodify(t, k.data(), len, it->second, k.data(), len, next, 0) == 1, "cbmodify");
      it->second = next;
    } else {
      c.expect(cbfind(t, k.data(), len, &item) == CBT_FOUND && item == it->second, "cbfind");
    }
  }
}

inline void tree_check(cbt_tree *t, const std::map<uint32_t, uint32_t> &all, Checks &c) {
  size_t n = 0;
  uint32_t item = 0, last = 0;
  for (int32_t r = cbhead(t, &item); r == 1; r = cbnext(t, &item), ++n) {
    c.expect(n == 0 || item / 2 > last, "B-tree walk out of order");
    last = item / 2;
    const auto it = all.find(item / 2);
    c.expect(it != all.end() && it->second == item, "B-tree holds an entry no thread made");
  }
  c.expect(n == all.size(), "B-tree lost entries");
  c.expect(cbcheck(t) == 1, "cbcheck");
}

// ---- ISAM: records (ID, NAME, CODE) under BYID (unique), BYNAME and BYCODE+ID ---------------------------

struct IsamRec {
  std::string name, code;
};

inline const char *const kIsamFields[] = {"ID,I", "NAME,C", "CODE,C8", nullptr};

inline isam_db *isam_make(const std::string &base) {
  isam_db *db = icreate_db(base.c_str(), 1024, kIsamFields);
  const char *id[] = {"ID,I", nullptr}, *name[] = {"NAME,C", nullptr}, *code[] = {"CODE,C8", "ID,I", nullptr};
  if (db != nullptr && (imkindex(db, "BYID,U", id) != 1 || imkindex(db, "BYNAME", name) != 1 ||
                        imkindex(db, "BYCODE", code) != 1))
    return nullptr;
  return db;
}

// Finds the record of id through idx (positioning it there); true when found.
inline bool isam_find(isam_db *db, isam_index *idx, uint32_t id) {
  uint8_t k[4];
  qrxis_put_u32(k, id);
  const void *v[] = {k, nullptr};
  return ifindkey(db, idx, v) == 2;
}

// Reads the record of id through idx and compares it with r.
inline bool isam_holds(isam_db *db, isam_index *idx, uint32_t id, const IsamRec &r) {
  void *f[4];
  uint8_t buf[128];
  return isam_find(db, idx, id) && igetrec(db, idx, f, buf, sizeof buf) == 1 && qrxis_get_u32(f[0]) == id &&
         r.name == static_cast<const char *>(f[1]) && std::memcmp(f[2], r.code.data(), 8) == 0;
}

inline void isam_worker(isam_db *db, int tid, uint64_t ops, std::map<uint32_t, IsamRec> &model, Checks &c) {
  isam_index *mine = iopen_index(db, "BYID");  // a cursor of this thread's own
  c.expect(mine != nullptr, "iopen_index");
  if (mine == nullptr) return;
  std::mt19937 rng(static_cast<uint32_t>(tid) * 104729u + 3);
  const uint32_t base = static_cast<uint32_t>(tid) * kSpan;
  for (uint64_t op = 0; op < ops; ++op) {
    const uint32_t id = base + rng() % kKeys;
    IsamRec r;
    r.name = std::string(1 + rng() % 40, static_cast<char>('a' + rng() % 26));  // grows and shrinks records
    char code[9];
    std::snprintf(code, sizeof code, "%08u", static_cast<unsigned>(rng() % 100000000));
    r.code.assign(code, 8);
    uint8_t idb[4];
    qrxis_put_u32(idb, id);
    const void *v[] = {idb, r.name.c_str(), r.code.data(), nullptr};
    const auto it = model.find(id);
    if (it == model.end()) {
      c.expect(iaddrec(db, rng() % 2 ? mine : nullptr, v) == 1, "iaddrec");
      model[id] = r;
    } else if (rng() % 4 == 0) {
      c.expect(isam_find(db, mine, id) && idelrec(db, mine) == 1, "idelrec");
      model.erase(it);
    } else if (rng() % 2 == 0) {
      c.expect(isam_find(db, mine, id) && imodrec(db, mine, v) == 1, "imodrec");
      it->second = r;
    } else {
      c.expect(isam_holds(db, mine, id, it->second), "igetrec gave another record");
    }
  }
  c.expect(iclose_index(db, mine) == 1, "iclose_index");
}

inline void isam_check(isam_db *db, const std::map<uint32_t, IsamRec> &all, Checks &c) {
  for (const char *name : {"BYID", "BYNAME", "BYCODE", "Physical Index"}) {
    isam_index *idx = ihandle(db, name);
    size_t n = 0;
    for (int32_t r = ifindhead(db, idx); r == 1; r = ifindnext(db, idx)) ++n;
    c.expect(n == all.size(), std::string("index ") + name + " walks another number of records");
  }
  isam_index *by_id = ihandle(db, "BYID");
  for (const auto &[id, r] : all) c.expect(isam_holds(db, by_id, id, r), "a record differs after the run");
}

// ---- keyed files: records of 32 bytes (ID,I  NAME,C20  BAL,D) keyed by ID ------------------------------

inline std::string keyed_rec(uint32_t id, uint32_t version) {
  std::string r(32, ' ');
  qrxis_put_u32(r.data(), id);
  const std::string name = "n" + std::to_string(id) + "v" + std::to_string(version);
  r.replace(4, name.size(), name);
  qrxis_put_f64(r.data() + 24, version * 0.5);
  return r;
}

inline bool keyed_make(const std::string &base) {
  const char *fields[] = {"ID,I", "NAME,C20", "BAL,D", nullptr}, *id[] = {"ID,I", nullptr};
  isam_db *db = icreate_db(base.c_str(), 1024, fields);
  return db != nullptr && imkindex(db, "PrimaryIndex,U", id) == 1 && iclose_db(db) == 1;
}

inline void keyed_worker(const std::string &base, int tid, uint64_t ops, std::map<uint32_t, uint32_t> &model,
                         Checks &c) {
  KeyHandle f{};
  uint32_t reason = 0;
  c.expect(OpenKeyedFile(base.c_str(), static_cast<int32_t>(base.size()), 1, &f, &reason) == 0,
           "OpenKeyedFile");
  std::mt19937 rng(static_cast<uint32_t>(tid) * 15485863u + 5);
  const uint32_t base_id = static_cast<uint32_t>(tid) * kSpan;
  char buf[32];
  int32_t len = 0;
  for (uint64_t op = 0; op < ops; ++op) {
    const uint32_t id = base_id + rng() % kKeys;
    const std::string k = keyed_rec(id, 0).substr(0, 4);
    const auto it = model.find(id);
    if (it == model.end()) {
      c.expect(AddRecord(f, k.data(), 4, keyed_rec(id, 0).data(), 32) == 0, "AddRecord");
      model[id] = 0;
    } else if (rng() % 4 == 0) {
      c.expect(DeleteByKey(f, k.data(), 4) == 0, "DeleteByKey");
      model.erase(it);
    } else if (rng() % 2 == 0) {
      c.expect(UpdateByKey(f, k.data(), 4, keyed_rec(id, it->second + 1).data(), 32) == 0, "UpdateByKey");
      it->second += 1;
    } else {
      c.expect(ReadByKey(f, k.data(), 4, buf, 32, &len) == 0 && len == 32 &&
                   std::memcmp(buf, keyed_rec(id, it->second).data(), 32) == 0,
               "ReadByKey gave another record");
    }
  }
  c.expect(CloseFile(f, &reason) == 0, "CloseFile");
}

inline void keyed_check(const std::string &base, const std::map<uint32_t, uint32_t> &all, Checks &c) {
  KeyHandle f{}, cur{};
  uint32_t reason = 0;
  if (OpenKeyedFile(base.c_str(), static_cast<int32_t>(base.size()), 0, &f, &reason) != 0) {
    c.expect(false, "OpenKeyedFile after the run");
    return;
  }
  c.expect(OpenCursor(f, QRXKY_KEY_HEAD, 0, &cur) == 0, "OpenCursor");
  auto it = all.begin();
  char buf[32];
  int32_t len = 0;
  for (; ReadNext(cur, 0, buf, 32, &len) == 0; ++it)
    c.expect(it != all.end() && std::memcmp(buf, keyed_rec(it->first, it->second).data(), 32) == 0,
             "a cursor read another record after the run");
  c.expect(it == all.end(), "a cursor read fewer records than were left");
  c.expect(CloseCursor(cur, &reason) == 0 && CloseFile(f, &reason) == 0, "closing after the run");
}

// ---- user storage: attributes "aTTNNNN" with values "vNNNN.version" ----------------------------------

inline void user_worker(UsrHandle space, int tid, uint64_t ops, std::map<std::string, std::string> &model,
                        Checks &c) {
  std::mt19937 rng(static_cast<uint32_t>(tid) * 32452843u + 7);
  for (uint64_t op = 0; op < ops; ++op) {
    char nb[16];
    std::snprintf(nb, sizeof nb, "a%02d%04u", tid, static_cast<unsigned>(rng() % kKeys));
    const std::string name = nb;
    const UsrDescriptor dn{name.data(), 0, static_cast<uint16_t>(name.size())};
    const auto it = model.find(name);
    UsrDescriptor got{};
    if (it == model.end()) {
      const std::string value = "v" + name + "." + std::to_string(op);
      const UsrDescriptor dv{value.data(), 0, static_cast<uint16_t>(value.size())};
      c.expect(qrxussa(space, &dn, &dv) == QRXUS_OK, "qrxussa");
      model[name] = value;
    } else if (rng() % 3 == 0) {
      c.expect(qrxusfa(space, &dn) == QRXUS_OK, "qrxusfa");
      model.erase(it);
    } else {
      c.expect(qrxusgs(space, &dn, &got) == QRXUS_OK && got.length == it->second.size() &&
                   std::memcmp(got.bytes, it->second.data(), got.length) == 0,
               "qrxusgs gave another value");
    }
  }
}

// ---- one run -----------------------------------------------------------------------------------------

// Runs `threads` threads of `ops` operations each on `layer` in `shape`, with files under `dir` (a name of
// its own per run). The ISAM layer (and with it the B-tree layer) must be initialised by the caller.
inline Result run(Layer layer, Shape shape, int threads, uint64_t ops, const std::string &dir) {
  Result res{layer, shape, threads, ops * static_cast<uint64_t>(threads), 0, 0, {}};
  Checks c;
  const bool one = shape == Shape::kOneFile;
  const std::string stem =
      dir + "/stress-" + std::to_string(static_cast<int>(layer)) + (one ? "-one" : "-each");
  auto path = [&](int t) { return one ? stem : stem + "-" + std::to_string(t); };
  const int files = one ? 1 : threads;
  std::vector<std::thread> pool;
  const auto start = std::chrono::steady_clock::now();
  switch (layer) {
    case Layer::kBtree: {
      std::vector<cbt_tree *> made(static_cast<size_t>(files)), handles(static_cast<size_t>(threads));
      for (int i = 0; i < files; ++i) made[size_t(i)] = cbcreate(path(i).c_str(), nullptr, 1024);
      for (int t = 0; t < threads; ++t) handles[size_t(t)] = cbopen(path(t).c_str(), 2, nullptr);
      std::vector<std::map<uint32_t, uint32_t>> models(static_cast<size_t>(threads));
      for (int t = 0; t < threads; ++t) {
        c.expect(made[size_t(one ? 0 : t)] != nullptr && handles[size_t(t)] != nullptr, "cbcreate or cbopen");
        if (handles[size_t(t)] != nullptr)
          pool.emplace_back([&, t] { tree_worker(handles[size_t(t)], t, ops, models[size_t(t)], c); });
      }
      for (auto &th : pool) th.join();
      res.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      for (int i = 0; i < files; ++i) {
        std::map<uint32_t, uint32_t> all;
        for (int t = 0; t < threads; ++t)
          if (one || t == i) all.insert(models[size_t(t)].begin(), models[size_t(t)].end());
        if (made[size_t(i)] != nullptr) tree_check(made[size_t(i)], all, c);
      }
      for (cbt_tree *h : handles)
        if (h != nullptr) c.expect(cbclose(h) == 1, "cbclose");
      for (cbt_tree *h : made)
        if (h != nullptr) c.expect(cbclose(h) == 1, "cbclose");
      break;
    }
    case Layer::kIsam: {
      std::vector<isam_db *> dbs(static_cast<size_t>(files));
      for (int i = 0; i < files; ++i)
        c.expect((dbs[size_t(i)] = isam_make(path(i))) != nullptr, "icreate_db");
      std::vector<std::map<uint32_t, IsamRec>> models(static_cast<size_t>(threads));
      for (int t = 0; t < threads; ++t)
        if (isam_db *db = dbs[size_t(one ? 0 : t)])
          pool.emplace_back([&, t, db] { isam_worker(db, t, ops, models[size_t(t)], c); });
      for (auto &th : pool) th.join();
      res.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      for (int i = 0; i < files; ++i) {
        std::map<uint32_t, IsamRec> all;
        for (int t = 0; t < threads; ++t)
          if (one || t == i) all.insert(models[size_t(t)].begin(), models[size_t(t)].end());
        if (dbs[size_t(i)] == nullptr) continue;
        isam_check(dbs[size_t(i)], all, c);
        c.expect(iclose_db(dbs[size_t(i)]) == 1, "iclose_db");
        c.expect(iverify_db(path(i).c_str()) == 1, "iverify_db after the run");
      }
      break;
    }
    case Layer::kKeyed: {
      bool made = true;
      for (int i = 0; i < files; ++i) made = made && keyed_make(path(i));
      c.expect(made, "making the keyed files");
      std::vector<std::map<uint32_t, uint32_t>> models(static_cast<size_t>(threads));
      if (made)
        for (int t = 0; t < threads; ++t)
          pool.emplace_back([&, t] { keyed_worker(path(t), t, ops, models[size_t(t)], c); });
      for (auto &th : pool) th.join();
      res.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      for (int i = 0; i < files && made; ++i) {
        std::map<uint32_t, uint32_t> all;
        for (int t = 0; t < threads; ++t)
          if (one || t == i) all.insert(models[size_t(t)].begin(), models[size_t(t)].end());
        keyed_check(path(i), all, c);
        c.expect(iverify_db(path(i).c_str()) == 1, "iverify_db of a keyed file after the run");
      }
      break;
    }
    case Layer::kUser: {
      std::vector<UsrHandle> spaces(static_cast<size_t>(files));
      int32_t status = 0;
      for (int i = 0; i < files; ++i) {
        const std::string name = "stress-space-" + std::to_string(i);
        const UsrDescriptor dn{name.data(), 0, static_cast<uint16_t>(name.size())};
        c.expect(qrxuscu(&dn, &spaces[size_t(i)], &status) == QRXUS_OK, "qrxuscu");
      }
      std::vector<std::map<std::string, std::string>> models(static_cast<size_t>(threads));
      for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] { user_worker(spaces[size_t(one ? 0 : t)], t, ops, models[size_t(t)], c); });
      for (auto &th : pool) th.join();
      res.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      for (int t = 0; t < threads; ++t)
        for (const auto &[name, value] : models[size_t(t)]) {
          const UsrDescriptor dn{name.data(), 0, static_cast<uint16_t>(name.size())};
          UsrDescriptor got{};
          c.expect(qrxusgs(spaces[size_t(one ? 0 : t)], &dn, &got) == QRXUS_OK &&
                       got.length == value.size() && std::memcmp(got.bytes, value.data(), got.length) == 0,
                   "an attribute differs after the run");
        }
      for (UsrHandle s : spaces) c.expect(qrxusdu(s, &status) == QRXUS_OK, "qrxusdu");
      break;
    }
  }
  res.failures = c.failures();
  res.first_failure = c.first();
  return res;
}

}  // namespace qrx::stress
