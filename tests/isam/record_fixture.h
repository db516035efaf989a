// record_fixture.h - a database of five typed fields and three indexes, an in-memory model of its records,
// and a check that reads the data file and the index file on their own terms and compares both with it.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <cctype>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <tuple>

#include "isam/isam_fixture.h"

namespace isamtest {

// NAME (I_STRING), ID (I_INT, unique index 1), SCORE (I_DOUBLE), CODE (I_CSTRING), TAG (I_CHAR 3).
// Index 2 is (NAME, SCORE); index 3 holds three characters of CODE from position 2.
inline const std::vector<const char *> kFields = {"NAME", "ID,I", "SCORE,D", "CODE,C", "TAG,C3"};

struct Rec {
  std::string name;
  int32_t id = 0;
  double score = 0;
  std::string code, tag = "abc";
  std::vector<std::string> values() const { return {z(name), be32(uint32_t(id)), f64(score), z(code), tag}; }
  std::string bytes() const {
    std::string b;
    for (const auto &v : values()) b += v;
    return b;
  }
  // The entry key of the index of that kind (1 BYID, 2 BYNAME, 3 BYCODE), numbered `number` (default: the
  // kind).
  std::string key(int kind, int number = 0) const {
    const int n = number != 0 ? number : kind;
    if (kind == 1) return k(n, be32(uint32_t(id)));
    if (kind == 2) return k(n, z(name) + f64(score));
    return k(n, z(code.size() > 2 ? code.substr(2, 3) : ""));
  }
  bool operator==(const Rec &) const = default;
};

// Pointers to a record's values, alive as long as this object.
struct Values {
  std::vector<std::string> held;
  std::vector<const void *> ptrs;
  explicit Values(const Rec &r) : held(r.values()) {
    for (const auto &v : held) ptrs.push_back(v.data());
  }
  const void *const *get() const { return ptrs.data(); }
};

// The data file read on its own: records (offset -> stored bytes) and holes (offset -> size).
struct Scan {
  std::map<uint32_t, std::string> records;
  std::map<uint32_t, uint32_t> holes;
  std::string error;
};

inline Scan scan_data(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  const std::string f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto word = [&](size_t at) { return qrxis_get_i32(f.data() + at); };
  Scan s;
  for (size_t at = 8 + size_t(word(0)); at < f.size() && s.error.empty();) {
    const int32_t len = at + 4 <= f.size() ? word(at) : 0;
    const size_t n = len < 0 ? size_t(-int64_t(len)) : size_t(len);
    if (len == 0 || at + 4 + n > f.size()) s.error = "bad length word at " + std::to_string(at);
    if (len > 0) s.records[uint32_t(at)] = f.substr(at + 4, n);
    if (len < 0) s.holes[uint32_t(at)] = uint32_t(n);
    at += 4 + n;
  }
  return s;
}

// The fields of stored bytes (any slack behind them ignored).
inline Rec decode(const std::string &b) {
  Rec r;
  size_t at = b.find('\0');
  r.name = b.substr(0, at++);
  r.id = qrxis_get_i32(b.data() + at), r.score = qrxis_get_f64(b.data() + at + 4);
  at += 12;
  const size_t end = b.find('\0', at);
  r.code = b.substr(at, end - at);
  r.tag = b.substr(end + 1, 3);
  return r;
}

// Entries (key, item) of the keys that begin with `prefix`, walked through a tree of db's index file.
inline std::vector<std::pair<std::string, uint32_t>> entries(isam_db *db, cbt_tree *t, uint8_t prefix) {
  *qrxiscdb() = db;
  std::vector<std::pair<std::string, uint32_t>> out;
  uint32_t item = 0, len = 0;
  for (int32_t r = cbfind(t, &prefix, 1, &item); r >= 1; r = cbnext(t, &item)) {
    std::string key(512, '\0');
    EXPECT_EQ(cbkeylen(t, &len), 1);
    key.resize(len);
    cbkey(t, key.data(), len);
    if (uint8_t(key[0]) != prefix) break;
    out.emplace_back(key, item);
  }
  return out;
}

inline std::string lower(std::string s) {
  for (auto &c : s) c = char(std::tolower(uint8_t(c)));
  return s;
}

// How the index of that kind orders records: -1, 0 or 1 (texts in unsigned byte order, NAME without
// regard to case).
inline int key_order(int kind, const Rec &a, const Rec &b) {
  const auto rank = [kind](const Rec &r) {
    return kind == 1   ? std::make_tuple(std::string(), r.id, 0.0)
           : kind == 2 ? std::make_tuple(lower(r.name), 0, r.score)
                       : std::make_tuple(r.key(3), 0, 0.0);
  };
  const auto x = rank(a), y = rank(b);
  const auto &ux = std::get<0>(x), &uy = std::get<0>(y);
  if (ux != uy)
    return std::lexicographical_compare(ux.begin(), ux.end(), uy.begin(), uy.end(),
                                        [](char c, char d) { return uint8_t(c) < uint8_t(d); })
               ? -1
               : 1;
  const auto tx = std::tie(std::get<1>(x), std::get<2>(x)), ty = std::tie(std::get<1>(y), std::get<2>(y));
  return tx < ty ? -1 : (ty < tx ? 1 : 0);
}

// Entries the index of that kind (numbered `number`, default the kind) must hold, in order, for records
// at their offsets: equal keys in offset order.
inline std::vector<std::pair<std::string, uint32_t>> expected(int kind, const std::map<uint32_t, Rec> &at,
                                                              int number = 0) {
  std::vector<std::pair<const Rec *, uint32_t>> v;
  for (const auto &[off, r] : at) v.emplace_back(&r, off);
  std::stable_sort(v.begin(), v.end(), [&](const auto &a, const auto &b) {
    const int c = key_order(kind, *a.first, *b.first);
    return c != 0 ? c < 0 : a.second < b.second;
  });
  std::vector<std::pair<std::string, uint32_t>> out;
  for (const auto &[r, off] : v) out.emplace_back(r->key(kind, number), off);
  return out;
}

// The whole database against the model. `exact_holes`: every hole has both keys and no two holes touch
// (after an injected failure, a hole may lack its keys: then only keys without a hole are faults).
inline void check(isam_db *db, const std::map<int32_t, Rec> &model, bool exact_holes = true,
                  const std::array<int, 3> &numbers = {1, 2, 3}) {
  const Scan s = scan_data(db->datafile);
  ASSERT_EQ(s.error, "");
  std::map<int32_t, Rec> found;
  std::map<uint32_t, Rec> at;
  for (const auto &[off, b] : s.records) found[decode(b).id] = at[off] = decode(b);
  ASSERT_EQ(found.size(), s.records.size()) << "two records with one ID";
  for (const auto &[id, r] : model) {
    ASSERT_EQ(found.count(id), 1u) << "record " << id << " lost";
    ASSERT_TRUE(found.at(id) == r) << "record " << id << " differs: name " << found.at(id).name;
  }
  ASSERT_EQ(found.size(), model.size()) << "records the model does not have";
  for (int n = 1; n <= 3; ++n) {
    auto got = entries(db, db->holetree, uint8_t(numbers[size_t(n - 1)])),
         want = expected(n, at, numbers[size_t(n - 1)]);
    // NAME compares without regard to case: an entry keeps the case it was first written with.
    for (auto *v : {&got, &want})
      for (auto &e : *v)
        if (n == 2)
          e.first = lower(e.first.substr(0, e.first.find('\0'))) + e.first.substr(e.first.find('\0'));
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    ASSERT_EQ(i, want.size()) << "index " << n << " differs at entry " << i << " of " << got.size() << ": "
                              << testing::PrintToString(i < got.size() ? got[i] : got.back()) << " want "
                              << testing::PrintToString(i < want.size() ? want[i] : want.back());
    ASSERT_EQ(got.size(), want.size()) << "index " << n;
  }
  std::vector<std::pair<std::string, uint32_t>> by_offset, by_size;
  for (const auto &[off, size] : s.holes) {
    by_offset.emplace_back(k(0xFE, be32(off)), size), by_size.emplace_back(k(0xFF, be32(size)), off);
    if (exact_holes) {
      EXPECT_EQ(s.holes.count(off + size + 4), 0u) << "holes touch at " << off;
    }
  }
  std::sort(by_size.begin(), by_size.end());
  const auto fe = entries(db, db->holetree, 0xFE), ff = entries(db, db->holetree, 0xFF);
  if (exact_holes) {
    EXPECT_EQ(fe, by_offset);
    EXPECT_EQ(ff, by_size);
  }
  for (const auto &[key, item] : fe) EXPECT_EQ(s.holes.count(qrxis_get_u32(key.data() + 1)), 1u) << item;
  for (const auto &[key, item] : ff) EXPECT_EQ(s.holes.count(item), 1u) << "size key without hole";
  EXPECT_EQ(cbcheck(db->holetree), 1);
}

// Puts idx on the entry (key, off), as a positioning operation would, under the database lock.
inline void seek(isam_db *db, isam_index *idx, const std::string &key, uint32_t off) {
  std::lock_guard<std::mutex> g(db->mutex);
  *qrxiscdb() = db;
  idx->status = 1, idx->curptr = off;
  uint32_t item = off;
  if (idx->tree != nullptr) {
    ASSERT_EQ(cbfinditem(idx->tree, key.data(), uint32_t(key.size()), &item), 2);
  }
}

// The offset of the record with that ID (0 when there is none), looked up in BYID (numbered `number`).
inline uint32_t offset_of(isam_db *db, int32_t id, int number = 1) {
  std::lock_guard<std::mutex> g(db->mutex);
  *qrxiscdb() = db;
  const std::string key = k(number, be32(uint32_t(id)));
  uint32_t item = 0;
  return cbfind(db->holetree, key.data(), 5, &item) == 2 ? item : 0;
}

struct RecordTest : IsamTest {
  isam_db *db = nullptr;
  isam_index *byid = nullptr, *byname = nullptr, *bycode = nullptr;
  std::string base;
  std::array<int, 3> numbers{1, 2, 3};  // of BYID, BYNAME, BYCODE
  // A database of kFields and its three indexes, open for writing.
  void open_fresh(int32_t blocksize = 512, const std::string &name = "rec",
                  std::array<int, 3> nums = {1, 2, 3}) {
    base = made(name, kFields, blocksize);
    numbers = nums;
    add_index(base + ".IDX", "BYID,U", {"ID,I"}, uint32_t(nums[0]));
    add_index(base + ".IDX", "BYNAME", {"NAME", "SCORE,D"}, uint32_t(nums[1]));
    add_index(base + ".IDX", "BYCODE", {"CODE,C:2,3"}, uint32_t(nums[2]));
    reopen();
  }
  // The kind (1 BYID, 2 BYNAME, 3 BYCODE) of an index object; the "Physical Index" counts as BYID.
  int kind_of(const isam_index *idx) const {
    for (int n = 1; n <= 3; ++n)
      if (idx->number == numbers[size_t(n - 1)]) return n;
    return 1;
  }
  uint32_t offset(int32_t id) { return offset_of(db, id, numbers[0]); }
  void reopen() {
    db = iopen_db(base.c_str(), 2);
    ASSERT_NE(db, nullptr);
    byid = ihandle(db, "BYID"), byname = ihandle(db, "BYNAME"), bycode = ihandle(db, "BYCODE");
    ASSERT_TRUE(byid && byname && bycode);
  }
  int32_t add(const Rec &r, isam_index *idx = nullptr) { return iaddrec(db, idx, Values(r).get()); }
  // idx on the record with that ID.
  void on(isam_index *idx, const Rec &r) {
    const uint32_t off = offset(r.id);
    ASSERT_NE(off, 0u) << r.id;
    seek(db, idx, r.key(kind_of(idx), idx->tree != nullptr ? idx->number : numbers[0]), off);
  }
};

}  // namespace isamtest
