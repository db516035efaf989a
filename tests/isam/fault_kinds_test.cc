// A database's whole life (create, indexes, adds, moving modifies, deletes, flush, close, reopen, reads)
// with the nth sync, open, write or allocation failing, or the nth transfer moving its bytes in short
// pieces, once or from then on, for every n the life reaches: every call answers as documented, nothing
// leaks (LeakSanitizer at exit, the descriptor count here once the layers have ended), every record read
// back is the one stored, and once the fault clears the database opens; when every step had reported
// success it holds exactly what the steps said they stored, and otherwise its index file is sound or the
// next open flags it.
//
// The life allocates nothing of its own while a fault is armed (its values are made beforehand and its
// findings kept in fixed arrays), so that the allocations counted are the library's.
#include <dirent.h>

#include <cstdio>

#include "cbt/blockio/blockio.h"
#include "isam/record_fixture.h"
#include "support/counted_new.h"
#include "support/faults.h"

namespace isamtest {
namespace {

namespace blockio = qrx::blockio;

int open_descriptors() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

Rec rec(int32_t id, size_t name_len) {
  Rec r;
  r.name = std::string(name_len, char('a' + id % 26)), r.id = id, r.score = id,
  r.code = "code" + std::to_string(id);
  return r;
}

// An answer as documented: 1, or -1 with the reason left in the error number.
bool answered(int32_t rc) {
  return rc == 1 || (rc == -1 && *qrxiseno() != 0);
}

constexpr int32_t kIds = 24;

// What the life knows of record id: never added, as added, grown by a modify, deleted, or unsure
// after a call that failed.
enum Known : uint8_t { kNone, kSmall, kGrown, kDeleted, kUnsure };

struct Plan {
  std::vector<Rec> small, grown;  // by id (0 unused)
  std::vector<Values> small_values, grown_values;
  Plan() {
    for (int32_t id = 0; id <= kIds; ++id) small.push_back(rec(id, 3)), grown.push_back(rec(id, 30));
    for (int32_t id = 0; id <= kIds; ++id) small_values.emplace_back(small[size_t(id)]);
    for (int32_t id = 0; id <= kIds; ++id) grown_values.emplace_back(grown[size_t(id)]);
  }
};

struct Life {
  std::array<Known, kIds + 1> known{};  // what the calls reported
  bool all_ok = true;                   // every call of the life reported success
  int bad_answers = 0, first_bad = 0;   // calls that answered neither 1 nor -1 with a reason
  int wrong_reads = 0, reads = 0;       // records read back unlike what was stored, records read
  bool read_all = false;                // the final walk ran to its end
};

// Record id as read into f by igetrec matches what the life stored for it.
bool matches(const Plan &plan, const Life &life, void *const *f) {
  const int32_t id = qrxis_get_i32(f[1]);
  if (id < 1 || id > kIds) return false;
  const Known k = life.known[size_t(id)];
  if (k == kUnsure) return true;
  if (k != kSmall && k != kGrown) return false;
  const Rec &r = k == kSmall ? plan.small[size_t(id)] : plan.grown[size_t(id)];
  return std::strcmp(static_cast<const char *>(f[0]), r.name.c_str()) == 0 &&
         qrxis_get_f64(f[2]) == r.score &&
         std::strcmp(static_cast<const char *>(f[3]), r.code.c_str()) == 0 &&
         std::memcmp(f[4], r.tag.data(), 3) == 0;
}

// One life of database `base` (a name made beforehand); every step's answer kept, failures tolerated.
void live(const char *base, const Plan &plan, Life &life) {
  const auto step = [&](int32_t rc) {
    if (!answered(rc) && life.bad_answers++ == 0) life.first_bad = rc;
    if (rc != 1) life.all_ok = false;
    return rc == 1;
  };
  static const char *fields[] = {"NAME", "ID,I", "SCORE,D", "CODE,C", "TAG,C3", nullptr};
  isam_db *db = icreate_db(base, 512, fields);
  if (db == nullptr) {
    step(*qrxiseno() != 0 ? -1 : 0);
    return;
  }
  static const char *by_id[] = {"ID,I", nullptr}, *by_name[] = {"NAME", "SCORE,D", nullptr},
                    *by_code[] = {"CODE,C:2,3", nullptr};
  step(imkindex(db, "BYID,U", by_id));
  step(imkindex(db, "BYNAME", by_name));
  step(imkindex(db, "BYCODE", by_code));
  isam_index *idx = ihandle(db, "BYID");
  for (int32_t id = 1; id <= kIds; ++id)
    life.known[size_t(id)] =
        step(iaddrec(db, nullptr, plan.small_values[size_t(id)].get())) ? kSmall : kUnsure;
  const auto seek_id = [&](int32_t id) {
    char key[4];
    qrxis_put_i32(key, id);
    const void *v[] = {key, nullptr};
    return idx != nullptr && ifindkey(db, idx, v) == 2;
  };
  for (int32_t id = 2; id <= kIds; id += 4) {  // grows: the record moves and leaves a hole
    if (!seek_id(id)) {
      life.all_ok = false;
      continue;
    }
    life.known[size_t(id)] = step(imodrec(db, idx, plan.grown_values[size_t(id)].get())) ? kGrown : kUnsure;
  }
  for (int32_t id = 3; id <= kIds; id += 4) {
    if (!seek_id(id)) {
      life.all_ok = false;
      continue;
    }
    life.known[size_t(id)] = step(idelrec(db, idx)) ? kDeleted : kUnsure;
  }
  step(iflush_db(db));
  step(iclose_db(db));
  isamexit();
  if ((db = iopen_db(base, 2)) == nullptr) {
    step(*qrxiseno() != 0 ? -1 : 0);
    return;
  }
  if ((idx = ihandle(db, "BYID")) != nullptr) {
    int32_t r = ifindhead(db, idx);
    for (; r == 1; r = ifindnext(db, idx)) {
      void *f[6];
      uint8_t buf[128];
      if (!step(igetrec(db, idx, f, buf, sizeof buf))) continue;
      ++life.reads;
      if (!matches(plan, life, f)) ++life.wrong_reads;
    }
    life.read_all = r == -3;
    if (r != -3) step(r == -1 && *qrxiseno() != 0 ? -1 : 0);
  } else {
    step(-1);
  }
  step(iclose_db(db));
  isamexit();
}

// Set when an open of the life found its index file not closed properly and verified it (the notice
// "Verify of ... successful" or "... failed"): the damage a fault left was reported then.
bool g_verified_in_life = false;

// The life's lines: error lines are expected and dropped (a capture would allocate); a verification's
// notice is remembered. QRX_SWEEP_LINES writes them all to standard error.
void life_line(void *, const char *file, int line, int kind, int, const char *text) {
  if (kind == QRXHOST_KIND_NOTICE && std::strncmp(text, "Verify of", 9) == 0) g_verified_in_life = true;
  if (std::getenv("QRX_SWEEP_LINES") != nullptr) std::fprintf(stderr, "qrx %s:%d %s\n", file, line, text);
}

using qrx::test::Fault;

const char *fault_name(Fault f) {
  switch (f) {
    case Fault::kSync:
      return "syncs";
    case Fault::kOpen:
      return "opens";
    case Fault::kRead:
      return "block reads";
    case Fault::kWrite:
      return "block writes";
    case Fault::kRangeWrite:
      return "record writes";
    case Fault::kShortTransfer:
      return "short transfers";
    case Fault::kAllocation:
      return "allocations";
  }
  return "?";
}

struct FaultKinds : IsamTest, testing::WithParamInterface<std::tuple<Fault, bool>> {};

TEST_P(FaultKinds, EveryFailureAnsweredNothingLeakedAndTheFilesHoldWhatWasReported) {
  const auto [fault, sticky] = GetParam();
  const int descriptors = open_descriptors();
  const Plan plan;
  int clean = 0, flagged = 0, whole = 0;
  // QRX_SWEEP_FROM=n starts at the nth fault (QRX_SWEEP_LINES shows the life's error lines).
  uint64_t n = std::getenv("QRX_SWEEP_FROM") ? std::strtoull(std::getenv("QRX_SWEEP_FROM"), nullptr, 10) : 1;
  for (;; ++n) {
    SCOPED_TRACE("fault " + std::to_string(n));
    const std::string base = dir.file("life" + std::to_string(n));
    Life life;
    g_verified_in_life = false;
    qrxhost_set_trace_sink(&life_line, nullptr);
    qrx::test::arm_fault(fault, n, sticky);
    live(base.c_str(), plan, life);
    const bool reached = qrx::test::faults_counted(fault) >= n;
    qrx::test::disarm_faults();
    qrxhost_set_trace_sink(nullptr, nullptr);
    EXPECT_EQ(life.bad_answers, 0) << "a call answered " << life.first_bad;
    EXPECT_EQ(life.wrong_reads, 0) << "of " << life.reads << " records read back";
    reset_layer();
    // An index file whose blocks could not be written by the last close stays open, for a later
    // close to retry, until the next exit of the B-tree layer lets it go.
    ASSERT_EQ(cbinit(4, 512), 1);
    ASSERT_EQ(cbexit(), 1);
    ASSERT_EQ(open_descriptors(), descriptors) << "a descriptor was left open";
    if (HasFailure()) return;
    if (reached && life.all_ok) ++whole;
    // The fault has cleared: a database that was made opens, flagged or not; a clean one has a sound
    // index file, and holds what the calls reported when all of them had succeeded.
    if (tb::read_file(base + ".DB").empty()) {
      if (!reached) break;
      ++clean;
      continue;
    }
    ASSERT_EQ(cbinit(4, 512), 1);
    cbt_tree *t = cbopen((base + ".IDX").c_str(), 1, nullptr);
    ASSERT_NE(t, nullptr) << "index file, error " << *qrxcbecd();
    // Flagged by this open, or by the life's own reopen, which verified the file and reported the
    // result before its close marked the file closed properly.
    const bool was_flagged = *qrxcbecd() == 20 || g_verified_in_life;
    ASSERT_EQ(cbclose(t), 1);
    ASSERT_EQ(cbexit(), 1);
    isam_db *db = iopen_db(base.c_str(), 2);
    ASSERT_NE(db, nullptr) << "error " << *qrxiseno();
    if (life.all_ok) {
      EXPECT_TRUE(life.read_all);
      std::map<int32_t, Rec> model;
      for (int32_t id = 1; id <= kIds; ++id) {
        if (life.known[size_t(id)] == kSmall) model[id] = plan.small[size_t(id)];
        if (life.known[size_t(id)] == kGrown) model[id] = plan.grown[size_t(id)];
      }
      EXPECT_EQ(life.reads, int(model.size()));
      // A free space's keys are kept as well as can be: a change whose hole keys could not be written
      // still succeeds, and leaves its index file flagged.
      check(db, model, !was_flagged);
    } else if (!was_flagged) {
      EXPECT_EQ(scan_data(db->datafile).error, "") << "a clean open of a damaged data file";
      EXPECT_EQ(cbcheck(db->holetree), 1) << "a clean open of a damaged index file";
    }
    if (reached) ++(was_flagged ? flagged : clean);
    reset_layer();
    if (HasFailure()) return;
    if (!reached) break;
  }
  std::printf(
      "database life, %-15s %-9s: %4llu points, %4d clean, %4d flagged, 0 silent; %4d lives "
      "with every call successful\n",
      fault_name(fault), sticky ? "from then" : "once", static_cast<unsigned long long>(n - 1), clean,
      flagged, whole);
  EXPECT_GT(n, 1u) << "the life never reached the fault";
}

INSTANTIATE_TEST_SUITE_P(Kinds, FaultKinds,
                         testing::Combine(testing::Values(Fault::kSync, Fault::kOpen, Fault::kWrite,
                                                          Fault::kRangeWrite, Fault::kShortTransfer,
                                                          Fault::kAllocation),
                                          testing::Bool()));

}  // namespace
}  // namespace isamtest
