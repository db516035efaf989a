// The qrx tool's own reading of database files (tools/qrx/db_files.cc, db_values.cc): its field types,
// file names, entry keys and key order must be the library's, or verify reports damage that is not there
// and cbcheck walks the index file in the wrong order; its data-file walk must stop at every kind of
// damage and name the offset; values must read back as the bytes they were stored as.
#include <cmath>
#include <limits>
#include <random>

#include "db_files.h"
#include "isam/isam_fixture.h"

namespace isamtest {
namespace {

namespace tool = qrx::tool;

int sign(int v) {
  return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

TEST(ToolFiles, FieldTypesAndFileNamesAsTheLibraryReadsThem) {
  for (const char *desc :
       {"NAME",  "CITY,S", "ID,I", "AMT,D",    "CODE,C8", "FLAGS,B:3", "X,C", "X,C5",  "X,C:5", "X,S:5",
        "X,I:5", "X,B",    "X,B0", "X,B40000", "X,Q",     "X,",        "x,h", "x,c12", "X,U9",  "X,f"}) {
    uint8_t type = 0;
    int32_t declared = 0;
    qrx::isam::I_parse_field(desc, &type, &declared);
    const tool::FieldDesc f = tool::describe_field(desc);
    EXPECT_EQ(f.type, type) << desc;
    if (type == I_BINARY || type == I_CHAR) {
      EXPECT_EQ(f.width, uint32_t(declared)) << desc;
    }
  }
  EXPECT_EQ(tool::describe_field("CITY,C12").name, "CITY");
  for (const char *name :
       {"/d/acct", "/d/acct.old", "/d.x/acct", ".hidden", "a.b.c", "x\\y.z", "./acct", "acct."}) {
    char data[256], idx[256];
    ASSERT_TRUE(qrx::isam::I_mkdata_filename(name, data, sizeof data) &&
                qrx::isam::I_mkindex_filename(name, idx, sizeof idx));
    EXPECT_EQ(tool::data_file_name(name), data) << name;
    EXPECT_EQ(tool::index_file_name(name), idx) << name;
  }
}

struct ToolKeys : IsamTest {};

// Random records over small value pools (case variants, signs, NaN, -0.0, equal values): every entry key
// the tool builds is the library's, byte for byte, and the tool orders any two keys, whole or cut short,
// hole keys and descriptions included, as the library's compare does.
TEST_F(ToolKeys, EntryKeysAndOrderAreTheLibrarys) {
  const std::vector<const char *> descs = {"NAME", "CNAME,C", "ID,I",    "U,U", "H,H",
                                           "F,F",  "D,D",     "CODE,C3", "L,L", "B,B2"};
  const std::string name = made("keys", descs);
  isam_db *db = iopen_db(name.c_str(), 2);
  ASSERT_NE(db, nullptr);
  const std::vector<std::pair<const char *, std::vector<const char *>>> indexes = {
      {"BYNAME", {"NAME", "ID,I", nullptr}},
      {"SEG", {"NAME:1,2", "CNAME,C:3", nullptr}},
      {"NUM,U", {"U,U", "H,H", "L,L", nullptr}},
      {"FLT", {"F,F", "D,D", "CODE,C3", nullptr}},
      {"BIN", {"B,B2", "CNAME,C", nullptr}}};
  for (const auto &[iname, specs] : indexes) ASSERT_EQ(imkindex(db, iname, specs.data()), 1) << iname;
  std::vector<tool::FieldDesc> fields;
  for (const char *d : descs) fields.push_back(tool::describe_field(d));
  tool::IndexFile ix;
  std::vector<tool::IndexDesc> tdescs;
  std::string why;
  ASSERT_TRUE(ix.open(name + ".IDX", 1, why) && ix.read_descriptions(fields, tdescs, why)) << why;
  ASSERT_EQ(tdescs.size(), indexes.size() + 1);  // and the "Physical Index"

  const uint32_t seed = 20250101;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const auto pick = [&](const auto &pool) { return pool[rng() % pool.size()]; };
  const float fnan = std::numeric_limits<float>::quiet_NaN();
  const double dnan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::string> texts = {"",    "a",     "A",     "a_b",      "aAb",
                                          "aab", "Smith", "smith", "SMITH jr", "z"};
  const std::vector<std::string> nums = {be32(0x80000000u), be32(-1), be32(0), be32(1), be32(0x7fffffff)};
  const std::vector<std::string> shorts = {be16(-32768), be16(-1), be16(0), be16(1), be16(32767)};
  const std::vector<std::string> floats = {f32(-INFINITY), f32(-1.5f), f32(-0.0f),
                                           f32(0.0f),      f32(2.5f),  f32(fnan)};
  const std::vector<std::string> doubles = {f64(-1e300), f64(-0.0), f64(0.0),
                                            f64(1e-300), f64(dnan), f64(INFINITY)};
  const std::vector<std::string> codes = {"abc", "abC", std::string("ab\0", 3), "\xff\x01z"};
  const std::vector<std::string> bins = {std::string("\0\1", 2), "\xff\x00", "\x01\xff"};

  std::vector<std::string> keys = {k(0, z("Physical Index")), k(0, z("byname")), k(0xFE, be32(-4)),
                                   k(0xFE, be32(7)),          k(0xFF, be32(7)),  k(0xFF, be32(0xfffffff0u))};
  *qrxiscdb() = db;
  for (int r = 0; r < 300; ++r) {
    const std::string values[] = {z(pick(texts)), z(pick(texts)), pick(nums),  pick(nums), pick(shorts),
                                  pick(floats),   pick(doubles),  pick(codes), pick(nums), pick(bins)};
    const uint8_t *ptrs[11] = {};
    for (size_t f = 0; f < 10; ++f) ptrs[f] = reinterpret_cast<const uint8_t *>(values[f].data());
    for (const tool::IndexDesc &d : tdescs) {
      if (d.number == 0) continue;
      uint8_t out[512];
      const int32_t n = qrx::isam::I_mkkey(ihandle(db, d.name.c_str()), ptrs, out, sizeof out);
      ASSERT_GT(n, 0) << d.name;
      keys.push_back(tool::record_key(d, fields, ptrs));
      ASSERT_EQ(keys.back(), std::string(reinterpret_cast<char *>(out), size_t(n))) << d.name;
      keys.push_back(keys.back().substr(0, 1 + rng() % keys.back().size()));  // a key cut short
    }
  }
  for (int p = 0; p < 20000; ++p) {
    // The descriptions and hole keys in front are few: each is held against each in the first pairs.
    const std::string &a = p < 36 ? keys[size_t(p / 6)] : pick(keys),
                      &b = p < 36 ? keys[size_t(p % 6)] : pick(keys);
    const int lib = qrx::isam::I_compare(a.data(), uint32_t(a.size()), b.data(), uint32_t(b.size()));
    ASSERT_EQ(sign(tool::key_compare(a.data(), uint32_t(a.size()), b.data(), uint32_t(b.size()))), sign(lib))
        << testing::PrintToString(a) << " " << testing::PrintToString(b);
  }
  EXPECT_EQ(iclose_db(db), 1);
}

TEST(ToolFiles, ValuesReadBackAsStored) {
  // Description, text, the text printed back (null: the same).
  const std::tuple<const char *, std::string, const char *> good[] = {
      {"I,I", "-2147483648", nullptr}, {"I,I", "+7", "7"},      {"U,U", "4294967295", nullptr},
      {"H,H", "-32768", nullptr},      {"L,L", "-1", nullptr},  {"F,F", "0.1", nullptr},
      {"F,F", "1e30", "1e+30"},        {"F,F", "-0", nullptr},  {"D,D", "0.1", nullptr},
      {"D,D", "1e-300", nullptr},      {"C,C4", "ab", nullptr}, {"C,C4", "", nullptr},
      {"B,B2", "0aff", nullptr},       {"B,B2", "0a", "0a00"},  {"S", "x, \"y\"", nullptr}};
  for (const auto &[desc, text, printed] : good) {
    const tool::FieldDesc f = tool::describe_field(desc);
    std::string stored, again, why;
    ASSERT_TRUE(tool::parse_value(f, text, stored, why)) << desc << " " << text << ": " << why;
    const std::string shown = tool::format_value(f, reinterpret_cast<const uint8_t *>(stored.data()));
    EXPECT_EQ(shown, printed ? printed : text) << desc;
    ASSERT_TRUE(tool::parse_value(f, shown, again, why)) << why;
    EXPECT_EQ(again, stored) << desc << " " << text;
  }
  std::string stored, why;
  ASSERT_TRUE(tool::parse_value(tool::describe_field("I,I"), "-2", stored, why));
  EXPECT_EQ(stored, "\xff\xff\xff\xfe");
  ASSERT_TRUE(tool::parse_value(tool::describe_field("C,C4"), "ab", stored, why));
  EXPECT_EQ(stored, "ab  ");
  ASSERT_TRUE(tool::parse_value(tool::describe_field("S"), "ab", stored, why));
  EXPECT_EQ(stored, z("ab"));
  const std::pair<const char *, std::string> bad[] = {
      {"I,I", "2147483648"}, {"I,I", "1.5"},     {"I,I", " 5"},
      {"I,I", ""},           {"I,I", "+-5"},     {"U,U", "-1"},
      {"H,H", "32768"},      {"F,F", "1e39"},    {"D,D", "1e400"},
      {"D,D", "1x"},         {"C,C4", "abcde"},  {"B,B2", "abc"},
      {"B,B2", "zz"},        {"B,B2", "000000"}, {"S", std::string("a\0b", 3)}};
  for (const auto &[desc, text] : bad)
    EXPECT_FALSE(tool::parse_value(tool::describe_field(desc), text, stored, why)) << desc << " " << text;
}

// A data file of fields ID,I and NAME: the header (18 bytes), then the pieces given.
std::string data_file(const std::string &body) {
  return be32(10) + be32(2) + z("ID,I") + z("NAME") + body;
}
std::string rec(int32_t id, const std::string &name) {
  return be32(uint32_t(4 + name.size() + 1)) + be32(uint32_t(id)) + z(name);
}
std::string hole(int32_t size) {
  return be32(uint32_t(-size)) + std::string(size_t(size), '\0');
}

TEST(ToolFiles, DataWalkStopsAtDamageAndNamesItsOffset) {
  tb::TempDir dir;
  const std::string path = dir.file("d.DB");
  const auto walk = [&](const std::string &bytes, std::vector<uint32_t> *records = nullptr) {
    tb::write_file(path, bytes);
    tool::DataFile f;
    std::string why;
    EXPECT_TRUE(f.open(path, why)) << why;
    return f.walk(
        [&](uint32_t off, uint32_t, const uint8_t *const *) { records ? records->push_back(off) : void(); },
        [](uint32_t, uint32_t) {});
  };
  std::vector<uint32_t> records;
  tool::DataWalk w = walk(data_file(rec(1, "a") + hole(6) + rec(2, "bb") + hole(3) + hole(5)), &records);
  EXPECT_EQ(w.problem, "");
  EXPECT_EQ(records, (std::vector<uint32_t>{18, 38}));
  EXPECT_EQ(w.records, 2u);
  EXPECT_EQ(w.holes, 3u);
  EXPECT_EQ(w.hole_bytes, 14u);
  EXPECT_EQ(w.touching, 1u);

  // Each behind a good first record (at 18, 10 bytes), so the damage is at 28; the last one at 18.
  const std::pair<std::string, const char *> damaged[] = {
      {rec(1, "a") + std::string(2, '\0'), "the file ends 2 bytes into a length word"},
      {rec(1, "a") + be32(0), "length word 0"},
      {rec(1, "a") + be32(100) + "xx", "record of 100 bytes runs 98 bytes past the end"},
      {rec(1, "a") + be32(uint32_t(-100)), "hole of 100 bytes runs 100 bytes past the end"},
      {rec(1, "a") + be32(6) + be32(2) + "ab", "field 2 (NAME) runs past its end"},
      {be32(2) + "ab" + rec(1, "a"), "field 1 (ID,I) runs past its end"}};
  for (const auto &[body, problem] : damaged) {
    w = walk(data_file(body));
    EXPECT_EQ(w.bad_offset, problem == damaged[5].second ? 18 : 28) << problem;
    EXPECT_NE(w.problem.find(problem), std::string::npos) << w.problem;
  }
  // A header that cannot be read: the file is not opened.
  for (const std::string &bytes :
       {std::string(6, '\0'), be32(100) + be32(2) + z("ID,I"), be32(5) + be32(0) + z("ID,I"),
        be32(10) + be32(2) + std::string("ID,I\0NAMEX", 10)}) {
    tb::write_file(path, bytes);
    tool::DataFile f;
    std::string why;
    EXPECT_FALSE(f.open(path, why)) << testing::PrintToString(bytes);
    EXPECT_NE(why.find("header"), std::string::npos) << why;
  }
}

}  // namespace
}  // namespace isamtest
