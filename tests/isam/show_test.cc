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

TEST_F(QueryTest, WalksPrintEveryRecordAndPutTheIndexBack) {
  // Three records whose NAME, CITY and ID differ: BYNAME orders them Ann 3, Bob 1, Cy 2; the file by adding.
  const std::string rest = R"(1E-05, ABCDEFGH, \x01\x0A\xFF, note, 4000000000, -123456, 1.25, -2, )";
  std::string lines[4];
  for (const auto &[name, city, id] : {std::tuple<std::string, std::string, int32_t>{"Bob", "Oslo", 1},
                                       {"Cy", "Rome", 2},
                                       {"Ann", "Bern", 3}}) {
    std::vector<std::string> v = kValues;
    v[0] = z(name), v[1] = z(city), v[2] = be32(uint32_t(id));
    const Fields f(v);
    ASSERT_EQ(iaddrec(db, nullptr, f.ptrs.data()), 1);
    lines[id] = name + ", " + city + ", " + std::to_string(id) + ", " + rest + "\n";
  }
  const std::string id3 = be32(3);
  const void *ann[] = {"Ann", id3.data(), nullptr};
  ASSERT_EQ(ifindkey(db, byname, ann), 2);
  ASSERT_EQ(ifindnext(db, byname), 1);  // on Bob
  *qrxiscdb() = nullptr;
  EXPECT_EQ(printed(-3, [&] { return qrxisshk(db, byname, ", "); }), lines[3] + lines[1] + lines[2]);
  EXPECT_EQ(*qrxiscdb(), db);
  EXPECT_EQ(ifindnext(db, byname), 1);
  void *got[12];
  char buf[256];
  ASSERT_EQ(igetrec(db, byname, got, buf, sizeof buf), 1);
  EXPECT_STREQ(static_cast<char *>(got[0]), "Cy") << "back on Bob before the step";
  // The file-order walk ends at a failed read past the last record: error 7 stays.
  EXPECT_EQ(printed(
                -3, [&] { return qrxisshk(db, nullptr, ", "); }, 7),
            lines[1] + lines[2] + lines[3]);
  fails(2, [&] { return qrxisshk(db, reinterpret_cast<isam_index *>(&buf), nullptr); });
}

}  // namespace isamtest
