// Opening and closing databases and indexes, the layer's start and exit, the check after an ended process.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <tuple>

#include "isam_fixture.h"
#include "support/tree_builder.h"

namespace isamtest {
using OpenTest = IsamTest;

const std::vector<const char *> kFields = {"NAME", "CITY,S", "ID,I"};

TEST_F(OpenTest, OneObjectPerNameCountedByItsOpensUntilTheLastExit) {
  const std::string name = made("acct", kFields);
  isam_db *db = idbhandle(name.c_str());
  ASSERT_TRUE(db != nullptr && db->usecount == 0);
  EXPECT_TRUE(iopen_db(name.c_str(), 2) == db && iopen_db((name + ".old").c_str(), 1) == db);
  EXPECT_TRUE(db->usecount == 2 && db->mode == 2);
  EXPECT_TRUE(iclose_db(db) == 1 && db->usecount == 1 && db->fd >= 0 && db->desctree != nullptr);
  EXPECT_TRUE(iclose_db(db) == 1 && db->usecount == 0 && db->fd == -1 && db->desctree == nullptr);
  // A database that is not open cannot be closed again: the count would go below zero.
  ASSERT_TRUE(iclose_db(db) == -1 && *qrxiseno() == 1 && db->usecount == 0 && db->nindexes == 0);
  EXPECT_TRUE(iopen_db(name.c_str(), 1) == db && db->usecount == 1 && db->fd >= 0 && db->mode == 1);
  EXPECT_TRUE(iopen_db(name.c_str(), 2) == nullptr && *qrxiseno() == 16 && db->usecount == 1);
  uint64_t junk[32] = {};
  EXPECT_TRUE(iclose_db(reinterpret_cast<isam_db *>(junk)) == -1 && *qrxiseno() == 1 && db->usecount == 1);
  // A second isaminit is only counted; the last isamexit closes and frees everything; an open starts again.
  EXPECT_TRUE(isaminit(1, 1) == 1 && isamexit() == 1 && db->fd >= 0);
  EXPECT_TRUE(isamexit() == 1 && idbhandle(name.c_str()) == nullptr && cbbufsize() == 0 && isamexit() == 1);
  ASSERT_TRUE((db = iopen_db(name.c_str(), 2)) != nullptr && qrx::isam::anchor_peek()->initcnt == 1);
  // A name cached in the process, open or closed, cannot be created again; no file is touched.
  const char *other[] = {"OTHER", nullptr};
  EXPECT_TRUE(icreate_db(name.c_str(), 512, other) == nullptr && *qrxiseno() == 3);
  EXPECT_EQ(iclose_db(db), 1);
  const std::string data = tb::read_file(name + ".DB"), index = tb::read_file(name + ".IDX");
  for (const std::string &spelling : {name, name + ".new"})
    EXPECT_TRUE(icreate_db(spelling.c_str(), 512, other) == nullptr && *qrxiseno() == 3) << spelling;
  EXPECT_TRUE(tb::read_file(name + ".DB") == data && tb::read_file(name + ".IDX") == index);
}

TEST_F(OpenTest, SharedIndexesByNameAndPrivateOnesByPrefix) {
  const std::string name = made("acct", kFields);
  add_index(name + ".IDX", "BYNAME,U", {"NAME"}, 1);
  add_index(name + ".IDX", "CITY", {"city,s:0,2", "ID,I"}, 2);
  isam_db *db = iopen_db(name.c_str(), 2);
  ASSERT_TRUE(db != nullptr && db->nindexes == 3);
  isam_index *byname = ihandle(db, "BYNAME"), *city = ihandle(db, "CITY"),
             *phys = ihandle(db, "Physical Index");
  ASSERT_TRUE(byname && city && phys && ihandle(db, "BYNAME,U") == byname);
  EXPECT_TRUE(byname->name == "BYNAME,U" && byname->unique == 1 && byname->number == 1);
  EXPECT_TRUE(city->keyfields == std::vector<int32_t>({1, 2}) && city->unique == 0);
  EXPECT_TRUE(phys->number == 0 && !phys->tree && phys->keyfields == std::vector<int32_t>({0, 1, 2}));
  for (const char *other : {"byname", "BYNAM", "BYNAME,X", "CIT"})
    EXPECT_TRUE(ihandle(db, other) == nullptr && *qrxiseno() == 8) << other;
  isam_index *own = iopen_index(db, "BYN");
  ASSERT_TRUE(own != nullptr && own != byname && own->name == "BYNAME,U" && own->tree != nullptr);
  EXPECT_TRUE(iopen_index(db, "CX") == nullptr && *qrxiseno() == 8);
  EXPECT_TRUE(iclose_index(db, byname) == -1 && *qrxiseno() == 2);
  EXPECT_EQ(iclose_index(db, own), 1);
}

// A missing index file leaves the Physical Index alone; one that cannot be read or used fails the open
// (empty, bad parity, blocks above the pool's, a bad description), and a failed first open keeps no object.
TEST_F(OpenTest, IndexFileMissingOrUnreadable) {
  const std::string src = made("src", {"NAME", "CITY,S", "ID,I", "X,C:5"}), byx = z(k(0, "BYX"));
  const std::string header = tb::read_file(src + ".DB"), good = tb::read_file(src + ".IDX");
  tb::write_file(dir.file("none.DB"), header);
  reset_layer();  // the first open, without waiting for the missing file
  isam_db *none = iopen_db(dir.file("none").c_str(), 2);
  ASSERT_TRUE(none != nullptr && none->nindexes == 1 && ihandle(none, "Physical Index") != nullptr);
  EXPECT_TRUE(no_waits.calls() == 0 && cbbufsize() == 512);
  EXPECT_TRUE(ihandle(none, "NAME") == nullptr && *qrxiseno() == 12);
  EXPECT_TRUE(iopen_index(none, "NAME") == nullptr && *qrxiseno() == 12);
  const std::string parity = good.substr(0, 4) + char(good[4] ^ 0x10) + good.substr(5);
  // clang-format off
  const std::tuple<std::string, std::string, uint32_t, int32_t> cases[] = {
      {"empty", "", 0, 12}, {"parity", "", 0, 12}, {"big", "", 0, 20}, {"nosuch", byx + z("NOSUCH"), 1, 12},
      {"colon", byx + z("X,C:5"), 1, 12}, {"nonul", byx + "NAME", 1, 12}, {"n254", z(k(0, "HOLE")), 254, 12}};
  // clang-format on
  for (const auto &[what, key, item, err] : cases) {
    const std::string name = dir.file(what), idx = name + ".IDX";
    tb::write_file(name + ".DB", header);
    tb::write_file(idx, what == "empty" ? "" : what == "parity" ? parity : good);
    if (what == "big") tb::build_index(idx, 4096, {}, 2);
    if (!key.empty()) insert_key(idx, key, item);
    tb::TraceCapture cap;
    EXPECT_TRUE(iopen_db(name.c_str(), 2) == nullptr && *qrxiseno() == err) << what << " " << *qrxiseno();
    EXPECT_TRUE(cap.contains(QRXHOST_KIND_ERROR, "Unable to access indexes") && !idbhandle(name.c_str()));
  }
}

// The first start sizes the pool from the block size (600 gives 1024-byte buffers), the environment may
// only raise it; a thread whose record was made before the pool existed reads a 504-byte description.
TEST_F(OpenTest, FirstStartSizesThePool) {
  reset_layer();
  const std::string wide = std::string(80, 'W') + ",I", name = made("b600", {wide.c_str()}, 600);
  EXPECT_TRUE(cbbufsize() == 1024 && cbblksize((name + ".IDX").c_str()) == 600);
  add_index(name + ".IDX", "WIDE", std::vector<std::string>(6, wide), 1);
  reset_layer();
  std::thread([&] {
    (void)*qrxiseno();
    isam_db *db = iopen_db(name.c_str(), 1);
    ASSERT_TRUE(db != nullptr && cbbufsize() == 1024) << *qrxiseno();
    EXPECT_TRUE(ihandle(db, "WIDE") != nullptr && ihandle(db, "WIDE")->nkeyfields == 6);
  }).join();
  for (const auto &[size, count, want_size, want_count] :
       {std::tuple("4096", "9", 4096u, 9u), std::tuple("512", "3", 1024u, 5u)}) {
    reset_layer();
    setenv("QRX_CBTBUFSZ", size, 1), setenv("QRX_CBTBUFCNT", count, 1);
    EXPECT_TRUE(isaminit(5, 1024) == 1 && cbbufsize() == want_size && cbbufcnt() == want_count) << size;
  }
  unsetenv("QRX_CBTBUFSZ"), unsetenv("QRX_CBTBUFCNT");
  EXPECT_TRUE(!strcmp(qrxismsg(0), "No Isam error") && !strcmp(qrxismsg(25), "key number >= key count"));
  EXPECT_TRUE(!strcmp(qrxismsg(26), "Unknown isam error number") && !strcmp(qrxismsg(-1), qrxismsg(26)));
}

TEST_F(OpenTest, IndexFileLeftOpenByAnEndedProcessIsVerified) {
  const std::string name = made("acct", kFields), idx = name + ".IDX";
  add_index(idx, "BYNAME", {"NAME"}, 1);
  isam_db *db = iopen_db(name.c_str(), 2);
  ASSERT_NE(db, nullptr);
  // apple before Banana in the database's order, not in byte order: the check must compare as it does.
  insert_key(idx, k(1, z("apple")), 20, db);
  insert_key(idx, k(1, z("Banana")), 30, db);
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

}  // namespace isamtest
