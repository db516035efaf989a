// Opening and closing: one object per name counted by its opens, the mode of the first opener, shared
// and private indexes, a missing or unreadable index file, the layer started again after a full
// isamexit, the pool sized by the first start, and the verification of an index file that a process
// left open.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "isam_fixture.h"
#include "support/tree_builder.h"

namespace {

using namespace isamtest;
namespace fs = std::filesystem;
using OpenTest = IsamTest;

const std::vector<const char *> kFields = {"NAME", "CITY,S", "ID,I"};

TEST_F(OpenTest, OneObjectPerNameCountedByItsOpens) {
  const std::string name = made("acct", kFields);
  isam_db *db = idbhandle(name.c_str());
  ASSERT_TRUE(db != nullptr && db->usecount == 0);
  EXPECT_TRUE(iopen_db(name.c_str(), 2) == db && iopen_db((name + ".old").c_str(), 1) == db);
  EXPECT_TRUE(db->usecount == 2 && db->mode == 2);
  EXPECT_TRUE(iclose_db(db) == 1 && db->usecount == 1 && db->fd >= 0 && db->desctree != nullptr);
  EXPECT_TRUE(iclose_db(db) == 1 && db->usecount == 0 && db->fd == -1 && db->desctree == nullptr);
  EXPECT_EQ(db->nindexes, 0);
  // A database that is not open cannot be closed again: the count would go below zero.
  ASSERT_TRUE(iclose_db(db) == -1 && *qrxiseno() == 1 && db->usecount == 0);
  EXPECT_TRUE(iopen_db(name.c_str(), 1) == db && db->usecount == 1 && db->fd >= 0 && db->mode == 1);
  EXPECT_TRUE(iopen_db(name.c_str(), 2) == nullptr && *qrxiseno() == 16 && db->usecount == 1);
  uint64_t junk[32] = {};
  EXPECT_TRUE(iclose_db(reinterpret_cast<isam_db *>(junk)) == -1 && *qrxiseno() == 1);
  EXPECT_TRUE(iclose_db(nullptr) == -1 && *qrxiseno() == 1 && db->usecount == 1);
}

TEST_F(OpenTest, SharedIndexesByNameAndPrivateOnesByPrefix) {
  const std::string name = made("acct", kFields);
  add_index(name + ".IDX", "BYNAME,U", {"NAME"}, 1);
  add_index(name + ".IDX", "CITY", {"city,s:0,2", "ID,I"}, 2);
  isam_db *db = iopen_db(name.c_str(), 2);
  ASSERT_TRUE(db != nullptr && db->nindexes == 3);
  Index *byname = ihandle(db, "BYNAME"), *city = ihandle(db, "CITY"), *phys = ihandle(db, "Physical Index");
  ASSERT_TRUE(byname && city && phys);
  EXPECT_TRUE(byname->name == "BYNAME,U" && byname->unique == 1 && byname->number == 1);
  EXPECT_TRUE(city->keyfields == std::vector<int32_t>({1, 2}) && city->unique == 0);
  EXPECT_TRUE(phys->number == 0 && phys->tree == nullptr &&
              phys->keyfields == std::vector<int32_t>({0, 1, 2}));
  EXPECT_EQ(ihandle(db, "BYNAME,U"), byname);
  for (const char *other : {"byname", "BYNAM", "BYNAME,X", "CIT"})
    EXPECT_TRUE(ihandle(db, other) == nullptr && *qrxiseno() == 8) << other;
  Index *own = iopen_index(db, "BYN");
  ASSERT_TRUE(own != nullptr && own != byname && own->name == "BYNAME,U" && own->tree != nullptr);
  EXPECT_TRUE(iopen_index(db, "CX") == nullptr && *qrxiseno() == 8);
  EXPECT_TRUE(iclose_index(db, byname) == -1 && *qrxiseno() == 2);
  EXPECT_EQ(iclose_index(db, own), 1);
}

TEST_F(OpenTest, MissingIndexFileLeavesOnlyThePhysicalIndex) {
  const std::string name = made("acct", kFields);
  add_index(name + ".IDX", "BYNAME", {"NAME"}, 1);
  reset_layer();  // the first open of the process, which also sizes the pool from the missing file
  fs::remove(name + ".IDX");
  isam_db *db = iopen_db(name.c_str(), 2);
  ASSERT_TRUE(db != nullptr && db->nindexes == 1 && cbbufsize() == 512);
  EXPECT_NE(ihandle(db, "Physical Index"), nullptr);
  EXPECT_TRUE(ihandle(db, "BYNAME") == nullptr && *qrxiseno() == 12);
  EXPECT_TRUE(iopen_index(db, "BYNAME") == nullptr && *qrxiseno() == 12);
  EXPECT_EQ(iclose_db(db), 1);
}

TEST_F(OpenTest, UnreadableIndexFileFailsTheOpen) {
  const std::string keep = made("keep", kFields);  // keeps the layer started with 512-byte buffers
  std::string header = be32(0) + be32(4);
  for (const char *f : {"NAME", "CITY,S", "ID,I", "X,C:5"}) header += z(f);
  qrxis_put_u32(header.data(), uint32_t(header.size() - 8));
  const std::string good_index = tb::read_file(keep + ".IDX");
  auto description = [](std::string key) {
    return [key](const std::string &idx) { insert_key(idx, z(std::string(1, '\0') + "BYX") + key, 1); };
  };
  const std::vector<std::tuple<const char *, std::function<void(const std::string &)>, int32_t>> cases = {
      {"empty file", [](const std::string &idx) { tb::write_file(idx, ""); }, 12},
      {"bad parity",
       [&](const std::string &idx) {
         std::string bytes = good_index;
         bytes[4] ^= 0x10;
         tb::write_file(idx, bytes);
       },
       12},
      {"blocks above the pool", [](const std::string &idx) { tb::build_index(idx, 4096, {}, 2); }, 20},
      {"unknown field", description(z("NOSUCH")), 12},
      {"field named with a colon", description(z("X,C:5")), 12},
      {"specification without its NUL", description("NAME"), 12},
      {"index number 254",
       [](const std::string &idx) { insert_key(idx, z(std::string(1, '\0') + "HOLE"), 254); }, 12},
  };
  int n = 0;
  for (const auto &[what, damage, err] : cases) {
    const std::string name = dir.file("bad" + std::to_string(n++));
    tb::write_file(name + ".DB", header);
    tb::write_file(name + ".IDX", good_index);
    damage(name + ".IDX");
    tb::TraceCapture cap;
    EXPECT_EQ(iopen_db(name.c_str(), 2), nullptr) << what;
    EXPECT_EQ(*qrxiseno(), err) << what;
    EXPECT_TRUE(cap.contains(QRXHOST_KIND_ERROR, "Unable to access indexes")) << what;
    EXPECT_EQ(idbhandle(name.c_str()), nullptr) << what;  // a failed first open keeps no object
  }
}

TEST_F(OpenTest, FullExitEndsEverythingAndTheNextOpenStartsAgain) {
  const std::string name = made("acct", kFields);
  isam_db *db = iopen_db(name.c_str(), 2);
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(isaminit(1, 1) == 1 && isamexit() == 1 && db->fd >= 0);  // only counted
  EXPECT_TRUE(isamexit() == 1 && idbhandle(name.c_str()) == nullptr && cbbufsize() == 0);
  EXPECT_EQ(isamexit(), 1);
  db = iopen_db(name.c_str(), 2);
  ASSERT_TRUE(db != nullptr && db->usecount == 1 && qrx::isam::anchor_peek()->initcnt == 1);
  // A name cached in the process, open or closed, cannot be created again; no file is touched.
  const char *other[] = {"OTHER", nullptr};
  EXPECT_TRUE(icreate_db(name.c_str(), 512, other) == nullptr && *qrxiseno() == 3);
  EXPECT_EQ(iclose_db(db), 1);
  const auto stamp = fs::last_write_time(name + ".DB");
  const std::string data = tb::read_file(name + ".DB"), index = tb::read_file(name + ".IDX");
  for (const std::string &spelling : {name, name + ".new"})
    EXPECT_TRUE(icreate_db(spelling.c_str(), 512, other) == nullptr && *qrxiseno() == 3) << spelling;
  EXPECT_TRUE(tb::read_file(name + ".DB") == data && tb::read_file(name + ".IDX") == index);
  EXPECT_TRUE(fs::last_write_time(name + ".DB") == stamp);
}

TEST_F(OpenTest, FirstStartSizesThePool) {
  reset_layer();
  const std::string name = made("b600", kFields, 600);
  EXPECT_TRUE(cbbufsize() == 1024 && cbblksize((name + ".IDX").c_str()) == 600);
  reset_layer();
  ASSERT_NE(iopen_db(name.c_str(), 1), nullptr);  // sized from the index file's block size
  EXPECT_EQ(cbbufsize(), 1024u);
  const std::tuple<const char *, const char *, uint32_t, uint32_t> env[] = {
      {"4096", "9", 4096, 9}, {"512", "3", 1024, 5}};  // raise, never lower
  for (const auto &[size, count, want_size, want_count] : env) {
    reset_layer();
    setenv("QRX_CBTBUFSZ", size, 1), setenv("QRX_CBTBUFCNT", count, 1);
    EXPECT_EQ(isaminit(5, 1024), 1);
    EXPECT_TRUE(cbbufsize() == want_size && cbbufcnt() == want_count) << size;
    EXPECT_TRUE(isaminit(1, 99999) == 1 && cbbufsize() == want_size);  // later calls only count
  }
  unsetenv("QRX_CBTBUFSZ"), unsetenv("QRX_CBTBUFCNT");
  EXPECT_STREQ(qrxismsg(0), "No Isam error");
  EXPECT_STREQ(qrxismsg(25), "key number >= key count");
  EXPECT_TRUE(!strcmp(qrxismsg(26), "Unknown isam error number") && !strcmp(qrxismsg(-1), qrxismsg(26)));
}

// A thread whose record was made before the layer started still reads descriptions as long as the
// pool's buffers allow.
TEST_F(OpenTest, LongDescriptionFitsThePoolBuffer) {
  reset_layer();
  std::vector<std::string> names;
  std::vector<const char *> fields;
  for (char c = 'A'; c < 'I'; ++c) names.push_back(std::string(80, c) + ",I");
  for (const auto &n : names) fields.push_back(n.c_str());
  const std::string name = made("wide", fields, 1024);  // a description of 670 bytes
  add_index(name + ".IDX", "WIDE", names, 1);
  reset_layer();
  std::thread([&] {
    (void)*qrxiseno();  // the thread's record, made while no pool exists
    isam_db *db = iopen_db(name.c_str(), 2);
    ASSERT_NE(db, nullptr) << *qrxiseno();
    Index *wide = ihandle(db, "WIDE");
    EXPECT_TRUE(wide != nullptr && wide->nkeyfields == 8);
    EXPECT_EQ(iclose_db(db), 1);
  }).join();
}

TEST_F(OpenTest, IndexFileLeftOpenByAnEndedProcessIsVerified) {
  const std::string name = made("acct", kFields), idx = name + ".IDX";
  add_index(idx, "BYNAME", {"NAME"}, 1);
  isam_db *db = iopen_db(name.c_str(), 2);
  ASSERT_NE(db, nullptr);
  // In the database's order apple comes before Banana; in byte order it does not. The check only passes
  // when it compares as the database does.
  insert_key(idx, "\x01" + z("apple"), 20, db);
  insert_key(idx, "\x01" + z("Banana"), 30, db);
  ASSERT_EQ(iclose_db(db), 1);
  const pid_t pid = fork();
  if (pid == 0) _exit(iopen_db(name.c_str(), 2) == db ? 0 : 1);  // ends without closing
  int status = 0;
  ASSERT_TRUE(pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (bool unclean : {true, false}) {
    tb::TraceCapture cap;
    *qrxiscdb() = nullptr;
    ASSERT_EQ(iopen_db(name.c_str(), 2), db);
    EXPECT_EQ(cap.count(QRXHOST_KIND_NOTICE, "Verify of " + idx + " successful"), unclean ? 1 : 0);
    EXPECT_EQ(cap.contains(QRXHOST_KIND_MESSAGE, "QRX0002") && cap.contains(QRXHOST_KIND_MESSAGE, idx),
              unclean);
    for (const auto &line : cap.lines()) EXPECT_TRUE(line.kind != QRXHOST_KIND_NOTICE || line.severity == 20);
    EXPECT_FALSE(cap.contains(QRXHOST_KIND_NOTICE, "failed") ||
                 cap.contains(QRXHOST_KIND_MESSAGE, "QRX0003"));
    EXPECT_EQ(iclose_db(db), 1);
  }
}

}  // namespace
