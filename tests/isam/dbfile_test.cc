// Database files: field grammar, file names, the header written and read, refused lists, damaged headers.
#include <filesystem>
#include <tuple>

#include "isam_fixture.h"

namespace isamtest {
using DbFileTest = IsamTest;

TEST(FieldGrammarAndFileNames, TypesDeclaredLengthsAndExtensions) {
  const std::string longest(255, 'n');
  // clang-format off
  const std::tuple<const char *, int, int32_t> cases[] = {
      {"NAME", I_STRING, 1},   {"X,S", I_STRING, 1},  {"X,Q", I_STRING, 1},   {"X,", I_STRING, 1},
      {"X,C", I_CSTRING, 1},   {"X,c", I_CSTRING, 1}, {"X,I", I_INT, 1},      {"X,I:5", I_INT, 1},
      {"X,u", I_UNSIGNED, 1},  {"X,L", I_LONG, 1},    {"X,F", I_FLOAT, 1},    {"X,d", I_DOUBLE, 1},
      {"X,H", I_SHORT, 1},     {"X,C5", I_CHAR, 5},   {"X,C:5", I_CHAR, 5},   {"X,S:5", I_CHAR, 5},
      {"X,Q:7", I_CHAR, 7},    {"X,B", I_BINARY, 1},  {"X,B0", I_BINARY, 1},  {"X,b:3", I_BINARY, 3},
      {"A,B,C5", I_BINARY, 1}, {"X,B40000", I_BINARY, 32767}, {"X,B99999999999", I_BINARY, 32767}};
  const std::pair<std::string, std::string> names[] = {{"/d/acct", "/d/acct"}, {"/d/acct.old", "/d/acct"},
      {"/d.x/acct", "/d.x/acct"}, {".hidden", ".hidden"}, {"a.b.c", "a.b"}, {"d\\x.y\\acct", "d\\x.y\\acct"},
      {longest, longest}};
  // clang-format on
  for (const auto &[desc, type, declared] : cases) {
    uint8_t t = 99;
    int32_t d = -1;
    qrx::isam::I_parse_field(desc, &t, &d);
    EXPECT_TRUE(t == type && d == declared) << desc << ": " << int(t) << " " << d;
  }
  char data[300], index[300];
  for (const auto &[name, stem] : names) {
    EXPECT_EQ(std::string(qrx::isam::I_mkdata_filename(name.c_str(), data, sizeof data)), stem + ".DB");
    EXPECT_EQ(std::string(qrx::isam::I_mkindex_filename(name.c_str(), index, sizeof index)), stem + ".IDX");
  }
  EXPECT_TRUE(!qrx::isam::I_mkdata_filename((longest + "n").c_str(), data, sizeof data) &&
              !qrx::isam::I_mkindex_filename((longest + "n").c_str(), index, sizeof index));
}

// A first field can start the declared-length array; a fixed width above 32767 reads as variable length.
TEST_F(DbFileTest, HeaderGivesFieldsTypesLengthsAndRecordSizes) {
  using Row =
      std::tuple<std::vector<const char *>, std::vector<uint8_t>, std::vector<int32_t>, int32_t, int32_t>;
  // clang-format off
  const Row cases[] = {
      {{"NAME", "CITY,S", "ID,I", "AMT,D", "CODE,C8", "FLAGS,B:3"}, {0, 0, 2, 6, 9, 7}, {1, 1, 1, 1, 8, 3},
       29, 0},
      {{"ID,I", "N,H"}, {2, 8}, {}, 10, 1},                {{"CODE,C8", "N"}, {9, 0}, {8, 1}, 13, 0},
      {{"U,U", "L,L", "F,F", "B,B", "C,C"}, {3, 4, 5, 7, 1}, {}, 18, 0},
      {{"A,B30000", "B,B30000"}, {7, 7}, {30000, 30000}, 32767, 0}};
  // clang-format on
  int n = 0;
  for (const auto &[fields, types, lengths, minreclen, fixedlen] : cases) {
    const std::string name = made("h" + std::to_string(n++), fields);
    std::string header = be32(0) + be32(uint32_t(fields.size()));
    for (const char *f : fields) header += z(f);
    qrxis_put_u32(header.data(), uint32_t(header.size() - 8));
    EXPECT_EQ(tb::read_file(name + ".DB"), header) << n;
    isam_db *db = iopen_db(name.c_str(), 1);
    ASSERT_NE(db, nullptr) << n;
    EXPECT_TRUE(db->types == types && db->lengths == lengths && db->datastart == header.size()) << n;
    EXPECT_TRUE(db->minreclen == minreclen && db->fixedlen == fixedlen) << n << ": " << db->minreclen;
    EXPECT_TRUE(db->nfields == int32_t(fields.size()) && db->fieldnames[1] == std::string(fields[1])) << n;
  }
  EXPECT_EQ(tb::read_file(made("one", {"ID,I"}) + ".DB"), std::string("\0\0\0\x05\0\0\0\x01ID,I\0", 13));
}

TEST_F(DbFileTest, RefusedNamesAndFieldListsLeaveNoFile) {
  tb::TraceCapture cap;
  const char *none[] = {nullptr}, *one[] = {"ID,I", nullptr};
  const std::string empty = dir.file("empty"), toolong = dir.file(std::string(256 - dir.path().size(), 'n'));
  EXPECT_TRUE(icreate_db(empty.c_str(), 512, none) == nullptr && *qrxiseno() == 18);
  EXPECT_EQ(cap.count(QRXHOST_KIND_ERROR, "Field Error: field count = 0, total string length = 0"), 1);
  EXPECT_TRUE(icreate_db(toolong.c_str(), 512, one) == nullptr && *qrxiseno() == 16);
  EXPECT_TRUE(iopen_db(toolong.c_str(), 2) == nullptr && *qrxiseno() == 16);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()) && idbhandle(empty.c_str()) == nullptr);
}

// Cut short, N beyond the file, F 0 or above the strings, no last NUL: the cached object stays closed.
TEST_F(DbFileTest, DamagedHeaderFailsTheOpen) {
  const std::string name = made("dmg", {"ID,I", "NAME"}), good = tb::read_file(name + ".DB"),
                    area = good.substr(8);
  // clang-format off
  const std::pair<std::string, int32_t> cases[] = {
      {"", 7}, {good.substr(0, 6), 7}, {good.substr(0, 12), 12}, {be32(0x7ffffff0) + be32(2) + area, 12},
      {be32(0xffffffff) + be32(0xffffffff) + area, 12}, {be32(10) + be32(0) + area, 12},
      {be32(10) + be32(11) + area, 12}, {be32(10) + be32(3) + area, 12}, {be32(9) + be32(2) + area, 12}};
  // clang-format on
  isam_db *db = idbhandle(name.c_str());
  for (const auto &[bytes, err] : cases) {
    tb::write_file(name + ".DB", bytes);
    tb::TraceCapture cap;
    EXPECT_TRUE(iopen_db(name.c_str(), 2) == nullptr && *qrxiseno() == err) << testing::PrintToString(bytes);
    EXPECT_TRUE(cap.contains(QRXHOST_KIND_ERROR, err == 12 ? "is damaged" : "Unable to read") &&
                db->fd == -1);
    EXPECT_TRUE(db->usecount == 0 && db->desctree == nullptr);
  }
  tb::write_file(name + ".DB", good);
  EXPECT_TRUE(iopen_db(name.c_str(), 2) == db && db->nfields == 2 && db->nindexes == 1);
}

}  // namespace isamtest
