// The qrx tool run as a program: stat, verify's status and dump file, failures on missing files and bad
// arguments (the demonstration runs as a test of its own); the `qrx db` commands as a user runs them, on good
// input, bad input and damaged files. Skipped when the binary is not built beside this test.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "qrxcb.h"
#include "qrxis.h"
#include "support/test_util.h"
#include "support/tree_builder.h"

namespace qrx::test {
namespace {

// Runs qrx with the arguments; returns the exit status and sets out to its standard output. Standard
// error goes to the file err.
int qrx(const std::string &args, std::string *out = nullptr, const std::string &err = "/dev/null") {
  const auto bin = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "qrx";
  FILE *p = popen((bin.string() + " " + args + " 2>" + err).c_str(), "r");
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
    if (out) out->append(buf, n);
  const int w = pclose(p);
  return WIFEXITED(w) ? WEXITSTATUS(w) : -1;
}

TEST(QrxTool, StatVerifyAndMissingFiles) {
  if (!std::filesystem::exists(std::filesystem::read_symlink("/proc/self/exe").parent_path() / "qrx"))
    GTEST_SKIP() << "the qrx tool was not built";
  TempDir dir;
  const std::string path = dir.file("cust.IDX"), dmp = dir.file("cust.dmp");
  build_index(path, 512, {{{"a", 1}, {"b", 2}, {"c", 3}}}, 2);
  std::string out;
  EXPECT_EQ(qrx("idx stat " + path, &out), 0);
  EXPECT_NE(out.find("\nentries"), std::string::npos) << out;
  EXPECT_EQ(qrx("idx verify " + path), 0);
  EXPECT_FALSE(std::filesystem::exists(dmp));
  build_index(path, 512, {{{"b", 2}, {"a", 1}, {"c", 3}}}, 2);  // keys out of order
  out.clear();
  EXPECT_EQ(qrx("idx verify " + path, &out), 1);
  EXPECT_EQ(out, path + ": NOT consistent; dump written to " + dmp + "\n");
  build_index(path, 512, {{{"a", 1}, {"b", 2}, {"c", 3}}}, 2);
  CtlFields c = read_ctl(path);
  c.highblock = 9;  // past the end of the file: only the deep check looks
  write_ctl(path, c);
  EXPECT_EQ(qrx("idx verify " + path), 1);
  for (const char *cmd : {"stat", "verify", "dump"})
    EXPECT_EQ(qrx(std::string("idx ") + cmd + " " + dir.file("no")), 1);
  // Command lines that do not parse: 2, whatever the parser's reason.
  for (const char *args : {"idx stat", "nonsense", "demo --keys abc", "demo --block-size 10",
                           "idx stat --x a", "db load onlyname", "db scan x --limit", "db scan x --limit -1"})
    EXPECT_EQ(qrx(args), 2) << args;
  EXPECT_EQ(qrx("demo " + dir.file("d") + " --seed -5"), 2);  // not a seed of 2^64 - 5
  EXPECT_EQ(qrx("db --help"), 0);
}

// ---------------------------------------------------------------------------------------------------
// qrx db
// ---------------------------------------------------------------------------------------------------

struct Outcome {
  int status;
  std::string out, err;
};

class QrxDb : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(std::filesystem::read_symlink("/proc/self/exe").parent_path() / "qrx"))
      GTEST_SKIP() << "the qrx tool was not built";
  }
  // Runs `qrx db ARGS` with standard output and standard error kept apart.
  Outcome db(const std::string &args) {
    Outcome r{0, "", ""};
    r.status = qrx("db " + args, &r.out, dir.file("stderr"));
    r.err = read_file(dir.file("stderr"));
    return r;
  }
  std::string path(const std::string &name) { return dir.file(name); }
  // The database NAME with the sample's fields and its two indexes.
  void create(const std::string &name, const std::string &extra = "") {
    const Outcome r =
        db("create " + path(name) + " --field ID,I --field NAME --field CITY --field AMT,D --field QTY,H" +
           " --field CODE,C4 --field FLAGS,B2 --index BYID,U=ID --index BYCITY=CITY:0,4+AMT " + extra);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  std::string export_csv(const std::string &name, const std::string &index = "") {
    const Outcome r = db("export " + path(name) + (index.empty() ? "" : " --index " + index));
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }
  TempDir dir;
};

size_t lines(const std::string &text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST_F(QrxDb, LoadQueryExportAndLoadAgain) {
  create("cust");
  // Columns in another order than the fields; six rows that do not fit, one of them spanning two lines.
  write_file(path("c.csv"),
             "CITY,ID,NAME,AMT,QTY,CODE,FLAGS\n"
             "London,1,Smith,12.5,-3,AB,00ff\n"
             "Londonderry,2,\"Jones, Jr.\",7,10,ABCD,0102\n"
             "Paris,3,\" spaced \",-0.25,0,X,\n"
             "Paris,x,Bad,1,1,Y,00\n"                    // 5: not a number
             "Rome,4,Toolong,1,1,ABCDE,00\n"             // 6: too long for CODE,C4
             "Rome,5,Few\n"                              // 7: too few values
             "Oslo,1,Dup,3,3,Z,00\n"                     // 8: ID 1 again in a unique index
             "Oslo,6,\"Multi\nline\",2.75,40000,Q,00\n"  // 9: QTY out of range for a short
             "Oslo,7,Olsen,1e3,5,OK,abcd\n"
             "Rome,8,Rossi,99,7,R,zz\n");  // 12: not hexadecimal
  Outcome r = db("load " + path("cust") + " " + path("c.csv"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("loaded 4 records"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("6 rows skipped"), std::string::npos) << r.out;
  EXPECT_EQ(lines(r.err), 6u) << r.err;
  for (const char *line : {":5: field ID", ":6: field CODE", ":7: 3 values", ":8: a unique index",
                           ":9: field QTY", ":12: field FLAGS"})
    EXPECT_NE(r.err.find(path("c.csv") + line), std::string::npos) << line << "\n" << r.err;

  const std::string header = "ID,NAME,CITY,AMT,QTY,CODE,FLAGS\n";
  r = db("get " + path("cust") + " BYID 3 --csv");
  EXPECT_EQ(r.out, header + "3,\" spaced \",Paris,-0.25,0,X,0000\n") << r.err;
  // A partial key, its text cut to the index's four letters and matched without regard to case.
  r = db("get " + path("cust") + " BYCITY lond --csv");
  EXPECT_EQ(r.out, header + "2,\"Jones, Jr.\",Londonderry,7,10,ABCD,0102\n1,Smith,London,12.5,-3,AB,00ff\n");
  r = db("get " + path("cust") + " BYCITY LONDON 12.5 --csv");
  EXPECT_EQ(r.out, header + "1,Smith,London,12.5,-3,AB,00ff\n");
  r = db("get " + path("cust") + " BYID 99");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  r = db("scan " + path("cust") + " BYID --from 2 --limit 2 --csv");
  EXPECT_EQ(r.out,
            header + "2,\"Jones, Jr.\",Londonderry,7,10,ABCD,0102\n3,\" spaced \",Paris,-0.25,0,X,0000\n");
  r = db("scan " + path("cust") + " BYCITY --from Osl");  // no key Osl: from the next one on, as a table
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lines(r.out), 3u) << r.out;
  EXPECT_EQ(r.out.find("ID  NAME"), 0u) << r.out;
  EXPECT_LT(r.out.find("Olsen"), r.out.find("spaced")) << r.out;

  // An export loads into a fresh database as the same records, and exports the same again.
  const std::string exported = export_csv("cust");
  EXPECT_EQ(lines(exported), 5u) << exported;
  write_file(path("e.csv"), exported);
  create("copy");
  r = db("load " + path("copy") + " " + path("e.csv") + " --strict");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(export_csv("copy"), exported);
  EXPECT_EQ(export_csv("copy", "BYCITY"), export_csv("cust", "BYCITY"));

  r = db("stat " + path("cust"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("records       4,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("CITY:4 + AMT,D"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("binary[2]\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" 4 entries"), std::string::npos) << r.out;
  r = db("verify " + path("cust"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find(path("cust") + ": clean: 4 records"), 0u) << r.out;

  // --strict stops at the first row that does not fit.
  write_file(path("s.csv"),
             "ID,NAME,CITY,AMT,QTY,CODE,FLAGS\n9,A,B,1,1,C,00\n10,A,B,z,1,C,00\n11,A,B,1,1,C,00\n");
  r = db("load " + path("copy") + " " + path("s.csv") + " --strict");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("s.csv:3: field AMT"), std::string::npos) << r.err;
  EXPECT_EQ(lines(export_csv("copy")), 6u);
}

TEST_F(QrxDb, DamagedIndexFileIsReportedAndRebuilt) {
  // Every 7th row repeats ID 1 with a long name: the unique index refuses it after its data were written,
  // which leaves a hole that the records after it only partly fill.
  create("big", "--block-size 512");
  std::ostringstream csv;
  csv << "ID,NAME,CITY,AMT,QTY,CODE,FLAGS\n";
  static const char *const kCities[] = {"London", "Londonderry", "Paris", "Rome", "Oslo", "Osaka"};
  for (int i = 1; i <= 1500; ++i) {
    const std::string name = i % 7 == 0 ? std::string(300, 'x') : std::to_string(i * 7919 % 1000);
    csv << (i % 7 == 0 ? 1 : i) << ",N" << name << "," << kCities[i % 6] << "," << (i * 37 % 1000) / 4.0
        << "," << i % 300 - 150 << ",C" << i % 100 << ",0" << i % 10 << "ff\n";
  }
  write_file(path("big.csv"), csv.str());
  EXPECT_EQ(db("load " + path("big") + " " + path("big.csv")).status, 1);  // 214 rows refused
  const Outcome clean = db("verify " + path("big"));
  ASSERT_EQ(clean.status, 0) << clean.out;
  EXPECT_EQ(clean.out.find(path("big") + ": clean: 1286 records, "), 0u) << clean.out;
  EXPECT_EQ(clean.out.find(", 0 holes"), std::string::npos) << clean.out;
  const std::string by_file = export_csv("big"), by_id = export_csv("big", "BYID"),
                    by_city = export_csv("big", "BYCITY");
  const std::string idx = path("big.IDX"), good = read_file(idx);

  const auto flip = [&](size_t at) {
    std::string bytes = read_file(idx);
    for (size_t i = at; i < at + 24; ++i) bytes[i] = static_cast<char>(bytes[i] ^ 0xFF);
    write_file(idx, bytes);
  };
  const std::vector<std::pair<const char *, std::function<void()>>> damage = {
      {"truncated", [&] { std::filesystem::resize_file(idx, good.size() / 2); }},
      {"bytes flipped",
       [&] { flip(good.size() / 512 / 3 * 512 + 20), flip(good.size() / 512 * 2 / 3 * 512 + 20); }},
      {"deleted", [&] { std::filesystem::remove(idx); }},
  };
  for (const auto &[what, harm] : damage) {
    SCOPED_TRACE(what);
    write_file(idx, good);
    std::filesystem::remove(idx + ".old");
    harm();
    Outcome r = db("verify " + path("big"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("NOT clean"), std::string::npos) << r.out;
    r = db("rebuild " + path("big"));
    if (std::string(what) == "deleted") {
      // Nothing tells the indexes: they are named as create names them.
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find("--index"), std::string::npos) << r.err;
      r = db("rebuild " + path("big") + " --index BYID,U=ID --index BYCITY=CITY:0,4+AMT --block-size 512");
    } else {
      EXPECT_TRUE(std::filesystem::exists(idx + ".old"));
    }
    EXPECT_EQ(r.status, 0) << r.err;
    // Whole again: every record through every index, holes and their keys included.
    EXPECT_EQ(db("verify " + path("big")).out, clean.out);
    EXPECT_EQ(export_csv("big"), by_file);
    EXPECT_EQ(export_csv("big", "BYID"), by_id);
    EXPECT_EQ(export_csv("big", "BYCITY"), by_city);
  }
}

TEST_F(QrxDb, IndexVerifyTakesTheDatabasesKeyOrder) {
  // Negative numbers sort before positive ones, which their bytes do not.
  ASSERT_EQ(db("create " + path("n") + " --field ID,I --field F,F --index BYID,U=ID --index BYF=F").status,
            0);
  write_file(path("n.csv"), "ID,F\n-5,-1.5\n3,2.5\n-1,0.25\n7,-7\n0,1e9\n");
  ASSERT_EQ(db("load " + path("n") + " " + path("n.csv")).status, 0);
  std::string out;
  EXPECT_EQ(qrx("idx verify " + path("n.IDX"), &out), 0) << out;
  // Without the data file's fields the order is unknown: byte for byte, the file fails.
  std::filesystem::rename(path("n.DB"), path("n.DB.away"));
  EXPECT_EQ(qrx("idx verify " + path("n.IDX")), 1);
}

TEST_F(QrxDb, DamagedDataFileIsReportedAtItsOffset) {
  ASSERT_EQ(db("create " + path("d") + " --field ID,I --field NAME --index BYID,U=ID").status, 0);
  write_file(path("d.csv"), "ID,NAME\n1,a\n2,bb\n3,ccc\n");
  ASSERT_EQ(db("load " + path("d") + " " + path("d.csv")).status, 0);
  // Header: 8 bytes and "ID,I\0NAME\0" (10); the first record: its length word and 4 + 2 bytes of data.
  const size_t second = 8 + 10 + 4 + 6;
  const std::string data = path("d.DB"), good = read_file(data);
  std::string bad = good;
  bad.replace(second, 4, "\x7f\xff\xff\x00", 4);  // a length running far past the end of the file
  write_file(data, bad);
  Outcome r = db("verify " + path("d"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("damaged at offset " + std::to_string(second) + ":"), std::string::npos) << r.out;
  r = db("rebuild " + path("d"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("offset " + std::to_string(second)), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(path("d.IDX.old")));  // the index file was left alone

  write_file(data, good.substr(0, second + 2));  // cut inside the second record's length word
  r = db("verify " + path("d"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("offset " + std::to_string(second) + ": the file ends 2 bytes into a length word"),
            std::string::npos)
      << r.out;
  // The data of record 2 changed in place: its entry no longer holds its key.
  bad = good;
  bad[second + 4 + 3] = 9;
  write_file(data, bad);
  r = db("verify " + path("d"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("the entry for the record at offset " + std::to_string(second) + " holds '2'"),
            std::string::npos)
      << r.out;
}

// The cross-check on damage it alone can see: the B-tree is sound, the files disagree.
TEST_F(QrxDb, VerifyListsEveryDisagreementOfTheFiles) {
  ASSERT_EQ(db("create " + path("d") + " --field ID,I --field NAME --index BYID,U=ID").status, 0);
  write_file(path("d.csv"), "ID,NAME\n1,a\n2,b\n3,c\n1," + std::string(40, 'x') + "\n");
  ASSERT_EQ(db("load " + path("d") + " " + path("d.csv")).status, 1);  // the last row leaves a hole
  ASSERT_EQ(db("verify " + path("d")).status, 0);
  const size_t first = 8 + 10, rec = 4 + 4 + 2, third = first + 2 * rec;  // records of 4 + 2 data bytes
  const auto be32 = [](uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[size_t(i)] = char(v >> (24 - 8 * i));
    return s;
  };
  ASSERT_EQ(cbinit(16, 4096), 1);
  cbt_tree *t = cbopen(path("d.IDX").c_str(), 2, nullptr);  // bytes order these keys as the library does
  ASSERT_NE(t, nullptr);
  const std::string stray = "\xFE" + be32(9999), entry = "\x01" + be32(2);
  EXPECT_EQ(cbinsert(t, stray.data(), 5, 7, 0), 1);
  EXPECT_EQ(cbdelete(t, entry.data(), 5, uint32_t(first + rec)), 1);
  EXPECT_TRUE(cbclose(t) == 1 && cbexit() == 1);
  std::string data = read_file(path("d.DB"));
  data.replace(third, 4, be32(uint32_t(-6)));  // record 3 made a hole, touching the hole behind it
  write_file(path("d.DB"), data);

  Outcome r = db("verify " + path("d"));
  EXPECT_EQ(r.status, 1);
  const std::string at3 = "offset " + std::to_string(third);
  for (const std::string &finding : std::vector<std::string>{
           "the holes at " + at3 + " and offset " + std::to_string(third + rec) + " touch",
           "index BYID,U: an entry points at " + at3 + ", where no record starts",
           "the record at offset " + std::to_string(first + rec) + " has no entry in index BYID,U",
           "the hole at " + at3 + " (6 bytes) has no offset key", "an offset key names a hole at offset 9999",
           "NOT clean: 6 findings"})
    EXPECT_NE(r.out.find(finding), std::string::npos) << finding << "\n" << r.out;
  // A rebuild gives every record and hole its keys; the data file it leaves as it is.
  r = db("rebuild " + path("d"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("note: holes that touch the hole before them: 1"), std::string::npos) << r.out;
  r = db("verify " + path("d"));
  EXPECT_NE(r.out.find(" touch (one hole should span both)\n" + path("d") + ": NOT clean: 1 finding"),
            std::string::npos)
      << r.out;
}

TEST_F(QrxDb, CopyRenameIndexesDumpAndDestroy) {
  create("a");
  write_file(
      path("a.csv"),
      "ID,NAME,CITY,AMT,QTY,CODE,FLAGS\n1,Smith,Rome,3,1,A,00\n2,Smith,Oslo,1,1,B,00\n3,Ng,Bern,2,1,C,00\n");
  ASSERT_EQ(db("load " + path("a") + " " + path("a.csv")).status, 0);
  // A copy in an index's order holds its records in that order.
  Outcome r = db("copy " + path("a") + " " + path("b") + " --index BYCITY");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(export_csv("b"), export_csv("a", "BYCITY"));
  EXPECT_NE(db("copy " + path("a") + " " + path("b")).status, 0);  // b exists
  // Into an existing database: its unique index refuses every record again.
  r = db("copy " + path("a") + " " + path("b") + " --into");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("holds 3"), std::string::npos) << r.out;

  ASSERT_EQ(db("index add " + path("b") + " BYNAME=NAME").status, 0);
  EXPECT_EQ(lines(db("get " + path("b") + " BYNAME smith").out), 3u);
  EXPECT_EQ(db("verify " + path("b")).status, 0);
  // A unique index over duplicate values is refused and leaves nothing behind.
  r = db("index add " + path("b") + " BYNAMEU,U=NAME");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("same key"), std::string::npos) << r.err;
  EXPECT_EQ(db("index rm " + path("b") + " BYNAMEU").status, 1);
  ASSERT_EQ(db("index rm " + path("b") + " BYNAME").status, 0);
  EXPECT_EQ(db("get " + path("b") + " BYNAME smith").status, 1);
  r = db("verify " + path("b"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("2 indexes holding 6 entries"), std::string::npos) << r.out;

  ASSERT_EQ(db("rename " + path("b") + " " + path("c")).status, 0);
  EXPECT_FALSE(std::filesystem::exists(path("b.DB")));
  EXPECT_EQ(db("verify " + path("c")).status, 0);
  ASSERT_EQ(db("dump " + path("c")).status, 0);
  EXPECT_TRUE(std::filesystem::exists(path("c.DMP")));
  ASSERT_EQ(db("destroy " + path("c")).status, 0);
  EXPECT_FALSE(std::filesystem::exists(path("c.DB")));
  EXPECT_FALSE(std::filesystem::exists(path("c.IDX")));
}

// While this process has the database open for writing, the tool (another process) neither rebuilds,
// replaces, destroys nor renames it: the files stay byte for byte; once closed, all of it works again.
TEST_F(QrxDb, ADatabaseOpenForWritingElsewhereIsLeftAlone) {
  create("w");
  isam_db *held = iopen_db(path("w").c_str(), 2);
  ASSERT_NE(held, nullptr);
  const std::string data = read_file(path("w.DB")), index = read_file(path("w.IDX"));
  for (const std::string &args : {"rebuild " + path("w"), "create " + path("w") + " --field X --force",
                                  "destroy " + path("w"), "rename " + path("w") + " " + path("v")}) {
    const Outcome r = db(args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_EQ(read_file(path("w.DB")), data) << args;
    EXPECT_EQ(read_file(path("w.IDX")), index) << args;
  }
  EXPECT_NE(db("rebuild " + path("w")).err.find("open for writing in another process"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(path("w.IDX.old")));
  EXPECT_EQ(iclose_db(held), 1);
  EXPECT_EQ(isamexit(), 1);
  EXPECT_EQ(db("rebuild " + path("w")).status, 0);
  EXPECT_EQ(db("destroy " + path("w")).status, 0);
}

TEST_F(QrxDb, BadInputGivesOneLineAndFailure) {
  create("a");
  write_file(path("h.csv"), "ID,NAME,TOWN\n");
  write_file(path("q.csv"), "ID,NAME,CITY,AMT,QTY,CODE,FLAGS\n1,\"open\n");
  const std::string a = path("a");
  for (const std::string &args : {
           "get " + path("none") + " BYID 1",
           "get " + a + " NOPE 1",
           "get " + a + " BYID one",
           "get " + a + " BYID 1 2",
           "scan " + a + " --from 1",
           "stat " + path("none"),
           "create " + a + " --field X",
           "create " + path("n") + " --field X --index B=Y",
           "create " + path("n") + " --field X,I --index B=X:3",
           "create " + path("n") + " --field X,C:4 --index B=X",
           "create " + path("n") + " --field X --field X,I",
           "load " + a + " " + path("none.csv"),
           "load " + a + " " + path("h.csv"),
           "load " + a + " " + path("q.csv"),
           "index add " + a + " BYID,U=ID",
           "index rm " + a + " NOPE",
           "copy " + a + " " + a + ".old",
           "rename " + path("none") + " " + path("x"),
           "destroy " + path("none"),
       }) {
    const Outcome r = db(args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_EQ(lines(r.err), 1u) << args << "\n" << r.err;
    EXPECT_EQ(r.err.rfind("qrx: ", 0), 0u) << args << "\n" << r.err;
  }
  const Outcome r = db("create " + path("n") + " --field X --block-size 5");  // refused by the parser
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(lines(r.err), 1u) << r.err;
  EXPECT_FALSE(std::filesystem::exists(path("n.DB")));
  EXPECT_EQ(db("verify " + a).status, 0);
}
}  // namespace
}  // namespace qrx::test
