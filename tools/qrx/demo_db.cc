// demo_db.cc - the second part of `qrx demo`: a tour of the database layer. A sample database of six fields
// of five types, with a unique index on ID and a two-field index on the first four letters of CITY and on
// AMT; generated records added, found by whole and by partial key, a share deleted and a share modified,
// an index walked, an index added, used and removed, and the files cross-checked and described. Every
// step is checked against an in-memory copy of the records.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>

#include "db_tool.h"

namespace qrx::tool {

namespace {

const char *const kFields[] = {"ID,I", "NAME", "CITY", "AMT,D", "QTY,H", "CODE,C6", nullptr};
constexpr size_t kFieldCount = 6;
const char *const kCities[] = {"London", "Londonderry", "Paris",  "Parma",  "Berlin", "Bern",   "Madrid",
                               "Milan",  "Oslo",        "Osaka",  "Lisbon", "Lima",   "Vienna", "Vilnius",
                               "Rome",   "Rotterdam",   "Dublin", "Dubai",  "Prague", "Porto"};
constexpr size_t kCityCount = std::size(kCities);

struct Rec {
  int32_t id = 0;
  std::string name, city;
  double amt = 0;
  int16_t qty = 0;
  std::string code;
};
using Model = std::map<int32_t, Rec>;

// A record's values in their stored form, and the pointers iaddrec and imodrec take.
struct Stored {
  explicit Stored(const Rec &r) {
    v[0].resize(4), qrxis_put_i32(v[0].data(), r.id);
    v[1] = r.name + '\0';
    v[2] = r.city + '\0';
    v[3].resize(8), qrxis_put_f64(v[3].data(), r.amt);
    v[4].resize(2), qrxis_put_i16(v[4].data(), r.qty);
    v[5] = r.code;
    for (size_t i = 0; i < kFieldCount; ++i) ptrs[i] = v[i].data();
  }
  Stored(const Stored &) = delete;
  Stored &operator=(const Stored &) = delete;
  // The record read back holds these values.
  bool same(const std::vector<void *> &fields) const {
    for (size_t i = 0; i < kFieldCount; ++i)
      if (fields[i] == nullptr || std::memcmp(fields[i], v[i].data(), v[i].size()) != 0) return false;
    return true;
  }
  std::string v[kFieldCount];
  const void *ptrs[kFieldCount + 1] = {};
};

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string lower4(const std::string &s) {
  return lower(s.substr(0, 4));
}

struct Tour {
  isam_db *db = nullptr;
  Model model;
  std::vector<uint8_t> buf;
  std::vector<void *> fields;

  bool read(isam_index *idx) { return read_current(db, idx, buf, fields, kFieldCount) == 1; }
  int32_t current_id() const { return qrxis_get_i32(fields[0]); }
  // Positions BYID on a record; true when it is there.
  bool find_id(isam_index *byid, int32_t id) {
    char key[4];
    qrxis_put_i32(key, id);
    const void *vals[] = {key, nullptr};
    return ifindkey(db, byid, vals) == 2;
  }
  // Counts the records whose key begins with vals, checking each against the model; -1 on a mismatch.
  int64_t count_matching(isam_index *idx, const void *const *vals) {
    int64_t n = 0;
    if (ifindkey(db, idx, vals) == -1) return -1;
    for (int32_t r = 1; r == 1 && imatchkey(db, idx, vals) == 1; r = ifindnext(db, idx), ++n) {
      const auto it = read(idx) ? model.find(current_id()) : model.end();
      if (it == model.end() || !Stored(it->second).same(fields)) return -1;
    }
    return n;
  }
};

}  // namespace

int demo_database(const std::string &dir, uint32_t records, uint32_t blksize, uint64_t seed) {
  const std::string name = (std::filesystem::path(dir) / "sample").string();
  std::error_code ec;
  for (const std::string &f : {data_file_name(name), index_file_name(name), index_file_name(name) + ".old"})
    std::filesystem::remove(f, ec);
  std::printf("qrx demo 2/3, a database: %u records into %s (%u-byte index blocks)\n\n", records,
              name.c_str(), blksize);
  bool ok = true;
  {
    IsamSession session(blksize);
    if (!session.ok()) return 1;
    Tour t;
    Gen gen(seed);
    isam_index *byid = nullptr, *bycity = nullptr;
    {
      Step step("create the database");
      const char *const by_id[] = {"ID,I", nullptr}, *const by_city[] = {"CITY:0,4", "AMT,D", nullptr};
      t.db = icreate_db(name.c_str(), static_cast<int32_t>(blksize), kFields);
      ok = t.db != nullptr && imkindex(t.db, "BYID,U", by_id) == 1 &&
           imkindex(t.db, "BYCITY", by_city) == 1 && (byid = ihandle(t.db, "BYID")) != nullptr &&
           (bycity = ihandle(t.db, "BYCITY")) != nullptr;
      ok =
          step.done(ok, ok ? "fields ID,I NAME CITY AMT,D QTY,H CODE,C6; BYID,U = ID, BYCITY = CITY:0,4 + AMT"
                           : isam_error_text());
    }
    if (ok) {
      Step step("add records");
      Progress bar("adding", records);
      std::vector<int32_t> ids(records);
      for (uint32_t i = 0; i < records; ++i) ids[i] = static_cast<int32_t>(i + 1);
      for (uint32_t i = records; i > 1; --i) std::swap(ids[i - 1], ids[gen.next() % i]);  // in random order
      std::string why;
      for (uint32_t i = 0; i < records && why.empty(); ++i) {
        Rec r;
        r.id = ids[i];
        r.name = make_word(gen);
        r.name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(r.name[0])));
        r.city = kCities[gen.next() % kCityCount];
        r.amt = static_cast<double>(gen.next() % 10000000) / 100.0;
        r.qty = static_cast<int16_t>(gen.next() % 1000);
        for (int c = 0; c < 6; ++c) r.code += static_cast<char>('A' + gen.next() % 26);
        if (iaddrec(t.db, nullptr, Stored(r).ptrs) != 1) why = "iaddrec failed: " + isam_error_text();
        t.model.emplace(r.id, r);
        if (i % 1024 == 0) bar.update(i);
      }
      bar.finish();
      ok = step.done(why.empty(),
                     why.empty() ? std::to_string(records) + " records through both indexes" : why);
    }
    if (ok) {
      Step step("find by whole key");
      uint32_t n = 0;
      for (; n < 1000 && ok; ++n) {
        const auto it = t.model.find(static_cast<int32_t>(gen.next() % records + 1));
        ok = t.find_id(byid, it->first) && t.read(byid) && Stored(it->second).same(t.fields);
      }
      ok = step.done(
          ok, ok ? std::to_string(n) + " records found by ID in BYID" : "a record was not found whole");
    }
    if (ok) {
      Step step("find by partial key");
      std::string detail;
      for (const char *prefix : {"Lond", "pari", "BERN", "Osak"}) {
        const std::string stored = std::string(prefix) + '\0';
        const void *vals[] = {stored.data(), nullptr};
        const int64_t want = std::count_if(t.model.begin(), t.model.end(), [&](const auto &kv) {
          return lower4(kv.second.city) == lower4(prefix);
        });
        const int64_t got = t.count_matching(bycity, vals);
        ok = ok && got == want;
        detail += (detail.empty() ? "" : ", ") + std::string(prefix) + " " + std::to_string(got);
      }
      ok = step.done(ok, "records by CITY's first letters in BYCITY: " + detail);
    }
    if (ok) {
      Step step("delete every fifth record");
      std::string why;
      uint64_t n = 0;
      for (auto it = t.model.begin(); it != t.model.end() && why.empty();) {
        if (it->first % 5 != 0) {
          ++it;
          continue;
        }
        if (!t.find_id(byid, it->first) || idelrec(t.db, byid) != 1)
          why = "deleting ID " + std::to_string(it->first) + " failed: " + isam_error_text();
        it = t.model.erase(it);
        ++n;
      }
      ok = step.done(why.empty(),
                     why.empty() ? std::to_string(n) + " records deleted, their space holes" : why);
    }
    if (ok) {
      Step step("modify every seventh record");
      std::string why;
      uint64_t n = 0;
      for (auto &[id, r] : t.model) {
        if (id % 7 != 3 || !why.empty()) continue;
        r.city = kCities[(gen.next() % kCityCount)];
        r.amt += 0.5;
        r.name += "son";  // longer: the record moves into a hole or to the end of the file
        if (!t.find_id(byid, id) || imodrec(t.db, byid, Stored(r).ptrs) != 1)
          why = "modifying ID " + std::to_string(id) + " failed: " + isam_error_text();
        ++n;
      }
      ok = step.done(why.empty(),
                     why.empty() ? std::to_string(n) + " records given a new name, city and amount" : why);
    }
    if (ok) {
      Step step("walk an index");
      Progress bar("walking", t.model.size());
      uint64_t n = 0;
      std::pair<std::string, double> last{"", -1e300};
      for (int32_t r = ifindhead(t.db, bycity); r == 1 && ok; r = ifindnext(t.db, bycity), ++n) {
        const auto it = t.read(bycity) ? t.model.find(t.current_id()) : t.model.end();
        ok = it != t.model.end() && Stored(it->second).same(t.fields);
        const std::pair<std::string, double> key{lower4(ok ? it->second.city : ""), ok ? it->second.amt : 0};
        ok = ok && !(key < last);
        last = key;
        if (n % 1024 == 0) bar.update(n);
      }
      bar.finish();
      ok = step.done(ok && n == t.model.size(),
                     std::to_string(n) + " records in BYCITY's order, each as it should be");
    }
    isam_index *byname = nullptr;
    if (ok) {
      Step step("add an index");
      const char *const specs[] = {"NAME", "ID,I", nullptr};
      ok = imkindex(t.db, "BYNAME", specs) == 1 && (byname = ihandle(t.db, "BYNAME")) != nullptr;
      uint64_t n = 0;
      for (int32_t r = ok ? ifindhead(t.db, byname) : -1; r == 1; r = ifindnext(t.db, byname)) ++n;
      ok = step.done(ok && n == t.model.size(),
                     "BYNAME = NAME + ID, filled with " + std::to_string(n) + " entries");
    }
    if (ok) {
      Step step("find by the new index");
      std::map<std::string, int64_t> per_name;  // NAME is a case-insensitive text
      for (const auto &kv : t.model) ++per_name[lower(kv.second.name)];
      uint64_t names = 0, found = 0;
      for (auto it = t.model.begin(); it != t.model.end() && ok && names < 100; ++it, ++names) {
        const std::string stored = it->second.name + '\0';
        const void *vals[] = {stored.data(), nullptr};
        const int64_t got = t.count_matching(byname, vals);
        ok = got == per_name[lower(it->second.name)];
        found += static_cast<uint64_t>(std::max<int64_t>(got, 0));
      }
      ok = step.done(ok,
                     std::to_string(found) + " records under " + std::to_string(names) + " names in BYNAME");
    }
    if (ok) {
      Step step("remove the index");
      ok = irmindex(t.db, "BYNAME") == 1 && ihandle(t.db, "BYNAME") == nullptr;
      take_library_lines();
      ok = step.done(ok, ok ? "BYNAME and its entries are gone" : isam_error_text());
    }
    if (t.db != nullptr) {
      Step step("close");
      const bool closed = iclose_db(t.db) == 1;
      ok = step.done(closed,
                     closed ? data_file_name(name) + ", " + index_file_name(name) : isam_error_text()) &&
           ok;
    }
    if (ok) {
      Step step("verify with the cross-check");
      CrossCheck c;
      ok = cross_check(name, false, c) && c.findings.empty() && c.records == t.model.size();
      for (const std::string &f : c.findings) std::printf("  %s\n", f.c_str());
      ok = step.done(ok, std::to_string(c.records) + " records, " + std::to_string(c.holes) + " holes, " +
                             std::to_string(c.entries) + " entries: " + (ok ? "clean" : "NOT clean"));
    }
  }
  if (!ok) return 1;
  std::printf("\n");
  return cmd_db_stat(name);
}

}  // namespace qrx::tool
