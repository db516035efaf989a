// Navigation: an index without entries among other indexes' keys, exact records among equal
// keys, marks, the "Physical Index" walk and its refusals, and walks that other index
// objects' deletes and modifies go on around. (Walks from random places against a model are in
// record_model_test.)
#include <set>

#include "isam/record_fixture.h"
#include "support/tree_model.h"

namespace isamtest {
namespace {

Rec rec(int32_t id, const std::string &name, double score = 1.5, const std::string &code = "xxabc") {
  Rec r;
  r.name = name, r.id = id, r.score = score, r.code = code;
  return r;
}

// The ID of idx's current record, or its state when it is not on one.
int32_t current_id(isam_db *db, isam_index *idx) {
  void *fields[6];
  char buf[256];
  const int32_t r = igetrec(db, idx, fields, buf, sizeof buf);
  return r == 1 ? qrxis_get_i32(fields[1]) : r;
}

TEST_F(RecordTest, EndsOfAnIndexAmongOtherKeys) {
  open_fresh(512, "rec", {1, 3, 4});
  isam_index *fresh = iopen_index(db, "BYNAME");
  EXPECT_EQ(ifindnext(db, fresh), -3) << "a new index object starts before the first entry";
  EXPECT_EQ(iclose_index(db, fresh), 1);
  for (int32_t id : {30, 10, 20}) ASSERT_EQ(add(rec(id, "n" + std::to_string(id))), 1);
  // LATE (number 2) is described after the records were added: no entries, BYID's before, BYNAME's behind.
  ASSERT_EQ(iclose_db(db), 1);
  add_index(base + ".IDX", "LATE", {"TAG,C3"}, 2);
  reopen();
  isam_index *late = ihandle(db, "LATE");
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(ifindhead(db, late), -3);
  EXPECT_EQ(ifindtail(db, late), -2);
  EXPECT_TRUE(ifindprev(db, late) == -2 && *qrxiseno() == 0);
  EXPECT_EQ(ifindnext(db, late), -3);
}

TEST_F(RecordTest, ExactRecordsAmongEqualKeys) {
  open_fresh();
  // Equal BYNAME keys; equal BYCODE keys (three characters from position 2) from different codes.
  const Rec a = rec(1, "Lee", 1, "xxabcQ"), b = rec(2, "Lee", 1, "yyabcR"), c = rec(3, "Lee", 1, "zzabcS");
  for (const Rec &r : {a, b, c}) ASSERT_EQ(add(r), 1);
  EXPECT_EQ(ifindrec(db, byname, Values(b).get()), 2);
  EXPECT_EQ(current_id(db, byname), 2);
  EXPECT_EQ(ifindrec(db, bycode, Values(c).get()), 2) << "the segment makes the three keys equal";
  EXPECT_EQ(current_id(db, bycode), 3);

  // Same key, other fields: the run ends at BYNAME's last entry, BYCODE's keys behind it are not fetched.
  Rec other = a;
  other.tag = "zzz";
  EXPECT_TRUE(ifindrec(db, byname, Values(other).get()) == 3 && *qrxiseno() == 0);
  EXPECT_EQ(current_id(db, byname), -3);
  EXPECT_EQ(ifindprev(db, byname), 1);
  EXPECT_EQ(current_id(db, byname), 3);
  EXPECT_TRUE(ifindkey(db, byid, nullptr) == -1 && *qrxiseno() == QRXIS_NO_FIELD);
}

TEST_F(RecordTest, MarksFollowTheirEntry) {
  open_fresh();
  for (int32_t id : {1, 2, 3}) ASSERT_EQ(add(rec(id, "m")), 1);
  isam_index *own = iopen_index(db, "BYID");
  EXPECT_TRUE(ifindmark(db, own) == -1 && *qrxiseno() == QRXIS_CBT) << "no mark yet";
  ASSERT_EQ(ifindhead(db, own), 1);
  ASSERT_EQ(ifindnext(db, own), 1);
  ASSERT_EQ(imarkrec(db, own), 1);
  // The marked entry deleted: the mark moves to the entry after it; the last one's to BYNAME's first.
  on(byid, rec(2, "m"));
  ASSERT_EQ(idelrec(db, byid), 1);
  EXPECT_EQ(ifindmark(db, own), 1);
  EXPECT_EQ(current_id(db, own), 3);
  ASSERT_EQ(imarkrec(db, own), 1);
  ASSERT_EQ(idelrec(db, own), 1);
  EXPECT_EQ(ifindmark(db, own), -3);
  EXPECT_EQ(current_id(db, own), -3);
  EXPECT_EQ(ifindprev(db, own), 1);
  EXPECT_EQ(current_id(db, own), 1);
  EXPECT_EQ(iclose_index(db, own), 1);
}

TEST_F(RecordTest, PhysicalIndexWalksFileOrderOnly) {
  open_fresh();
  for (int32_t id : {1, 2, 3}) ASSERT_EQ(add(rec(id, "p")), 1);
  on(byid, rec(1, "p"));
  ASSERT_EQ(idelrec(db, byid), 1);  // the file now starts with a hole
  isam_index *phys = ihandle(db, "Physical Index");
  EXPECT_EQ(ifindhead(db, phys), 1);
  EXPECT_EQ(current_id(db, phys), 2);
  EXPECT_EQ(ifindnext(db, phys), 1);
  EXPECT_EQ(current_id(db, phys), 3);
  EXPECT_EQ(ifindnext(db, phys), -3);
  const std::string id2 = be32(2);
  const void *key[] = {id2.data(), nullptr};
  const Values values(rec(2, "p"));
  for (int32_t rc : {ifindprev(db, phys), ifindtail(db, phys), ifindkey(db, phys, key),
                     ifindrec(db, phys, values.get()), imarkrec(db, phys), ifindmark(db, phys)})
    EXPECT_TRUE(rc == -1 && *qrxiseno() == QRXIS_NOT_ALLOWED);
}

// A walk through a private index while other index objects delete and modify records around its cursor
// (its own record included) visits every record that lives through the walk exactly once (in file order:
// every one that also stays where it is) and no record after it was deleted.
TEST_F(RecordTest, WalkSeesEverySurvivorOnceUnderChanges) {
  open_fresh(1024);
  qrx::test::Rng rng(41);
  for (int round = 0; round < 20; ++round) {
    const bool physical = round % 2 == 0;
    std::map<int32_t, Rec> live;
    for (int32_t id = 1; id <= 300; ++id)
      ASSERT_EQ(add(live[id] = rec(id, rng.text(size_t(rng.below(12))), 0, "code")), 1);
    std::set<int32_t> deleted, modified;
    std::map<int32_t, int> visits;
    std::vector<int32_t> seen;
    isam_index *walker = iopen_index(db, physical ? "Physical Index" : "BYID");
    isam_index *other = iopen_index(db, "BYID");
    for (int32_t r = ifindnext(db, walker); r == 1; r = ifindnext(db, walker)) {
      const int32_t id = current_id(db, walker);
      ASSERT_EQ(deleted.count(id), 0u) << "a deleted record visited";
      seen.push_back(id);
      ++visits[id];
      for (int n = int(rng.below(3)); n > 0 && !live.empty(); --n) {
        auto it = live.lower_bound(id + int32_t(rng.range(-3, 3)));
        if (it == live.end()) --it;
        Rec changed = it->second;
        isam_index *by = rng.one_in(2) ? other : byname;
        on(by, changed);
        if (rng.one_in(2)) {
          ASSERT_EQ(idelrec(db, by), 1);
          deleted.insert(changed.id);
          live.erase(it);
        } else {  // longer or shorter names: moved or rewritten in place
          changed.name = rng.text(size_t(rng.below(40)));
          ASSERT_EQ(imodrec(db, by, Values(changed).get()), 1);
          modified.insert(changed.id);
          it->second = changed;
        }
      }
    }
    if (!physical) {
      EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    }
    for (const auto &[id, r] : live)
      if (!physical || modified.count(id) == 0) {
        EXPECT_EQ(visits[id], 1) << "record " << id << " in round " << round;
      }
    EXPECT_EQ(iclose_index(db, walker), 1);
    EXPECT_EQ(iclose_index(db, other), 1);
    check(db, live);
    for (const auto &[id, r] : live) {
      on(byid, r);
      ASSERT_EQ(idelrec(db, byid), 1);
    }
  }
}

}  // namespace
}  // namespace isamtest
