// Random adds, deletes and modifies against an in-memory model, the data file and every index checked
// against it after each batch.
#include "isam/record_fixture.h"
#include "support/tree_model.h"

namespace isamtest {
namespace {

struct ModelRun {
  RecordTest &t;
  qrx::test::Rng rng;
  std::map<int32_t, Rec> model;

  std::string text(int64_t max, const char *alphabet) {
    std::string s(size_t(rng.range(0, max)), ' ');
    for (auto &c : s) c = alphabet[rng.below(std::strlen(alphabet))];
    return s;
  }
  Rec random_rec(int32_t id) {
    Rec r;
    r.name = text(24, "aAbBcC_"), r.id = id, r.score = double(rng.range(-3, 3)) / 2;
    r.code = text(9, "abcd"), r.tag = text(3, "xyz") + std::string(3, 'q');
    r.tag.resize(3);
    return r;
  }
  isam_index *any_index() {
    isam_index *all[] = {nullptr, t.byid, t.byname, t.bycode};
    return all[rng.below(4)];
  }
  const Rec &existing() {
    auto it = model.begin();
    std::advance(it, long(rng.below(model.size())));
    return it->second;
  }

  void add() {
    const Rec r = random_rec(int32_t(rng.range(1, 3000)));
    isam_index *idx = any_index();
    const bool raw = rng.one_in(3);
    const std::string data = r.bytes(), key = idx != nullptr ? r.key(idx->number).substr(1) : "";
    const int32_t rc =
        raw ? iaddrec2(t.db, idx, key.data(), uint32_t(key.size()), data.data(), uint32_t(data.size()))
            : t.add(r, idx);
    if (model.count(r.id) != 0) {
      ASSERT_EQ(rc, -1);
      ASSERT_EQ(*qrxiseno(), QRXIS_CBT);
      if (raw && idx == t.byid) {
        ASSERT_EQ(*qrxcbecd(), 18u);
      }
      return;
    }
    ASSERT_EQ(rc, 1) << *qrxiseno();
    model[r.id] = r;
    if (idx == nullptr) return;
    uint32_t item = 0;
    ASSERT_EQ(cbcurr(idx->tree, &item), 1);
    ASSERT_EQ(item, offset_of(t.db, r.id));
  }
  void remove() {
    const Rec r = existing();
    isam_index *idx = any_index();
    t.on(idx != nullptr ? idx : t.byid, r);
    ASSERT_EQ(idelrec(t.db, idx != nullptr ? idx : t.byid), 1) << *qrxiseno();
    model.erase(r.id);
  }
  void modify() {
    const Rec r = existing();
    Rec n = r;
    switch (rng.below(5)) {
      case 0:
        n.name += text(30, "xyZ");
        break;  // grows, usually moves
      case 1:
        n.name.resize(n.name.size() - std::min<size_t>(n.name.size(), 3));
        break;  // by less than 4
      case 2:
        n.name.resize(n.name.size() / 3), n.code.clear();
        break;  // by more than 4
      case 3:
        n.score += 1, n.code = text(9, "abcd");
        break;  // key fields, same width
      default:
        n.id = int32_t(rng.range(1, 3000));
        break;  // perhaps a taken ID
    }
    isam_index *idx = any_index();
    if (idx == nullptr) idx = t.byname;
    t.on(idx, r);
    const std::string data = n.bytes();
    const int32_t rc = rng.one_in(2) ? imodrec(t.db, idx, Values(n).get())
                                     : imodrec2(t.db, idx, data.data(), uint32_t(data.size()));
    if (n.id != r.id && model.count(n.id) != 0) {
      ASSERT_EQ(rc, -1);
      ASSERT_EQ(*qrxiseno(), QRXIS_CBT);
      return;
    }
    ASSERT_EQ(rc, 1) << *qrxiseno();
    model.erase(r.id);
    model[n.id] = n;
  }
};

class RecordModel : public RecordTest, public testing::WithParamInterface<int32_t> {};

TEST_P(RecordModel, HundredThousandChangesKeepFileAndIndexesExact) {
  open_fresh(GetParam());
  ModelRun run{*this, qrx::test::Rng(uint64_t(GetParam()) * 7919), {}};
  SCOPED_TRACE("seed " + std::to_string(run.rng.seed()));
  for (int op = 1; op <= 100000; ++op) {
    const uint64_t pick = run.model.empty() ? 0 : run.rng.below(100);
    if (pick < 45)
      run.add();
    else if (pick < 70)
      run.remove();
    else
      run.modify();
    if (HasFatalFailure()) return;
    if (op % 5000 == 0) {
      check(db, run.model);
      if (HasFatalFailure()) return;
    }
  }
  ASSERT_EQ(iclose_db(db), 1);
  db = iopen_db(base.c_str(), 1);
  check(db, run.model);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, RecordModel, testing::Values(512, 1024, 4096));

}  // namespace
}  // namespace isamtest
