// Threads changing records at once: four through private index objects of one database, and two
// databases shared by two threads each; the files are checked against the joined models afterwards.
#include <thread>

#include "isam/record_fixture.h"
#include "support/tree_model.h"

namespace isamtest {
namespace {

// Random changes to the records of IDs base..base+299 through a private index object of its own.
void worker(isam_db *db, int32_t base, std::map<int32_t, Rec> &model) {
  isam_index *mine = iopen_index(db, "BYID");
  ASSERT_NE(mine, nullptr);
  qrx::test::Rng rng(uint64_t(base) + 11);
  for (int op = 0; op < 1500; ++op) {
    if (op % 300 == 299) {  // a walk while the other threads change records: IDs only ever go up
      int32_t last = 0, id = 0;
      uint32_t len = 0;
      for (int32_t r = ifindhead(db, mine); r == 1; r = ifindnext(db, mine)) {
        std::string data(512, '\0');
        const int32_t read = ireadrec(db, mine, data.data(), uint32_t(data.size()), &len);
        if (read == -4) continue;  // deleted or moved by another thread since the step
        ASSERT_EQ(read, 1);
        id = qrxis_get_i32(data.data() + data.find('\0') + 1);
        ASSERT_GT(id, last);
        last = id;
      }
    }
    Rec r;
    r.id = base + int32_t(rng.below(300)),
    r.name = std::string(size_t(rng.below(30)), char('a' + rng.below(3)));
    r.code = std::to_string(rng.below(1000)), r.score = double(rng.below(4));
    const auto it = model.find(r.id);
    if (it == model.end()) {
      ASSERT_EQ(iaddrec(db, rng.one_in(2) ? mine : nullptr, Values(r).get()), 1) << *qrxiseno();
      model[r.id] = r;
      continue;
    }
    const uint32_t off = offset_of(db, r.id);
    seek(db, mine, r.key(1), off);
    if (rng.one_in(3)) {
      ASSERT_EQ(idelrec(db, mine), 1) << *qrxiseno();
      model.erase(it);
    } else {
      ASSERT_EQ(imodrec(db, mine, Values(r).get()), 1) << *qrxiseno();
      it->second = r;
    }
  }
  EXPECT_EQ(iclose_index(db, mine), 1);
}

TEST_F(RecordTest, FourThreadsChangeOneDatabase) {
  open_fresh();
  std::vector<std::map<int32_t, Rec>> models(4);
  std::vector<std::thread> threads;
  for (int32_t i = 0; i < 4; ++i)
    threads.emplace_back([&, i] { worker(db, 1000 * (i + 1), models[size_t(i)]); });
  for (auto &th : threads) th.join();
  std::map<int32_t, Rec> all;
  for (const auto &m : models) all.insert(m.begin(), m.end());
  check(db, all);
}

TEST_F(RecordTest, TwoDatabasesTwoThreadsEach) {
  open_fresh(1024, "right");  // the pool's buffers are sized by the first create
  isam_db *right = db;
  open_fresh(512, "left");
  isam_db *dbs[] = {db, right};
  std::vector<std::map<int32_t, Rec>> models(4);
  std::vector<std::thread> threads;
  for (int32_t i = 0; i < 4; ++i)
    threads.emplace_back([&, i] { worker(dbs[i / 2], 1000 * (i + 1), models[size_t(i)]); });
  for (auto &th : threads) th.join();
  for (int d = 0; d < 2; ++d) {
    std::map<int32_t, Rec> all = models[size_t(2 * d)];
    all.insert(models[size_t(2 * d + 1)].begin(), models[size_t(2 * d + 1)].end());
    check(dbs[d], all);
  }
}

}  // namespace
}  // namespace isamtest
