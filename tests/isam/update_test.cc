// Adding, deleting and modifying records: refusals that leave no trace, in-place and moving modifies, the
// -4 protocol between index objects, and the undo paths under injected failures.

#include <functional>

#include "cbt/blockio/blockio.h"
#include "cbt/cbt.h"
#include "isam/record_fixture.h"

namespace isamtest {
namespace {

namespace blockio = qrx::blockio;
namespace cbt = qrx::cbt;

Rec rec(int32_t id, const std::string &name = "Jones") {
  Rec r;
  r.name = name, r.id = id, r.score = 2, r.code = "xyzzy";
  return r;
}

TEST_F(RecordTest, RefusalsLeaveNoTrace) {
  open_fresh();
  std::map<int32_t, Rec> model = {{1, rec(1)}};
  ASSERT_EQ(add(rec(1)), 1);
  const std::string data = rec(1, "Again").bytes();
  const std::string other = be32(2);
  EXPECT_EQ(iaddrec2(db, byid, other.data(), 4, data.data(), 10), -1) << "shorter than every field";
  EXPECT_EQ(*qrxiseno(), QRXIS_IO);
  EXPECT_EQ(iaddrec(db, nullptr, nullptr), -1);
  EXPECT_EQ(*qrxiseno(), QRXIS_NO_FIELD);
  check(db, model);

  isam_db *fixed = iopen_db(made("fixed", {"N,I", "H,H"}).c_str(), 2);
  const std::string six(6, '\1');
  EXPECT_TRUE(iaddrec2(fixed, nullptr, nullptr, 0, six.data(), 5) == -1 && *qrxiseno() == QRXIS_IO);
  EXPECT_EQ(iaddrec2(fixed, nullptr, nullptr, 0, six.data(), 6), 1);

  ASSERT_EQ(iclose_db(db), 1);
  db = iopen_db(base.c_str(), 1);
  EXPECT_TRUE(add(rec(9)) == -1 && *qrxiseno() == QRXIS_IO) << "read-only";
}

TEST_F(RecordTest, ModifyKeepsMovesOrSplitsTheSpace) {
  open_fresh();
  Rec r = rec(1, std::string(20, 'm'));
  ASSERT_EQ(add(r), 1);
  ASSERT_EQ(add(rec(2)), 1);
  const uint32_t off = offset_of(db, 1), stored = uint32_t(r.bytes().size());
  const auto modify = [&](size_t name_len) {
    r.name.assign(name_len, 'M');
    on(byid, r);
    ASSERT_EQ(imodrec(db, byid, Values(r).get()), 1) << *qrxiseno();
  };
  modify(20);  // same width: in place
  EXPECT_EQ(offset_of(db, 1), off);
  modify(16);  // 4 bytes less: the record keeps its stored length, no hole
  EXPECT_TRUE(offset_of(db, 1) == off && scan_data(db->datafile).records.at(off).size() == stored);
  modify(10);  // 10 bytes less: a hole of 6 behind it
  EXPECT_EQ(scan_data(db->datafile).holes, (std::map<uint32_t, uint32_t>{{off + stored - 6, 6}}));
  modify(40);  // larger: moved, its old space merged with that hole
  EXPECT_NE(offset_of(db, 1), off);
  EXPECT_EQ(scan_data(db->datafile).holes, (std::map<uint32_t, uint32_t>{{off, stored}}));
  check(db, {{1, r}, {2, rec(2)}});
}

TEST_F(RecordTest, PrivateIndexesMovedByOthersReportMinusFour) {
  open_fresh();
  std::map<int32_t, Rec> model;
  for (int32_t id = 1; id <= 8; ++id) ASSERT_EQ(add(model[id] = rec(id)), 1);
  isam_index *mine = iopen_index(db, "BYID"), *other = iopen_index(db, "BYID"),
             *names = iopen_index(db, "BYNAME");
  ASSERT_TRUE(mine && other && names);
  uint32_t item = 0;
  on(mine, rec(3)), on(other, rec(3)), on(names, rec(3));
  ASSERT_EQ(idelrec(db, mine), 1);
  model.erase(3);
  EXPECT_TRUE(mine->status == 1 && cbcurr(mine->tree, &item) == 1 && item == offset_of(db, 4));
  EXPECT_TRUE(other->status == -4 && cbcurr(other->tree, &item) == 1 && item == offset_of(db, 4));
  EXPECT_EQ(names->status, -4);
  std::vector<void *> fields(6);
  std::string buf(100, '\0');
  EXPECT_EQ(igetrec(db, other, fields.data(), buf.data(), 100), -4);
  {
    tb::TraceCapture cap;
    EXPECT_TRUE(idelrec(db, other) == -1 && *qrxiseno() == QRXIS_NO_CURRENT);
    EXPECT_TRUE(cap.contains(QRXHOST_KIND_ERROR, "Current record pointer changed by a concurrent update"));
    byid->status = -2;
    EXPECT_EQ(idelrec(db, byid), -1);
    EXPECT_TRUE(cap.contains(QRXHOST_KIND_ERROR, "No current record to delete"));
  }
  // A modify moves the handles on the record; those elsewhere keep their place and state.
  on(other, rec(6)), on(names, rec(7)), on(mine, rec(6));
  Rec moved = rec(6, std::string(60, 'w'));
  ASSERT_EQ(imodrec(db, byname, Values(moved).get()), -2) << "byname was never positioned";
  on(byname, rec(6));
  ASSERT_EQ(imodrec(db, byname, Values(moved).get()), 1);
  model[6] = moved;
  EXPECT_TRUE(other->status == -4 && cbcurr(other->tree, &item) == 1 && item == offset_of(db, 7));
  EXPECT_TRUE(names->status == 1 && cbcurr(names->tree, &item) == 1 && item == offset_of(db, 7));
  EXPECT_TRUE(mine->status == -4);
  check(db, model);
}

// Runs `op` from the same files with the nth failure armed, for n = 1, 2, ... until the failure is no
// longer reached. A failed run must leave the database as `model` (records may have moved), a successful
// one as `after`, whatever failed on the way.
void sweep(RecordTest &t, std::map<int32_t, Rec> &model, bool changes, blockio::FaultOn on,
           const std::function<int32_t()> &op, const std::map<int32_t, Rec> &after) {
  const std::string files[] = {t.base + ".DB", t.base + ".IDX"};
  ASSERT_EQ(iclose_db(t.db), 1);
  const std::string saved[] = {tb::read_file(files[0]), tb::read_file(files[1])};
  for (uint64_t n = 1;; ++n) {
    SCOPED_TRACE("failure " + std::to_string(n));
    if (n > 1) {
      ASSERT_EQ(iclose_db(t.db), 1);
    }
    tb::write_file(files[0], saved[0]), tb::write_file(files[1], saved[1]);
    t.reopen();
    changes ? cbt::change_fault_arm(~0u, n) : blockio::fault_arm(on, n, false);
    const int32_t rc = op();
    const bool reached = (changes ? cbt::change_fault_count() : blockio::fault_count()) >= n;
    blockio::fault_disarm(), cbt::change_fault_disarm();
    ASSERT_TRUE(rc == 1 || reached);
    check(t.db, rc == 1 ? after : model, false);
    if (!reached || ::testing::Test::HasFatalFailure()) break;
  }
  model = after;
}

// Without the data file's page cache every record and length word is read from the file, so the sweep
// over failing range reads reaches every read; with it, only the first read of each page.
class FailedSteps : public RecordTest, public testing::WithParamInterface<const char *> {};

TEST_P(FailedSteps, AreUndone) {
  const tb::ScopedEnv cache("QRX_DBCACHE", GetParam());
  open_fresh(1024);
  std::map<int32_t, Rec> model;
  for (int32_t id = 1; id <= 40; ++id)
    ASSERT_EQ(add(model[id] = rec(id, std::string(size_t(id % 7), 'q'))), 1);
  for (int32_t id = 5; id <= 40; id += 5) {
    on(byid, model[id]);
    ASSERT_EQ(idelrec(db, byid), 1);
    model.erase(id);
  }
  using blockio::FaultOn;
  int32_t next = 100;
  for (const auto &[changes, on_io] :
       {std::pair{true, FaultOn::kRead}, {false, FaultOn::kRangeWrite}, {false, FaultOn::kRangeRead}}) {
    const Rec added = rec(next++, "new");
    auto after = model;
    after[added.id] = added;
    sweep(
        *this, model, changes, on_io, [&] { return add(added); }, after);
    after.erase(added.id);
    sweep(
        *this, model, changes, on_io,
        [&] {
          on(byid, added);
          return idelrec(db, byid);
        },
        after);
    for (size_t name : {size_t(2), size_t(50)}) {  // shrinks in place with a hole; grows and moves
      Rec changed = model[6];
      changed.name.assign(name, 'c'), changed.code = "key" + std::to_string(name), changed.id = next++;
      after = model, after.erase(6), after[changed.id] = changed;
      sweep(
          *this, model, changes, on_io,
          [&] {
            on(byname, model[6]);
            return imodrec(db, byname, Values(changed).get());
          },
          after);
      model.erase(changed.id), model[6] = rec(6);
      on(byid, changed);
      ASSERT_EQ(imodrec(db, byid, Values(model[6]).get()), 1);  // back to ID 6
    }
  }
  check(db, model, false);
}

INSTANTIATE_TEST_SUITE_P(DataCache, FailedSteps, testing::Values("0", "256"));

}  // namespace
}  // namespace isamtest
