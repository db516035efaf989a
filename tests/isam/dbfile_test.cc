// Database files: the field grammar, what a header gives the database object, the file names, the
// header bytes, an empty field list and damaged headers.
#include <filesystem>

#include "isam_fixture.h"

namespace {

using namespace isamtest;
namespace fs = std::filesystem;

TEST(FieldGrammar, CodeAfterTheFirstCommaDecidesTypeAndDeclaredLength) {
  struct Case {
    const char *desc;
    uint8_t type;
    int32_t declared;
  };
  const Case cases[] = {
      {"NAME", I_STRING, 1},
      {"X,S", I_STRING, 1},
      {"X,Q", I_STRING, 1},
      {"X,", I_STRING, 1},
      {"X,C", I_CSTRING, 1},
      {"X,c", I_CSTRING, 1},
      {"X,I", I_INT, 1},
      {"X,I:5", I_INT, 1},
      {"X,u", I_UNSIGNED, 1},
      {"X,L", I_LONG, 1},
      {"X,F", I_FLOAT, 1},
      {"X,d", I_DOUBLE, 1},
      {"X,H", I_SHORT, 1},
      {"X,C5", I_CHAR, 5},
      {"X,C:5", I_CHAR, 5},
      {"X,S:5", I_CHAR, 5},
      {"X,Q:7", I_CHAR, 7},
      {"X,B", I_BINARY, 1},
      {"X,B0", I_BINARY, 1},
      {"X,b:3", I_BINARY, 3},
      {"X,B40000", I_BINARY, 32767},
      {"X,B99999999999", I_BINARY, 32767},
      {"A,B,C5", I_BINARY, 1},
  };
  for (const Case &c : cases) {
    uint8_t type = 99;
    int32_t declared = -1;
    qrx::isam::I_parse_field(c.desc, &type, &declared);
    EXPECT_TRUE(type == c.type && declared == c.declared) << c.desc << ": " << int(type) << " " << declared;
  }
}

TEST(FileNames, ExtensionIsReplacedOrAppended) {
  const std::string longest(255, 'n');
  const std::pair<std::string, std::string> cases[] = {
      {"/d/acct", "/d/acct"}, {"/d/acct.old", "/d/acct"}, {"/d.x/acct", "/d.x/acct"},
      {".hidden", ".hidden"}, {"a.b.c", "a.b"},           {"d\\x.y\\acct", "d\\x.y\\acct"},
      {longest, longest},
  };
  char data[300], index[300];
  for (const auto &[name, stem] : cases) {
    EXPECT_EQ(std::string(qrx::isam::I_mkdata_filename(name.c_str(), data, sizeof data)), stem + ".DB");
    EXPECT_EQ(std::string(qrx::isam::I_mkindex_filename(name.c_str(), index, sizeof index)), stem + ".IDX");
  }
  EXPECT_EQ(qrx::isam::I_mkdata_filename((longest + "n").c_str(), data, sizeof data), nullptr);
  EXPECT_EQ(qrx::isam::I_mkindex_filename((longest + "n").c_str(), index, sizeof index), nullptr);
}

using DbFileTest = IsamTest;

TEST_F(DbFileTest, HeaderGivesFieldsTypesLengthsAndRecordSizes) {
  struct Case {
    std::vector<const char *> fields;
    std::vector<uint8_t> types;
    std::vector<int32_t> lengths;
    int32_t minreclen, fixedlen;
  };
  const Case cases[] = {
      {{"NAME", "CITY,S", "ID,I", "AMT,D", "CODE,C8", "FLAGS,B:3"},
       {0, 0, 2, 6, 9, 7},
       {1, 1, 1, 1, 8, 3},
       29,
       0},
      {{"ID,I", "N,H"}, {2, 8}, {}, 10, 1},
      {{"CODE,C8", "N"}, {9, 0}, {8, 1}, 13, 0},  // a first field with a length starts the array
      {{"U,U", "L,L", "F,F", "B,B", "C,C"}, {3, 4, 5, 7, 1}, {}, 18, 0},
      {{"A,B30000", "N,H"}, {7, 8}, {30000, 1}, 30006, 1},
      {{"A,B30000", "B,B30000"}, {7, 7}, {30000, 30000}, 32767, 0},  // capped: read as variable length
  };
  int n = 0;
  for (const Case &c : cases) {
    const std::string name = made("h" + std::to_string(n++), c.fields);
    std::string header = be32(0) + be32(uint32_t(c.fields.size()));
    for (const char *f : c.fields) header += z(f);
    qrxis_put_u32(header.data(), uint32_t(header.size() - 8));
    EXPECT_EQ(tb::read_file(name + ".DB"), header) << n;
    isam_db *db = iopen_db(name.c_str(), 1);
    ASSERT_NE(db, nullptr) << n;
    EXPECT_TRUE(db->types == c.types && db->lengths == c.lengths) << n;
    EXPECT_TRUE(db->minreclen == c.minreclen && db->fixedlen == c.fixedlen) << n << ": " << db->minreclen;
    EXPECT_TRUE(db->nfields == int32_t(c.fields.size()) && db->datastart == header.size()) << n;
    for (size_t f = 0; f < c.fields.size(); ++f) EXPECT_STREQ(db->fieldnames[f], c.fields[f]);
    EXPECT_EQ(db->fieldnames.back(), nullptr);
    EXPECT_EQ(iclose_db(db), 1);
  }
  const std::string one = made("one", {"ID,I"});
  EXPECT_EQ(tb::read_file(one + ".DB"), std::string("\0\0\0\x05\0\0\0\x01ID,I\0", 13));
}

TEST_F(DbFileTest, RefusedNamesAndFieldListsLeaveNoFile) {
  tb::TraceCapture cap;
  const char *none[] = {nullptr}, *one[] = {"ID,I", nullptr};
  const std::string empty = dir.file("empty"), toolong = dir.file(std::string(256 - dir.path().size(), 'n'));
  EXPECT_TRUE(icreate_db(empty.c_str(), 512, none) == nullptr && *qrxiseno() == 18);
  EXPECT_EQ(cap.count(QRXHOST_KIND_ERROR, "Field Error: field count = 0, total string length = 0"), 1);
  EXPECT_TRUE(icreate_db(toolong.c_str(), 512, one) == nullptr && *qrxiseno() == 16);
  EXPECT_TRUE(iopen_db(toolong.c_str(), 2) == nullptr && *qrxiseno() == 16);
  EXPECT_TRUE(fs::is_empty(dir.path()) && idbhandle(empty.c_str()) == nullptr);
}

TEST_F(DbFileTest, DamagedHeaderFailsTheOpenAndKeepsTheObjectClosed) {
  const std::string name = made("dmg", {"ID,I", "NAME"}), good = tb::read_file(name + ".DB");  // N 10, F 2
  const std::string area = good.substr(8);
  const std::pair<std::string, int32_t> cases[] = {
      {"", 7},
      {good.substr(0, 6), 7},                   // cut inside F
      {be32(0x7ffffff0) + be32(2) + area, 12},  // N beyond the file
      {be32(0xffffffff) + be32(0xffffffff) + area, 12},
      {good.substr(0, 12), 12},          // the area cut short
      {be32(10) + be32(0) + area, 12},   // no fields
      {be32(10) + be32(11) + area, 12},  // more fields than bytes
      {be32(10) + be32(3) + area, 12},   // more fields than strings
      {be32(9) + be32(2) + area, 12},    // the last string without its NUL
  };
  isam_db *db = idbhandle(name.c_str());
  int n = 0;
  for (const auto &[bytes, err] : cases) {
    tb::write_file(name + ".DB", bytes);
    tb::TraceCapture cap;
    EXPECT_EQ(iopen_db(name.c_str(), 2), nullptr) << n;
    EXPECT_EQ(*qrxiseno(), err) << n;
    EXPECT_TRUE(
        cap.contains(QRXHOST_KIND_ERROR, err == 12 ? "is damaged" : "Unable to read database header"));
    EXPECT_TRUE(db->usecount == 0 && db->fd == -1 && db->desctree == nullptr) << n++;
  }
  tb::write_file(name + ".DB", good);
  EXPECT_EQ(iopen_db(name.c_str(), 2), db);
  EXPECT_TRUE(db->nfields == 2 && db->nindexes == 1);
}

}  // namespace
