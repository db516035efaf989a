// Descriptor queries: how an index's key is made up, the fields, the index names, the thread's result
// buffers, and the error number of every bad argument.
#include <climits>
#include <cstring>

#include "isam/query_fixture.h"

namespace isamtest {

using Strings = std::vector<std::string>;
// A call's result with the error number it left.
inline std::pair<int32_t, int32_t> err(int32_t r) {
  return {r, *qrxiseno()};
}

TEST_F(QueryTest, KeyDescriptionGivesEachFieldWithItsSegment) {
  EXPECT_EQ(list(igetdesc(db, byname)), (Strings{"NAME:3", "ID,I"}));  // start 0 is left out
  EXPECT_EQ(list(igetdesc(db, bycity)), Strings{"CITY,S:2,5"});
  EXPECT_EQ(list(igetdesc(db, byall)), kAllNames);
  EXPECT_EQ(list(igetdesc(db, ihandle(db, "Physical Index"))), kAllNames);
  EXPECT_EQ(list(igetdesc(db, iopen_index(db, "BYCITY"))), Strings{"CITY,S:2,5"});  // a private index object
  EXPECT_TRUE(igetdesc_count(db, byname) == 2 && igetdesc_fldnbr(db, byname, 1) == 2 && *qrxiseno() == 0);
  EXPECT_TRUE(igetdesc_fldstart(db, byname, 0) == 0 && igetdesc_fldlen(db, byname, 0) == 3);
  EXPECT_TRUE(igetdesc_fldstart(db, byname, 1) == 0 && igetdesc_fldlen(db, byname, 1) == 0);
  EXPECT_TRUE(igetdesc_fldstart(db, bycity, 0) == 2 && igetdesc_fldlen(db, bycity, 0) == 5);
  EXPECT_TRUE(igetdesc_count(db, byall) == 11 && igetdesc_fldnbr(db, byall, 10) == 10);
  EXPECT_TRUE(igetdesc_fldstart(db, byall, 10) == 0 && igetdesc_fldlen(db, byall, 10) == 0);  // no segments
}

TEST_F(QueryTest, FieldsGiveTheirTypesAndDeclaredLengths) {
  const std::vector<uint8_t> types = {I_STRING,  I_STRING,   I_INT,  I_DOUBLE, I_CHAR, I_BINARY,
                                      I_CSTRING, I_UNSIGNED, I_LONG, I_FLOAT,  I_SHORT};
  std::vector<int32_t> lengths;
  for (int32_t n = 0; n < 11; ++n) lengths.push_back(igetfldlen(db, n));
  EXPECT_TRUE(igetfldcount(db) == 11 && igetfldtype(db, 0) == I_STRING && igetfldtype(db, 10) == I_SHORT);
  EXPECT_EQ(list(igetfldnames(db)), kAllNames);
  ASSERT_NE(igetflddesc(db), nullptr);
  EXPECT_EQ(std::vector<uint8_t>(igetflddesc(db), igetflddesc(db) + 11), types);
  EXPECT_EQ(lengths, (std::vector<int32_t>{0, 0, 0, 0, 8, 3, 0, 0, 0, 0, 0}));
  isam_db *other = small();  // no declared-length array: X,B and T,C:1 are one byte each
  EXPECT_TRUE(igetfldlen(other, 0) == 0 && igetfldlen(other, 1) == 1 && igetfldlen(other, 2) == 1);
  EXPECT_TRUE(igetfldlen(other, 3) == 0 && igetfldtype(other, 3) == I_CSTRING &&
              igetfldtype(other, 2) == I_CHAR);
}

TEST_F(QueryTest, ResultsStayInTheThreadsBuffersUntilAskedAgain) {
  const char *const *first = igetdesc(db, byall);
  EXPECT_EQ(igetdesc(db, byname), first);  // no larger: the same buffer, overwritten
  EXPECT_EQ(list(first), (Strings{"NAME:3", "ID,I"}));
  EXPECT_EQ(igetdesc(db, nullptr), nullptr);  // a failure leaves the last result alone
  EXPECT_EQ(list(first), (Strings{"NAME:3", "ID,I"}));
  iopen_index(db, "BYNAME");  // private: not listed
  const char *const *names = igetindexnames(db);
  EXPECT_EQ(list(names), (Strings{"Physical Index", "BYNAME", "BYCITY,U", "BYALL"}));
  EXPECT_EQ(list(igetdesc(db, byall)), kAllNames);  // the other buffer
  EXPECT_EQ(list(names), (Strings{"Physical Index", "BYNAME", "BYCITY,U", "BYALL"}));
  EXPECT_EQ(igetindexnames(small()), names);  // the only index of a database without index file
  EXPECT_EQ(list(names), Strings{"Physical Index"});
}

TEST_F(QueryTest, BadArgumentsGetTheirErrorNumbers) {
  isam_db *other = small();
  isam_index *gone = iopen_index(db, "BYNAME"), *foreign = ihandle(other, "Physical Index");
  ASSERT_EQ(iclose_index(db, gone), 1);
  // clang-format off
  const std::pair<std::pair<int32_t, int32_t>, int32_t> cases[] = {
      {err(igetdesc_fldnbr(db, byname, 2)), 25}, {err(igetdesc_fldstart(db, byname, -1)), 25},
      {err(igetdesc_fldlen(db, bycity, 1)), 25}, {err(igetfldtype(db, 11)), 24},
      {err(igetfldtype(db, -1)), 24}, {err(igetfldlen(db, 11)), 24}, {err(igetfldcount(nullptr)), 1},
      {err(igetdesc_count(nullptr, byname)), 1}, {err(igetfldcount(reinterpret_cast<isam_db *>(byname))), 1},
      {err(igetdesc_count(db, nullptr)), 2}, {err(igetdesc_fldlen(db, gone, 0)), 2},
      {err(igetdesc_count(db, foreign)), 2}};
  // clang-format on
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(cases[i].first, std::make_pair(-1, cases[i].second)) << i;
  EXPECT_TRUE(igetdesc(nullptr, byname) == nullptr && *qrxiseno() == 1);
  EXPECT_TRUE(igetdesc(db, foreign) == nullptr && *qrxiseno() == 2);
  EXPECT_TRUE(igetfldcount(db) == 11 && *qrxiseno() == 0);
  ASSERT_EQ(iclose_db(db), 1);  // a database whose files are closed has nothing to describe
  EXPECT_TRUE(igetfldcount(db) == -1 && *qrxiseno() == 1 && igetfldnames(db) == nullptr && *qrxiseno() == 1);
  EXPECT_TRUE(igetindexnames(db) == nullptr && *qrxiseno() == 1 && igetflddesc(db) == nullptr);
  *qrxiseno() = 5;
  EXPECT_TRUE(getdisk() == 0 && *qrxiseno() == 0);
}

}  // namespace isamtest
