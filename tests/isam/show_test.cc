// The display calls, their standard output checked byte for byte.
#include "isam/query_fixture.h"

namespace isamtest {

// What call printed; its result must be `want` and the error number it leaves `error`.
template <class Call>
std::string printed(int32_t want, Call call, int32_t error = 0) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  const int32_t got = call(), left = *qrxiseno();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(got == want && left == error) << got << " " << left << " " << out;
  return out;
}
// call fails with that error number and prints nothing.
template <class Call>
void fails(int32_t error, Call call) {
  EXPECT_EQ(printed(-1, call, error), "");
}

// A value of every type in stored form, in the order of kAllTypes.
const std::vector<std::string> kValues = {z("Smith"),    z("Oslo"),      be32(-7),  f64(0.00001),
                                          "ABCDEFGH",    "\x01\x0a\xff", z("note"), be32(4000000000u),
                                          be32(-123456), f32(1.25f),     be16(-2)};

// Copies of values and pointers to them, a null one behind the last.
struct Fields {
  std::vector<std::string> held;
  std::vector<const void *> ptrs;
  explicit Fields(std::vector<std::string> v) : held(std::move(v)) {
    for (const auto &s : held) ptrs.push_back(s.data());
    ptrs.push_back(nullptr);
  }
};

TEST_F(QueryTest, ShowdescPrintsTheKeySpecifications) {
  std::string physical;
  for (const auto &f : kAllNames) physical += f + "|";
  EXPECT_EQ(printed(1, [&] { return showdesc(db, byname, ", "); }), "NAME:3, ID,I, \n");
  EXPECT_EQ(printed(1, [&] { return showdesc(db, bycity, nullptr); }), "CITY,S:2,5\n\n");
  EXPECT_EQ(printed(1, [&] { return showdesc(db, nullptr, "|"); }), physical + "\n");
  fails(2, [&] { return showdesc(db, reinterpret_cast<isam_index *>(db), ", "); });
  fails(1, [&] { return showdesc(nullptr, nullptr, ", "); });
}

TEST_F(QueryTest, FieldAndIndexListsPrintOneItemEach) {
  std::string fields;
  for (const auto &f : kAllNames) fields += f + ", ";
  EXPECT_EQ(printed(1, [&] { return qrxisshf(db, ", "); }), fields + "\n");
  EXPECT_EQ(printed(1, [&] { return qrxisshi(db, nullptr); }), "Physical Index\nBYNAME\nBYCITY,U\nBYALL\n\n");
  fails(1, [&] { return qrxisshf(nullptr, ", "); });
  fails(1, [&] { return qrxisshi(nullptr, ", "); });
}

TEST_F(QueryTest, KeysPrintFieldByFieldFromTheirStoredBytes) {
  std::string all(1, '\3');
  for (const auto &v : kValues) all += v;
  EXPECT_EQ(printed(1, [&] { return qrxisshw(db, byall, all.data(), ", "); }),
            "Smith, Oslo, -7, 0.00, ABCDEFGH, BINARY:3, note, 4000000000, -123456, 1.25, -2, \n");
  const std::string segment = k(1, z("Smi") + be32(7));
  EXPECT_EQ(printed(1, [&] { return qrxisshw(db, byname, segment.data(), nullptr); }), "Smi\n7\n\n");
  isam_db *other = small();
  const std::string one = k(0, be32(7) + "AZ" + z("n"));  // no declared-length array: one byte each
  EXPECT_EQ(printed(1, [&] { return qrxisshw(other, ihandle(other, "Physical Index"), one.data(), ","); }),
            "7,BINARY:1,Z,n,\n");
  fails(18, [&] { return qrxisshw(db, byall, nullptr, ","); });
  fails(2, [&] { return qrxisshw(other, byall, all.data(), ","); });
}

TEST_F(QueryTest, RecordsPrintByTheTypesOfTheCurrentDatabase) {
  const Fields all(kValues), texts({z("Ann"), z("Oslo")});
  *qrxiscdb() = nullptr;  // no database: every value is a text
  EXPECT_EQ(printed(1, [&] { return qrxisshr(texts.ptrs.data(), "FieldNames"); }),
            "AnnFieldNamesOsloFieldNames\n");
  *qrxiscdb() = db;
  EXPECT_EQ(printed(1, [&] { return qrxisshr(all.ptrs.data(), ", "); }),
            R"(Smith, Oslo, -7, 1E-05, ABCDEFGH, \x01\x0A\xFF, note, 4000000000, -123456, 1.25, -2, )"
            "\n");
  EXPECT_EQ(printed(1, [&] { return qrxisshr(all.ptrs.data(), "FieldNames"); }),
            "NAME:Smith\nCITY,S:Oslo\nID,I:-7\nAMT,D:1E-05\nCODE,C8:ABCDEFGH\n"
            R"(FLAGS,B3:\x01\x0A\xFF)"
            "\nNOTE,C:note\nCNT,U:4000000000\nSEQ,L:-123456\nRATE,F:1.25\nQTY,H:-2\n\n");
  EXPECT_EQ(printed(1, [&] { return qrxisshr(texts.ptrs.data(), "fieldnames"); }),
            "AnnfieldnamesOslofieldnames\n");
  const Fields one({be32(7), "\x9c", "Z"});  // stops at the first null pointer
  *qrxiscdb() = small();
  EXPECT_EQ(printed(1, [&] { return qrxisshr(one.ptrs.data(), nullptr); }), "7\n\\x9C\nZ\n\n");
  fails(18, [&] { return qrxisshr(nullptr, nullptr); });
  ASSERT_EQ(iclose_db(*qrxiscdb()), 1);
  fails(1, [&] { return qrxisshr(one.ptrs.data(), nullptr); });
}

}  // namespace isamtest
