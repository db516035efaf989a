// Record storage: where records go, how holes are made, split and merged, the four reads and their
// truncation rules, damaged records, and a database without index file.
#include <unistd.h>

#include "isam/record_fixture.h"

namespace isamtest {
namespace {

using qrx::isam::Db;

Rec rec(int32_t id, const std::string &name = "Smith") {
  Rec r;
  r.name = name, r.id = id, r.score = 1.5, r.code = "abcdef";
  return r;
}

int32_t stored_length(isam_db *db, isam_index *idx) {
  uint32_t len = 0;
  return igetreclen(db, idx, &len) == 1 ? int32_t(len) : -1;
}

TEST_F(RecordTest, HolesAreReusedSplitAndMerged) {
  open_fresh();
  std::map<int32_t, Rec> model;
  const Rec a = rec(1, "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
  ASSERT_EQ(add(a, byid), 1);
  EXPECT_EQ(offset_of(db, 1), db->datastart) << "the first record goes at the start";
  ASSERT_EQ(idelrec(db, byid), 1);
  check(db, {});
  EXPECT_EQ(scan_data(db->datafile).holes, (std::map<uint32_t, uint32_t>{{db->datastart, a.bytes().size()}}));

  // Same data length: the hole is taken whole, nothing is split off.
  Rec same = a;
  same.id = 2, same.name[0] = 'b';
  ASSERT_EQ(add(same), 1);
  EXPECT_EQ(offset_of(db, 2), db->datastart);
  check(db, model = {{2, same}});

  // Shorter by much more than a minimal record: the record goes at the hole's start, the rest stays free.
  ASSERT_EQ(add(rec(3)), 1);  // at the end, behind the hole made next
  on(byid, same);
  ASSERT_EQ(idelrec(db, byid), 1);
  const Rec small = rec(4, "s");
  ASSERT_EQ(add(small, byid), 1);
  EXPECT_EQ(offset_of(db, 4), db->datastart);
  const uint32_t rest = uint32_t(same.bytes().size() - small.bytes().size() - 4);
  EXPECT_EQ(scan_data(db->datafile).holes,
            (std::map<uint32_t, uint32_t>{{db->datastart + 4 + uint32_t(small.bytes().size()), rest}}));
  check(db, model = {{3, rec(3)}, {4, small}});

  // Shorter by less than a minimal record: taken whole, the record keeps the hole's size.
  ASSERT_EQ(idelrec(db, byid), 1);  // byid is on the record of ID 4
  const Rec fits = rec(5, std::string(same.name.size() - 5, 'f'));
  ASSERT_EQ(add(fits, byname), 1);
  EXPECT_EQ(stored_length(db, byname), int32_t(same.bytes().size()));
  uint32_t len = 0;
  std::string buf(200, '\0');
  ASSERT_EQ(ireadrec(db, byname, buf.data(), uint32_t(buf.size()), &len), 1);
  EXPECT_EQ(buf.substr(0, len), fits.bytes()) << "the data length, without the slack";
  check(db, model = {{3, rec(3)}, {5, fits}});

  // Three neighbours deleted first, last, middle: one hole of their stored lengths and two words.
  for (int32_t id : {10, 11, 12}) ASSERT_EQ(add(rec(id, std::string(size_t(id), 'n'))), 1);
  const uint32_t first = offset_of(db, 10);
  uint32_t total = 8;
  for (int32_t id : {10, 12, 11}) {
    on(byid, rec(id, std::string(size_t(id), 'n')));
    total += uint32_t(stored_length(db, byid));
    ASSERT_EQ(idelrec(db, byid), 1);
  }
  EXPECT_EQ(scan_data(db->datafile).holes.at(first), total);
  check(db, model);
}

TEST_F(RecordTest, ReadsTruncateRefuseAndReportTheCursor) {
  open_fresh();
  const Rec r = rec(7);
  const std::string bytes = r.bytes();
  std::vector<uint8_t *> fields(6, nullptr);
  std::string buf(64, '#');
  void **out = reinterpret_cast<void **>(fields.data());
  EXPECT_EQ(igetrec(db, byid, out, buf.data(), 64), -2) << "a new index object is before its entries";
  ASSERT_EQ(add(r, byid), 1);
  ASSERT_EQ(igetrec(db, byid, out, buf.data(), 64), 1);
  EXPECT_EQ(buf.substr(0, bytes.size()), bytes);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(fields[3])), "abcdef");
  EXPECT_EQ(fields[5], nullptr);

  std::vector<uint8_t *> untouched(6, nullptr);
  void **fresh = reinterpret_cast<void **>(untouched.data());
  ASSERT_EQ(igetrec(db, byid, fresh, buf.data(), 5), 1);
  EXPECT_EQ(buf.substr(0, 5), bytes.substr(0, 4) + std::string(1, '\0'));
  EXPECT_EQ(igetrec(db, byid, fresh, nullptr, 0), 1);
  EXPECT_EQ(untouched, std::vector<uint8_t *>(6, nullptr)) << "a short buffer leaves the fields alone";

  std::string name(8, '\0'), id(4, '\0'), score(8, '\0'), code(8, '\0'), tag(3, '\0');
  void *dests[] = {name.data(), id.data(), score.data(), code.data(), tag.data()};
  int32_t widths[] = {8, 3, 8, 8, 3};
  EXPECT_TRUE(igetrec2(db, byid, dests, widths) == -1 && *qrxiseno() == QRXIS_FIELD_TOO_LONG);
  EXPECT_EQ(stored_length(db, byid), int32_t(bytes.size())) << "the lock was released";
  ASSERT_EQ(igetrec2(db, byid, dests, nullptr), 1);
  EXPECT_TRUE(id == be32(7) && tag == "abc" && code == z("abcdef") + std::string(1, '\0'));

  EXPECT_TRUE(igetrec(db, byid, nullptr, buf.data(), 64) == -1 && *qrxiseno() == QRXIS_NO_FIELD);
  byid->status = -4;
  tb::TraceCapture cap;
  EXPECT_EQ(igetrec(db, byid, out, buf.data(), 64), -4);
  EXPECT_TRUE(cap.contains(QRXHOST_KIND_ERROR, "Cursor position moved by concurrent update"));
}

TEST_F(RecordTest, DamagedRecordsAreRefusedWithoutReadingPastThem) {
  open_fresh();
  ASSERT_EQ(add(rec(1)), 1);
  ASSERT_EQ(add(rec(2), byid), 1);
  const uint32_t off = offset_of(db, 2);
  const std::string path = db->datafile;
  std::string file = tb::read_file(path);
  std::string buf(256, '\0');
  std::vector<void *> fields(6);
  const auto damage = [&](uint32_t at, const std::string &bytes) {
    std::string f = file;
    f.replace(at, bytes.size(), bytes);
    tb::write_file(path, f);
    // Changed behind the open database's back: its page cache forgets what it read.
    qrx::isam::I_data_cache_start(db);
  };
  const auto refused = [&](int32_t err) {
    uint32_t len = 0;
    tb::TraceCapture cap;
    EXPECT_EQ(igetrec(db, byid, fields.data(), buf.data(), 256), -1);
    EXPECT_EQ(*qrxiseno(), err);
    EXPECT_EQ(ireadrec(db, byid, buf.data(), 256, &len), -1);
    idelrec(db, byid);
    EXPECT_EQ(*qrxiseno(), err);
    return cap.contains(QRXHOST_KIND_NOTICE, "is deleted!");
  };
  damage(off, be32(1000));  // runs past the end of the file
  refused(QRXIS_IO);
  damage(off + 4 + 5, std::string(40, 'x'));  // the name's NUL and everything behind it overwritten
  refused(QRXIS_IO);
  damage(off, be32(uint32_t(-30)));  // the entry points at a hole
  EXPECT_TRUE(refused(QRXIS_NO_CURRENT));
  tb::write_file(path, file);
  qrx::isam::I_data_cache_start(db);
  EXPECT_EQ(idelrec(db, byid), 1);
}

TEST_F(IsamTest, WithoutIndexFileTheWalkStepsOverHoleWords) {
  const std::string base = made("plain", {"NAME", "ID,I"});
  ASSERT_EQ(::unlink((base + ".IDX").c_str()), 0);
  isam_db *db = iopen_db(base.c_str(), 2);
  isam_index *phys = ihandle(db, "Physical Index");
  ASSERT_TRUE(db != nullptr && phys != nullptr && db->holetree == nullptr);
  const auto values = [](const std::string &name) {
    static std::vector<std::string> keep;
    keep = {z(name), be32(1)};
    return std::vector<const void *>{keep[0].data(), keep[1].data()};
  };
  std::vector<uint32_t> offsets;
  for (const char *name : {"first", "second", "third"}) {
    ASSERT_EQ(iaddrec(db, phys, values(name).data()), 1);
    offsets.push_back(phys->curptr);
  }
  phys->curptr = offsets[0];
  ASSERT_EQ(idelrec(db, phys), 1);  // only the length word changes
  EXPECT_TRUE(phys->status == 1 && phys->curptr == offsets[1]) << "moved past the record it stood on";
  std::lock_guard<std::mutex> g(db->mutex);
  EXPECT_EQ(scan_data(db->datafile).holes, (std::map<uint32_t, uint32_t>{{offsets[0], 10}}));
  EXPECT_TRUE(qrx::isam::I_phys_walk(db, phys, true) == 1 && phys->curptr == offsets[1]);
  // A length word of 0 ends the walk, from the head and from the record before it.
  const std::string zero = be32(0);
  ASSERT_EQ(qrx::isam::I_data_write(db, offsets[2], zero.data(), 4), 1);
  EXPECT_EQ(qrx::isam::I_phys_walk(db, phys, false), -3);
  ASSERT_EQ(qrx::isam::I_data_write(db, offsets[1], zero.data(), 4), 1);
  EXPECT_TRUE(qrx::isam::I_phys_walk(db, phys, true) == -3 && phys->status == -3);
}

}  // namespace
}  // namespace isamtest
