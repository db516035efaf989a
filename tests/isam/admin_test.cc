// Administration: copies in file and index order, into new and existing databases; making and removing
// indexes on databases with records; a new index file; destroy, rename, verify and dump.
#include <sys/stat.h>

#include <functional>

#include "cbt/blockio/blockio.h"
#include "cbt/cbt.h"
#include "isam/query_fixture.h"
#include "isam/record_fixture.h"

namespace isamtest {
namespace {

namespace blockio = qrx::blockio;
namespace cbt = qrx::cbt;

Rec rec(int32_t id, const std::string &name) {
  Rec r;
  r.name = name, r.id = id, r.score = id % 3, r.code = "cc" + std::to_string(id % 7);
  return r;
}

std::vector<uint32_t> g_progress;
void count_progress(uint32_t n) {
  g_progress.push_back(n);
}

// The records of a database in file order.
std::vector<Rec> in_file_order(const std::string &base) {
  std::vector<Rec> out;
  for (const auto &[off, b] : scan_data(base + ".DB").records) out.push_back(decode(b));
  return out;
}

// Numbers of BYID, BYNAME and BYCODE in db (a copy numbers them as it makes them).
std::array<int, 3> numbers_of(isam_db *db) {
  return {ihandle(db, "BYID")->number, ihandle(db, "BYNAME")->number, ihandle(db, "BYCODE")->number};
}

struct AdminTest : RecordTest {
  std::map<int32_t, Rec> model;
  // Records with IDs in a scattered order, so that file order is not BYID's order.
  void fill(int n) {
    for (int i = 0; i < n; ++i) {
      const int32_t id = (i * 37) % 101 + 1;
      model[id] = rec(id, "n" + std::to_string(100 - id));
      ASSERT_EQ(add(model[id]), 1);
    }
  }
  void TearDown() override {
    qrxisprg(nullptr);
    RecordTest::TearDown();
  }
};

TEST_F(AdminTest, CopiesInFileAndIndexOrder) {
  open_fresh(1024);
  fill(60);
  const std::string copy = dir.file("copy"), sorted = dir.file("sorted");
  qrxisprg(count_progress);
  g_progress.clear();
  ASSERT_EQ(icopy_database(base.c_str(), copy.c_str(), nullptr, 0, 1), 1) << *qrxiseno();
  EXPECT_TRUE(g_progress.size() == 60u && g_progress.back() == 60u) << "none for making the indexes";
  // File order: the same records in the same order; every index made again and filled.
  std::vector<Rec> want = in_file_order(base), got = in_file_order(copy);
  EXPECT_EQ(got, want);
  isam_db *c = iopen_db(copy.c_str(), 2);
  ASSERT_NE(c, nullptr);
  check(c, model, true, numbers_of(c));
  EXPECT_EQ(cbblksize((copy + ".IDX").c_str()), 1024);
  // BYNAME's order becomes the copy's file order.
  ASSERT_EQ(qrxiscpy(base.c_str(), sorted.c_str(), "BYNAME", 512), 1);
  got = in_file_order(sorted);
  std::stable_sort(want.begin(), want.end(),
                   [](const Rec &a, const Rec &b) { return key_order(2, a, b) < 0; });
  EXPECT_EQ(got, want);
  EXPECT_EQ(cbblksize((sorted + ".IDX").c_str()), 512);

  const std::string same = base + ".old";
  EXPECT_TRUE(icopy_database(base.c_str(), same.c_str(), nullptr, 0, 1) == -1 && *qrxiseno() == 19);
  EXPECT_EQ(icopy_database(base.c_str(), copy.c_str(), "NOSUCH", 0, 1), -1);
  EXPECT_EQ(iclose_db(c), 1);
}

TEST_F(AdminTest, CopyIntoAnExistingDatabaseSkipsWhatItsUniqueIndexHolds) {
  open_fresh();
  fill(20);
  const std::string other = dir.file("other");
  ASSERT_EQ(icopy_database(base.c_str(), other.c_str(), nullptr, 0, 1), 1);
  // Ten more records in the source: copied again with create 0, only they are added.
  for (int32_t id = 200; id < 210; ++id) ASSERT_EQ(add(model[id] = rec(id, "late")), 1);
  isam_db *o = iopen_db(other.c_str(), 2);  // stays open: the copy finds it and adds to it
  ASSERT_EQ(icopy_database(base.c_str(), other.c_str(), "BYID", 0, 0), 1) << *qrxiseno();
  check(o, model, true, numbers_of(o));
  EXPECT_EQ(iclose_db(o), 1);

  // A destination with more fields: those beyond the source's get the empty value of their type.
  const std::string wide =
      made("wide", {"NAME", "ID,I", "SCORE,D", "CODE,C", "TAG,C3", "MORE,C4", "N,I", "T"});
  ASSERT_EQ(icopy_database(base.c_str(), wide.c_str(), nullptr, 0, 0), 1) << *qrxiseno();
  const auto records = scan_data(wide + ".DB").records;
  ASSERT_EQ(records.size(), model.size());
  const std::string &b = records.begin()->second;
  EXPECT_EQ(b.substr(b.size() - 9), std::string("    ") + std::string(4, '\0') + std::string(1, '\0'));
  // A destination with fewer fields refuses.
  const std::string narrow = made("narrow", {"NAME", "ID,I", "SCORE,D", "CODE,C"});
  EXPECT_TRUE(icopy_database(base.c_str(), narrow.c_str(), nullptr, 0, 0) == -1 && *qrxiseno() == 24);
}

TEST_F(AdminTest, MadeIndexesAreFilledAndOpenAgain) {
  open_fresh();
  fill(30);
  const char *const bytag[] = {"TAG,C3", "CODE,C:1,2", nullptr};
  qrxisprg(count_progress);
  g_progress.clear();
  ASSERT_EQ(imkindex(db, "BYTAG", bytag), 1) << *qrxiseno();
  EXPECT_EQ(g_progress.size(), 30u);
  isam_index *bt = ihandle(db, "BYTAG");
  ASSERT_NE(bt, nullptr);
  EXPECT_EQ(bt->number, 4) << "the lowest free number";
  EXPECT_EQ(bt->status, 1) << "left on its first entry";
  EXPECT_EQ(list(igetdesc(db, bt)), (std::vector<std::string>{"TAG,C3", "CODE,C:1,2"}));
  std::vector<uint32_t> items;
  for (int32_t r = 1; r == 1; r = ifindnext(db, bt)) {
    uint32_t off = 0;
    ASSERT_EQ(cbcurr(bt->tree, &off), 1);
    items.push_back(off);
  }
  EXPECT_EQ(items.size(), 30u);
  ASSERT_EQ(iclose_db(db), 1);
  reopen();
  ASSERT_NE(ihandle(db, "BYTAG"), nullptr) << "an index that was made opens again";

  const char *const upper[] = {"tag,C3", nullptr}, *const zero[] = {"TAG,C3:0", nullptr},
                    *const empty_seg[] = {"CODE,C:2,0", nullptr}, *const fine[] = {"ID,I", nullptr};
  EXPECT_TRUE(imkindex(db, "X", upper) == -1 && *qrxiseno() == 18) << "names must match exactly";
  EXPECT_TRUE(imkindex(db, "X", zero) == -1 && *qrxiseno() == 18) << "a length 0 keeps the ':' in the name";
  EXPECT_TRUE(imkindex(db, "X", empty_seg) == -1 && *qrxiseno() == 18);
  EXPECT_TRUE(imkindex(db, "BYTAG", fine) == -1 && *qrxiseno() == 17);
  const std::string longname(40000, 'n');  // longer than any key buffer
  EXPECT_TRUE(imkindex(db, longname.c_str(), fine) == -1 && *qrxiseno() == 11) << *qrxiseno();
  // A unique index over values that repeat: the add of an entry fails, the index stays.
  const char *const score[] = {"SCORE,D", nullptr};
  EXPECT_TRUE(imkindex(db, "BYSCORE,U", score) == -1 && *qrxiseno() == 9);
}

TEST_F(AdminTest, IndexNumbersStopBelowTheFreeSpaceKeys) {
  open_fresh();
  const char *const byid[] = {"ID,I", nullptr};
  int32_t made = 3;
  for (int i = 0; i < 300 && imkindex(db, ("I" + std::to_string(i)).c_str(), byid) == 1; ++i) ++made;
  EXPECT_EQ(*qrxiseno(), 13);
  EXPECT_EQ(made, 253);
  ASSERT_EQ(add(rec(1, "a")), 1);  // an entry in every index, the free-space keys untouched
  ASSERT_EQ(iclose_db(db), 1);
  reopen();
  EXPECT_NE(ihandle(db, "I249"), nullptr);
  EXPECT_EQ(ihandle(db, "I249")->number, 253);
  check(db, {{1, rec(1, "a")}});
}

TEST_F(AdminTest, RemovedIndexesLeaveNothingBehind) {
  open_fresh();
  fill(40);
  isam_index *own = iopen_index(db, "BYNAME");
  ASSERT_EQ(ifindhead(db, own), 1);
  qrxisprg(count_progress);
  g_progress.clear();
  ASSERT_EQ(irmindex(db, "BYNAME"), 1) << *qrxiseno();
  EXPECT_EQ(g_progress.size(), 40u);
  EXPECT_EQ(ihandle(db, "BYNAME"), nullptr);
  EXPECT_EQ(iclose_index(db, own), -1) << "its private objects were closed with it";
  EXPECT_TRUE(entries(db, db->holetree, 2).empty());
  EXPECT_EQ(list(igetindexnames(db)).size(), 3u);
  EXPECT_TRUE(irmindex(db, "Physical Index") == -1 && *qrxiseno() == 6);
  EXPECT_EQ(irmindex(db, "BYNAME"), -1);
  // Changes go on without it, and the next open does not know it.
  ASSERT_EQ(add(rec(500, "after")), 1);
  ASSERT_EQ(iclose_db(db), 1);
  db = iopen_db(base.c_str(), 2);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(ihandle(db, "BYNAME"), nullptr);
  EXPECT_EQ(cbcheck(db->holetree), 1);
}

TEST_F(AdminTest, NewIndexFileHoldsOnlyThePhysicalIndex) {
  open_fresh(1024);
  fill(10);
  EXPECT_TRUE(inew_index_file(db, 512, 0) == -1 && *qrxiseno() == 21);
  EXPECT_TRUE(ihandle(db, "BYID") == nullptr) << "the index side is closed";
  ASSERT_EQ(inew_index_file(db, 512, 1), 1) << *qrxiseno();
  EXPECT_EQ(list(igetindexnames(db)), (std::vector<std::string>{"Physical Index"}));
  EXPECT_EQ(cbblksize((base + ".IDX").c_str()), 512);
  isam_index *phys = ihandle(db, "Physical Index");
  int n = 0;
  for (int32_t r = ifindhead(db, phys); r == 1; r = ifindnext(db, phys)) ++n;
  EXPECT_EQ(n, 10) << "the records stay";
  const char *const byid[] = {"ID,I", nullptr};
  ASSERT_EQ(imkindex(db, "BYID,U", byid), 1);
  EXPECT_EQ(ihandle(db, "BYID")->number, 1);
}

// imkindex, irmindex and a copy with their n-th B-tree change failing, and imkindex with its n-th block
// write failing, for every n they reach: the records are never touched, the other indexes stay exact
// (or the index file is flagged and verified by the next open), and the database opens again.
TEST_F(AdminTest, FailuresPartWayLoseNoRecord) {
  open_fresh();
  fill(12);
  ASSERT_EQ(iclose_db(db), 1);
  const std::string files[] = {base + ".DB", base + ".IDX"}, copy = dir.file("copy");
  const std::string saved[] = {tb::read_file(files[0]), tb::read_file(files[1])};
  const char *const bytag[] = {"TAG,C3", "ID,I", nullptr};
  const std::function<int32_t()> ops[] = {
      [&] { return imkindex(db, "BYTAG", bytag); }, [&] { return irmindex(db, "BYNAME"); },
      [&] { return icopy_database(base.c_str(), copy.c_str(), "BYNAME", 0, 1); }};
  for (int op = 0; op < 4; ++op) {
    for (uint64_t n = 1;; ++n) {
      SCOPED_TRACE("operation " + std::to_string(op) + ", failure " + std::to_string(n));
      tb::write_file(files[0], saved[0]), tb::write_file(files[1], saved[1]);
      idestroy_db(copy.c_str());
      reopen();
      const bool writes = op == 3;
      writes ? blockio::fault_arm(blockio::FaultOn::kWrite, n, false) : cbt::change_fault_arm(~0u, n);
      const int32_t rc = ops[op % 3]();
      const bool reached = (writes ? blockio::fault_count() : cbt::change_fault_count()) >= n;
      blockio::fault_disarm(), cbt::change_fault_disarm();
      ASSERT_TRUE(rc == 1 || reached);
      iclose_db(db);
      reset_layer();  // no cached object of either database is left
      EXPECT_EQ(tb::read_file(files[0]), saved[0]) << "the data file is only read";
      ASSERT_NE(db = iopen_db(base.c_str(), 2), nullptr);
      if (op == 3) {  // the index file may be damaged: the open has verified it; nothing more is promised
        ASSERT_EQ(iclose_db(db), 1);
        if (!reached) break;
        continue;
      }
      // A half-made or half-removed index can be removed whole; the other indexes are exact.
      for (const char *name : {"BYTAG", op == 1 ? "BYNAME" : ""})
        if (ihandle(db, name) != nullptr) {
          EXPECT_EQ(irmindex(db, name), 1) << name;
        }
      std::map<uint32_t, Rec> at;
      for (const auto &[off, b] : scan_data(files[0]).records) at[off] = decode(b);
      for (int kind : {1, 2, 3})
        if (kind != 2 || op != 1) {
          EXPECT_EQ(entries(db, db->holetree, uint8_t(kind)), expected(kind, at));
        }
      const bool made = !tb::read_file(copy + ".DB").empty();
      if (isam_db *c = op == 2 && rc == -1 && made ? iopen_db(copy.c_str(), 1) : nullptr) {
        EXPECT_EQ(cbcheck(c->holetree), 1) << "a copy cut short is a sound database";
        EXPECT_EQ(iclose_db(c), 1);
      }
      ASSERT_EQ(iclose_db(db), 1);
      reset_layer();
      if (!reached || HasFatalFailure()) break;
    }
  }
}

TEST_F(AdminTest, DestroyRenameVerifyDump) {
  open_fresh();
  fill(5);
  EXPECT_TRUE(idestroy_db(base.c_str()) == -1 && *qrxiseno() == 3);
  EXPECT_EQ(iverify_db(base.c_str()), 1);
  ASSERT_EQ(qrxisdmp(base.c_str()), 1);
  struct stat st {};
  EXPECT_TRUE(::stat((base + ".DMP").c_str(), &st) == 0 && st.st_size > 0);
  const std::string too_long = base + std::string(250 - base.size(), 'x');
  EXPECT_EQ(qrxisdmp(too_long.c_str()), -1);
  ASSERT_EQ(iclose_db(db), 1);
  isamexit();  // the cached object goes with the layer

  const std::string moved = dir.file("moved"), blocked = dir.file("blocked");
  ASSERT_EQ(qrxisren(base.c_str(), moved.c_str()), 1);
  EXPECT_EQ(*qrxiseno(), 1);
  EXPECT_TRUE(::stat((moved + ".DB").c_str(), &st) == 0 && ::stat((base + ".DB").c_str(), &st) != 0);
  // The index file cannot follow (a directory that is not empty stands at its new name): the data file
  // goes back.
  ASSERT_EQ(::mkdir((blocked + ".IDX").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((blocked + ".IDX/x").c_str(), 0700), 0);
  EXPECT_TRUE(qrxisren(moved.c_str(), blocked.c_str()) == -1 && *qrxiseno() == 15);
  EXPECT_TRUE(::stat((moved + ".DB").c_str(), &st) == 0 && ::stat((blocked + ".DB").c_str(), &st) != 0);
  ASSERT_EQ(idestroy_db(moved.c_str()), 1);
  EXPECT_TRUE(::stat((moved + ".DB").c_str(), &st) != 0 && ::stat((moved + ".IDX").c_str(), &st) != 0);
  EXPECT_TRUE(idestroy_db(moved.c_str()) == -1 && *qrxiseno() == 10);
}

}  // namespace
}  // namespace isamtest
