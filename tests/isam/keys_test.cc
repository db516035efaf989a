// Keys built from values, the order of every kind of key, imatchkey and ipartialmatch, on real indexes.
#include <cmath>
#include <limits>

#include "isam_fixture.h"

namespace isamtest {

struct KeysTest : IsamTest {
  isam_db *db = nullptr;
  std::string idxfile;
  void SetUp() override {
    const std::string name =
        made("keys", {"NAME", "CNAME,C", "ID,I", "U,U", "H,H", "F,F", "D,D", "CODE,C3", "L,L", "B,B2"});
    idxfile = name + ".IDX";
    // clang-format off
    const std::vector<std::vector<std::string>> descs = {
        {"BYNAME", "NAME", "ID,I"}, {"BYSEG", "name:0,3"}, {"BYSTART", "NAME:10,3"}, {"CNAME", "CNAME,C"},
        {"ID", "ID,I"}, {"U", "U,U"}, {"H", "H,H"}, {"F", "F,F"}, {"D", "D,D"}, {"CODE", "CODE,C3", "ID,I"},
        {"MIXSEG", "ID,I", "NAME:2"}, {"L", "L,L"}, {"B", "b,b2"}};  // numbers 1 to 13
    // clang-format on
    for (size_t i = 0; i < descs.size(); ++i)
      add_index(idxfile, descs[i][0], {descs[i].begin() + 1, descs[i].end()}, uint32_t(i + 1));
    ASSERT_TRUE((db = iopen_db(name.c_str(), 2)) != nullptr && db->nindexes == 14);
  }
};

// Each pair both ways round: I_STRING (index 1) in lower-case order, I_CSTRING (4) in byte order, partial
// keys first, NaN above every number, I_CHAR (10) by its declared bytes, holes, descriptions.
TEST_F(KeysTest, CompareOrdersEveryKindOfKey) {
  const float fnan = std::numeric_limits<float>::quiet_NaN(), finf = INFINITY;
  const double dnan = std::numeric_limits<double>::quiet_NaN(), dinf = INFINITY;
  // clang-format off
  const std::pair<std::string, std::string> less[] = {
      {k(1, z("a_b")), k(1, z("aab"))}, {k(1, z("a_b")), k(1, z("aAb"))}, {k(4, z("aAb")), k(4, z("a_b"))},
      {k(4, z("Apple")), k(4, z("apple"))}, {k(4, z("a_b")), k(4, z("aab"))}, {k(1, z("zzz")), k(2, "")},
      {k(1, z("Smith")), k(1, z("Smith") + be32(-5))}, {k(1, z("Smit") + be32(9)), k(1, z("Smith"))},
      {k(1, z("Smith") + be32(-1)), k(1, z("smith") + be32(1))}, {k(1, ""), k(1, z("") + be32(INT32_MIN))},
      {k(5, be32(-1)), k(5, be32(1))}, {k(6, be32(1)), k(6, be32(0x80000000u))},
      {k(6, be32(1)), k(6, be32(4294967295u))}, {k(7, be16(-2)), k(7, be16(1))},
      {k(7, be16(-32768)), k(7, be16(32767))}, {k(8, f32(-finf)), k(8, f32(-1e30f))},
      {k(8, f32(-2.5f)), k(8, f32(1.5f))}, {k(8, f32(finf)), k(8, f32(fnan))},
      {k(8, f32(-finf)), k(8, f32(-fnan))}, {k(9, f64(1.0)), k(9, f64(1.0000000000000002))},
      {k(9, f64(dinf)), k(9, f64(dnan))}, {k(9, f64(-dinf)), k(9, f64(-dnan))},
      {k(10, "abc" + be32(1)), k(10, "abc" + be32(2))}, {k(10, "abC" + be32(2)), k(10, "abc" + be32(1))},
      {k(0xFE, be32(-1)), k(0xFE, be32(1))}, {k(0xFF, be32(1)), k(0xFF, be32(0xffffffffu))},
      {k(0xFE, be32(0x7fffffff)), k(0xFF, be32(0))}, {k(11, z("x")), k(0xFE, be32(0))},
      {k(0, z("a")), k(0, z("B"))}, {k(0, z("Physical Index")), k(1, "")}, {k(12, be32(-1)), k(12, be32(1))},
      {k(13, "\x01\xff"), k(13, "\xff\x01")}};
  const std::pair<std::string, std::string> equal[] = {
      {k(1, z("apple") + be32(1)), k(1, z("Apple") + be32(1))}, {k(8, f32(fnan)), k(8, f32(fnan))},
      {k(8, f32(-fnan)), k(8, f32(fnan))}, {k(8, f32(-0.0f)), k(8, f32(0.0f))},
      {k(9, f64(-dnan)), k(9, f64(dnan))}, {k(10, "abc" + be32(1) + "tail"), k(10, "abc" + be32(1))},
      {k(0, z("byname") + z("NAME")), k(0, z("BYNAME"))}};
  // clang-format on
  *qrxiscdb() = db;
  auto cmp = [](const std::string &a, const std::string &b) {
    return qrx::isam::I_compare(a.data(), uint32_t(a.size()), b.data(), uint32_t(b.size()));
  };
  for (const auto &[a, b] : less) EXPECT_TRUE(cmp(a, b) == -1 && cmp(b, a) == 1) << testing::PrintToString(a);
  for (const auto &[a, b] : equal) EXPECT_TRUE(cmp(a, b) == 0 && cmp(b, a) == 0) << testing::PrintToString(a);
  // Matching a record against a key takes the same values as equal (field 5 is F,F, field 6 is D,D).
  for (const auto &[a, b] :
       {std::pair{f32(fnan), f32(-fnan)}, {f32(-0.0f), f32(0.0f)}, {f64(dnan), f64(dnan)}})
    EXPECT_EQ(qrx::isam::I_compare_fields(db, a.data(), b.data(), a.size() == 4 ? I_FLOAT : I_DOUBLE,
                                          a.size() == 4 ? 5 : 6),
              a.size());
}

// Each key from a record's fields and from the values in key order, into exactly its size, not one less.
TEST_F(KeysTest, EntryAndSearchKeysFromFieldValues) {
  const std::string values[] = {z("Smith"), z("Smith"), be32(7), be32(1), be16(2), f32(1), f64(1), "abcdef"};
  std::vector<const uint8_t *> fields;
  for (const auto &v : values) fields.push_back(reinterpret_cast<const uint8_t *>(v.data()));
  // clang-format off
  const std::pair<const char *, std::string> cases[] = {{"BYNAME", k(1, z("Smith") + be32(7))},
      {"BYSEG", k(2, z("Smi"))}, {"BYSTART", k(3, z(""))}, {"CODE", k(10, "abc" + be32(7))},
      {"MIXSEG", k(11, be32(7) + z("Sm"))}, {"D", k(9, f64(1))}};
  // clang-format on
  uint8_t out[64];
  auto got = [&](int32_t n) { return n < 0 ? "-1" : std::string(reinterpret_cast<char *>(out), size_t(n)); };
  for (const auto &[name, key] : cases) {
    isam_index *idx = ihandle(db, name);
    ASSERT_NE(idx, nullptr) << name;
    EXPECT_EQ(got(qrx::isam::I_mkkey(idx, fields.data(), out, sizeof out)), key) << name;
    std::vector<const void *> given;
    for (int32_t f : idx->keyfields) given.push_back(fields[size_t(f)]);
    given.push_back(nullptr);
    EXPECT_EQ(got(qrx::isam::I_gluekey(idx, given.data(), out, sizeof out)), key) << name;
    EXPECT_EQ(got(qrx::isam::I_mkkey(idx, fields.data(), out, uint32_t(key.size()))), key) << name;
    EXPECT_TRUE(qrx::isam::I_mkkey(idx, fields.data(), out, uint32_t(key.size() - 1)) == -1 &&
                *qrxiseno() == 11);
  }
  fields[2] = nullptr;  // a missing value ends the key
  EXPECT_EQ(got(qrx::isam::I_mkkey(ihandle(db, "BYNAME"), fields.data(), out, sizeof out)), k(1, z("Smith")));
}

TEST_F(KeysTest, MatchesAgainstTheCurrentEntry) {
  const std::string smith = k(1, z("Smith") + be32(7)), csmith = k(4, z("Smith")), n7 = be32(7), n8 = be32(8);
  insert_key(idxfile, smith, 100, db);
  insert_key(idxfile, csmith, 100, db);
  isam_index *byname = ihandle(db, "BYNAME"), *cname = ihandle(db, "CNAME");
  uint32_t item = 0;
  ASSERT_EQ(cbfind(byname->tree, smith.data(), uint32_t(smith.size()), &item), CBT_FOUND);
  ASSERT_EQ(cbfind(cname->tree, csmith.data(), uint32_t(csmith.size()), &item), CBT_FOUND);
  // index, text, number, imatchkey, ipartialmatch
  // clang-format off
  const std::tuple<isam_index *, const char *, const std::string *, int32_t, int32_t> cases[] = {
      {byname, "Smith", &n7, 1, 1}, {byname, "smith", &n7, 1, 1}, {byname, "Smith", &n8, 0, 0},
      {byname, "Smith", nullptr, 1, 1}, {byname, "Sm", nullptr, 0, 1}, {byname, "SMI", nullptr, 0, 1},
      {byname, "", &n7, 0, 1}, {byname, "", &n8, 0, 0}, {byname, "Smithy", nullptr, 0, 0},
      {cname, "Smith", nullptr, 1, 1}, {cname, "Smi", nullptr, 0, 1}, {cname, "SMI", nullptr, 0, 0},
      {cname, "smith", nullptr, 0, 0}};
  // clang-format on
  for (const auto &[idx, text, number, match, partial] : cases) {
    const void *given[] = {text, number != nullptr ? number->data() : nullptr, nullptr};
    EXPECT_EQ(imatchkey(db, idx, given), match) << idx->name << " " << text;
    EXPECT_EQ(ipartialmatch(db, idx, given), partial) << idx->name << " " << text;
  }
  // A private index has a cursor of its own, not yet on an entry.
  isam_index *own = iopen_index(db, "BYNAME");
  const void *given[] = {"Smith", nullptr, nullptr};
  EXPECT_TRUE(imatchkey(db, own, given) == -1 && *qrxiseno() == 4);
  EXPECT_TRUE(ipartialmatch(db, own, given) == -1 && *qrxiseno() == 4);
}

}  // namespace isamtest
