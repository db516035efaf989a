// Keys: entry and search keys built from fields (segments included), the order of every kind of key of
// an index file, and imatchkey / ipartialmatch on a positioned index. The indexes are real: their
// descriptions are read from the index file when the database opens.
#include <cmath>
#include <limits>

#include "isam_fixture.h"

namespace {

using namespace isamtest;
using qrx::isam::I_compare;

std::string k(int number, const std::string &rest) {
  return std::string(1, char(number)) + rest;
}

struct KeysTest : IsamTest {
  isam_db *db = nullptr;
  std::string idxfile;
  void SetUp() override {
    const std::string name = made("keys", {"NAME", "CNAME,C", "ID,I", "U,U", "H,H", "F,F", "D,D", "CODE,C3"});
    idxfile = name + ".IDX";
    const std::vector<std::vector<std::string>> descs = {{"BYNAME", "NAME", "ID,I"},
                                                         {"BYSEG", "name:0,3"},
                                                         {"BYSTART", "NAME:10,3"},
                                                         {"CNAME", "CNAME,C"},
                                                         {"ID", "ID,I"},
                                                         {"U", "U,U"},
                                                         {"H", "H,H"},
                                                         {"F", "F,F"},
                                                         {"D", "D,D"},
                                                         {"CODE", "CODE,C3", "ID,I"},
                                                         {"MIXSEG", "ID,I", "NAME:2"}};
    for (size_t i = 0; i < descs.size(); ++i)
      add_index(idxfile, descs[i][0], {descs[i].begin() + 1, descs[i].end()}, uint32_t(i + 1));
    ASSERT_NE(db = iopen_db(name.c_str(), 2), nullptr);
    ASSERT_EQ(db->nindexes, 12);
  }
  Index *index(const char *name) {
    Index *idx = ihandle(db, name);
    EXPECT_NE(idx, nullptr) << name;
    return idx;
  }
};

TEST_F(KeysTest, CompareOrdersEveryKindOfKey) {
  const float fnan = std::numeric_limits<float>::quiet_NaN(), finf = INFINITY;
  const double dnan = std::numeric_limits<double>::quiet_NaN(), dinf = INFINITY;
  const std::pair<std::string, std::string> less[] = {
      {k(1, z("a_b")), k(1, z("aab"))},  // I_STRING: lower-case order, '_' below 'a'
      {k(1, z("a_b")), k(1, z("aAb"))},
      {k(4, z("Apple")), k(4, z("apple"))},  // I_CSTRING: byte order
      {k(4, z("aAb")), k(4, z("a_b"))},
      {k(4, z("a_b")), k(4, z("aab"))},
      {k(1, z("Smith")), k(1, z("Smith") + be32(-5))},  // a partial key before the keys it begins
      {k(1, z("Smit") + be32(9)), k(1, z("Smith"))},    // and after those whose NAME sorts before
      {k(1, z("Smith") + be32(-1)), k(1, z("smith") + be32(1))},
      {k(1, ""), k(1, z("") + be32(INT32_MIN))},  // the index number alone: first of its index
      {k(1, z("zzz")), k(2, "")},                 // after every entry of a smaller number
      {k(5, be32(-1)), k(5, be32(1))},
      {k(6, be32(1)), k(6, be32(0x80000000u))},  // I_UNSIGNED
      {k(6, be32(0x7fffffffu)), k(6, be32(4294967295u))},
      {k(7, be16(-2)), k(7, be16(1))},
      {k(7, be16(-32768)), k(7, be16(32767))},
      {k(8, f32(-finf)), k(8, f32(-1e30f))},
      {k(8, f32(-2.5f)), k(8, f32(1.5f))},
      {k(8, f32(finf)), k(8, f32(fnan))},  // NaN above every number, negative NaNs too
      {k(8, f32(-finf)), k(8, f32(-fnan))},
      {k(9, f64(-dinf)), k(9, f64(-1e300))},
      {k(9, f64(1.0)), k(9, f64(1.0000000000000002))},
      {k(9, f64(dinf)), k(9, f64(dnan))},
      {k(9, f64(-dinf)), k(9, f64(-dnan))},
      {k(10, "abc" + be32(1)), k(10, "abc" + be32(2))},  // I_CHAR: its declared bytes, then the next field
      {k(10, "abC" + be32(2)), k(10, "abc" + be32(1))},
      {k(0xFE, be32(-1)), k(0xFE, be32(1))},           // offset holes: signed
      {k(0xFF, be32(1)), k(0xFF, be32(0xffffffffu))},  // size holes: unsigned
      {k(0xFE, be32(0x7fffffff)), k(0xFF, be32(0))},
      {k(12, z("x")), k(0xFE, be32(0))},
      {k(0, z("a")), k(0, z("B"))},  // descriptions: names without regard to case
      {k(0, z("Physical Index")), k(1, "")},
  };
  const std::pair<std::string, std::string> equal[] = {
      {k(1, z("apple") + be32(1)), k(1, z("Apple") + be32(1))},
      {k(8, f32(fnan)), k(8, f32(fnan))},
      {k(8, f32(-fnan)), k(8, f32(fnan))},
      {k(8, f32(-0.0f)), k(8, f32(0.0f))},
      {k(9, f64(-dnan)), k(9, f64(dnan))},
      {k(9, f64(-0.0)), k(9, f64(0.0))},
      {k(10, "abc" + be32(1) + "tail"), k(10, "abc" + be32(1))},  // bytes behind the last key field
      {k(0, z("byname") + z("NAME")), k(0, z("BYNAME") + z("ID,I"))},
  };
  *qrxiscdb() = db;
  auto cmp = [](const std::string &a, const std::string &b) {
    return I_compare(a.data(), uint32_t(a.size()), b.data(), uint32_t(b.size()));
  };
  for (const auto &[a, b] : less) EXPECT_TRUE(cmp(a, b) == -1 && cmp(b, a) == 1) << testing::PrintToString(a);
  for (const auto &[a, b] : equal) EXPECT_TRUE(cmp(a, b) == 0 && cmp(b, a) == 0) << testing::PrintToString(a);
}

TEST_F(KeysTest, EntryAndSearchKeysFromFieldValues) {
  const std::string values[] = {z("Smith"), z("Smith"), be32(7), be32(1), be16(2), f32(1), f64(1), "abcdef"};
  std::vector<const uint8_t *> fields;
  for (const auto &v : values) fields.push_back(reinterpret_cast<const uint8_t *>(v.data()));
  const std::pair<const char *, std::string> cases[] = {
      {"BYNAME", k(1, z("Smith") + be32(7))},  // 11 bytes
      {"BYSEG", k(2, z("Smi"))},
      {"BYSTART", k(3, z(""))},
      {"CODE", k(10, "abc" + be32(7))},
      {"MIXSEG", k(11, be32(7) + z("Sm"))},
      {"D", k(9, f64(1))},
  };
  uint8_t out[64];
  auto as_string = [&](int32_t n) {
    return n < 0 ? "-1" : std::string(reinterpret_cast<char *>(out), size_t(n));
  };
  for (const auto &[name, key] : cases) {
    Index *idx = index(name);
    EXPECT_EQ(as_string(qrx::isam::I_mkkey(idx, fields.data(), out, sizeof out)), key) << name;
    std::vector<const void *> given;
    for (int32_t f : idx->keyfields) given.push_back(fields[size_t(f)]);
    given.push_back(nullptr);
    EXPECT_EQ(as_string(qrx::isam::I_gluekey(idx, given.data(), out, sizeof out)), key) << name;
    EXPECT_EQ(as_string(qrx::isam::I_mkkey(idx, fields.data(), out, uint32_t(key.size()))), key) << name;
    EXPECT_TRUE(qrx::isam::I_mkkey(idx, fields.data(), out, uint32_t(key.size() - 1)) == -1 &&
                *qrxiseno() == 11);
  }
  fields[2] = nullptr;  // a missing value ends the key
  EXPECT_EQ(as_string(qrx::isam::I_mkkey(index("BYNAME"), fields.data(), out, sizeof out)), k(1, z("Smith")));
}

TEST_F(KeysTest, MatchesAgainstTheCurrentEntry) {
  const std::string smith = k(1, z("Smith") + be32(7)), csmith = k(4, z("Smith")), seven = be32(7),
                    eight = be32(8);
  insert_key(idxfile, smith, 100, db);
  insert_key(idxfile, csmith, 100, db);
  Index *byname = index("BYNAME"), *cname = index("CNAME");
  uint32_t item = 0;
  ASSERT_EQ(cbfind(byname->tree, smith.data(), uint32_t(smith.size()), &item), CBT_FOUND);
  ASSERT_EQ(cbfind(cname->tree, csmith.data(), uint32_t(csmith.size()), &item), CBT_FOUND);
  struct Case {
    Index *idx;
    const char *text;
    const std::string *number;
    int32_t match, partial;
  };
  const Case cases[] = {
      {byname, "Smith", &seven, 1, 1},  {byname, "smith", &seven, 1, 1}, {byname, "Smith", &eight, 0, 0},
      {byname, "Smith", nullptr, 1, 1}, {byname, "Sm", nullptr, 0, 1},   {byname, "SMI", nullptr, 0, 1},
      {byname, "", &seven, 0, 1},       {byname, "", &eight, 0, 0},      {byname, "Smithy", nullptr, 0, 0},
      {cname, "Smith", nullptr, 1, 1},  {cname, "Smi", nullptr, 0, 1},   {cname, "SMI", nullptr, 0, 0},
      {cname, "smith", nullptr, 0, 0},
  };
  for (const Case &c : cases) {
    const void *given[] = {c.text, c.number != nullptr ? c.number->data() : nullptr, nullptr};
    EXPECT_EQ(imatchkey(db, c.idx, given), c.match) << c.idx->name << " " << c.text;
    EXPECT_EQ(ipartialmatch(db, c.idx, given), c.partial) << c.idx->name << " " << c.text;
  }
  // A private index has a cursor of its own, not yet on an entry; another database's index is refused.
  Index *own = iopen_index(db, "BYNAME");
  const void *given[] = {"Smith", nullptr, nullptr};
  EXPECT_TRUE(imatchkey(db, own, given) == -1 && *qrxiseno() == 4);
  EXPECT_TRUE(ipartialmatch(db, own, given) == -1 && *qrxiseno() == 4);
  isam_db *other = iopen_db(made("other", {"NAME"}).c_str(), 1);
  EXPECT_TRUE(imatchkey(other, byname, given) == -1 && *qrxiseno() == 2);
}

}  // namespace
