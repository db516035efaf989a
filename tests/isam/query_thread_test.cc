// Two threads asking igetdesc and igetindexnames at once: each gets its own results, which the other
// thread's calls never overwrite.
#include <latch>
#include <thread>

#include "isam/query_fixture.h"

namespace isamtest {

TEST_F(QueryTest, EachThreadKeepsItsOwnResults) {
  isam_db *other = small();
  ASSERT_NE(other, nullptr);
  std::latch start(2), done(2);
  const char *const *kept[2] = {nullptr, nullptr};
  const auto ask = [&](int me, isam_db *d, isam_index *idx, const std::vector<std::string> &names) {
    const std::vector<std::string> desc = list(igetdesc(db, idx));
    start.arrive_and_wait();
    for (int i = 0; i < 300 && !HasFailure(); ++i) {  // a failure stops the loop, never the latch
      EXPECT_EQ(list(igetdesc(db, idx)), desc) << i;
      EXPECT_EQ(list(igetindexnames(d)), names) << i;
    }
    kept[me] = igetdesc(db, idx);
    done.arrive_and_wait();  // both threads' last results exist side by side
    EXPECT_EQ(list(kept[me]), desc);
  };
  std::thread a(ask, 0, db, byname,
                std::vector<std::string>{"Physical Index", "BYNAME", "BYCITY,U", "BYALL"});
  std::thread b(ask, 1, other, byall, std::vector<std::string>{"Physical Index"});
  a.join(), b.join();
  EXPECT_NE(kept[0], kept[1]);
}

}  // namespace isamtest
