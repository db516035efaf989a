// Random adds, deletes and modifies against an in-memory model, the data file and every index checked
// against it after each batch, and every index walked from random places through shared and private
// index objects, in databases whose indexes are numbered low and above 127.
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
    const std::string data = r.bytes(), key = idx != nullptr ? r.key(t.kind_of(idx)).substr(1) : "";
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
    ASSERT_EQ(item, t.offset(r.id));
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

  // Positions idx at random (head, tail, whole or partial key, exact record, mark) and steps it both ways;
  // every result and every entry reached must be the model's. `want` is the index's entries in order.
  void navigate(isam_index *idx, int kind, const std::vector<std::pair<std::string, uint32_t>> &want,
                const std::map<uint32_t, Rec> &at) {
    const int64_t size = int64_t(want.size());
    int64_t pos = -1;  // -1 before the first entry, size after the last
    // The first entry at or after the probe's key (partial: its NAME alone, which sorts before every key
    // with that NAME).
    const auto first_from = [&](const Rec &probe, bool partial) {
      Rec name_only = probe;
      name_only.score = -1e300;
      int64_t i = 0;
      while (i < size && key_order(kind, at.at(want[size_t(i)].second), partial ? name_only : probe) < 0) ++i;
      return i;
    };
    const auto expect_at = [&](int32_t rc, int32_t want_rc, const char *what) {
      ASSERT_EQ(rc, want_rc) << what << " at " << pos << " of " << size;
      ASSERT_EQ(*qrxiseno(), 0) << what;
      if (pos < 0 || pos >= size) return;
      uint32_t item = 0;
      ASSERT_EQ(cbcurr(idx->tree, &item), 1) << what;
      ASSERT_EQ(item, want[size_t(pos)].second) << what << " at " << pos << " of " << size;
    };
    const auto probe = [&]() -> Rec {
      if (!at.empty() && !rng.one_in(3)) {
        auto it = at.begin();
        std::advance(it, long(rng.below(at.size())));
        return it->second;
      }
      return random_rec(int32_t(rng.range(1, 3000)));
    };
    switch (rng.below(6)) {
      case 0:
        pos = size == 0 ? size : 0;
        expect_at(ifindhead(t.db, idx), size == 0 ? -3 : 1, "head");
        break;
      case 1:
        pos = size - 1;
        expect_at(ifindtail(t.db, idx), size == 0 ? -2 : 1, "tail");
        break;
      case 2: {  // a whole key, present or not
        const Rec r = probe();
        pos = first_from(r, false);
        const bool found = pos < size && key_order(kind, at.at(want[size_t(pos)].second), r) == 0;
        const Values v(r);
        const std::vector<const void *> key =
            kind == 1 ? std::vector<const void *>{v.ptrs[1], nullptr}
                      : (kind == 2 ? std::vector<const void *>{v.ptrs[0], v.ptrs[2], nullptr}
                                   : std::vector<const void *>{v.ptrs[3], nullptr});
        expect_at(ifindkey(t.db, idx, key.data()), found ? 2 : 3, "key");
        break;
      }
      case 3: {  // a partial key: NAME alone in BYNAME, nothing in the others
        const Rec r = probe();
        pos = kind == 2 ? first_from(r, true) : 0;
        const Values v(r);
        const void *key[] = {kind == 2 ? v.ptrs[0] : nullptr, nullptr};
        expect_at(ifindkey(t.db, idx, key), 3, "partial key");
        break;
      }
      case 4: {  // an exact record among its equal keys, or one that is not there
        const Rec r = probe();
        const auto it = std::find_if(at.begin(), at.end(), [&](const auto &e) { return e.second == r; });
        pos = it == at.end() ? first_from(r, false)
                             : int64_t(std::find(want.begin(), want.end(),
                                                 std::make_pair(r.key(kind, idx->number), it->first)) -
                                       want.begin());
        if (it == at.end())  // the run of equal keys is passed over: the cursor ends behind it
          while (pos < size && key_order(kind, at.at(want[size_t(pos)].second), r) == 0) ++pos;
        expect_at(ifindrec(t.db, idx, Values(r).get()), it == at.end() ? 3 : 2, "record");
        break;
      }
      default: {  // a mark, steps away from it, and back
        if (size == 0) return;
        pos = int64_t(rng.below(uint64_t(size)));
        for (int64_t i = 0; i <= pos; ++i) ASSERT_EQ(i == 0 ? ifindhead(t.db, idx) : ifindnext(t.db, idx), 1);
        ASSERT_EQ(imarkrec(t.db, idx), 1);
        for (int i = 0; i < 5; ++i) ifindnext(t.db, idx);
        expect_at(ifindmark(t.db, idx), 1, "mark");
      }
    }
    if (testing::Test::HasFailure()) return;
    for (int step = 0; step < 12 && !testing::Test::HasFailure(); ++step) {
      if (rng.one_in(2)) {
        pos = pos + 1 >= size ? size : pos + 1;
        expect_at(ifindnext(t.db, idx), pos >= size ? -3 : 1, "next");
      } else {
        pos = pos - 1 < 0 ? -1 : pos - 1;
        expect_at(ifindprev(t.db, idx), pos < 0 ? -2 : 1, "prev");
      }
    }
  }

  // Every index, shared and private, from 20 random places each.
  void walk_all() {
    const Scan s = scan_data(t.db->datafile);
    std::map<uint32_t, Rec> at;
    for (const auto &[off, b] : s.records) at[off] = decode(b);
    for (isam_index *shared : {t.byid, t.byname, t.bycode}) {
      const int kind = t.kind_of(shared);
      const auto want = expected(kind, at, shared->number);
      isam_index *own = iopen_index(t.db, shared->name.c_str());
      ASSERT_NE(own, nullptr);
      for (isam_index *idx : {shared, own})
        for (int round = 0; round < 20 && !testing::Test::HasFailure(); ++round)
          navigate(idx, kind, want, at);
      ASSERT_EQ(iclose_index(t.db, own), 1);
    }
  }
};

// Block size, whether the indexes are numbered above 127 (BYNAME 128, BYCODE 200, BYID 253: the
// description keys before the first, the free-space keys right behind the last), and the pages of the
// data file's cache (0: none; 2: nearly every read evicts a page).
class RecordModel : public RecordTest,
                    public testing::WithParamInterface<std::tuple<int32_t, bool, const char *>> {};

TEST_P(RecordModel, HundredThousandChangesKeepFileAndIndexesExact) {
  const auto [blocksize, high, cache_pages] = GetParam();
  const tb::ScopedEnv cache("QRX_DBCACHE", cache_pages);
  open_fresh(blocksize, "rec", high ? std::array<int, 3>{253, 128, 200} : std::array<int, 3>{1, 2, 3});
  ModelRun run{*this, qrx::test::Rng(uint64_t(blocksize) * 7919 + high), {}};
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
      check(db, run.model, true, numbers);
      if (HasFatalFailure()) return;
      run.walk_all();
      if (HasFailure()) return;
    }
  }
  ASSERT_EQ(iclose_db(db), 1);
  db = iopen_db(base.c_str(), 1);
  check(db, run.model, true, numbers);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, RecordModel,
                         testing::Values(std::make_tuple(512, false, "256"), std::make_tuple(1024, true, "2"),
                                         std::make_tuple(4096, false, "0"),
                                         std::make_tuple(4096, true, "256")));

}  // namespace
}  // namespace isamtest
