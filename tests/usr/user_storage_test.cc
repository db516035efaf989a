// User storage against an in-memory model of its trees, and its storage kept constant through
// create-and-destroy cycles and every injected storage failure or condition.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>

#include "host/qrxhost.h"
#include "keyed/handles.h"
#include "qrxus.h"

namespace {

UsrDescriptor d(const std::string &s) {
  return UsrDescriptor{s.data(), 0, static_cast<uint16_t>(s.size())};
}
// The space's reason, or minus the return code of qrxusgr (-2 for a handle that names nothing).
int32_t reason(UsrHandle h) {
  int32_t r = -1, rc = qrxusgr(h, &r);
  return rc != 0 ? -rc : r;
}

struct Node {
  UsrHandle h;
  uint32_t parent;  // slot of the parent, 0 for a top-level space
  std::string name;
  std::map<std::string, std::string> attrs;
  int32_t reason;
};

TEST(UserStorage, RandomOperationsFollowTheModel) {
  std::mt19937 rng(20240611);
  std::map<uint32_t, Node> live;  // by slot
  const std::string names[] = {"abc", "alpha", "beta", std::string(52, 'n'), std::string(53, 'n')};
  const uint32_t spaces = qrxhost_storage_space_count();
  uint16_t next_id = 1;
  for (int step = 0; step < 20000; ++step) {
    const uint32_t op = live.empty() ? 0 : rng() % 10,
                   slot = op ? std::next(live.begin(), rng() % live.size())->first : 0;
    Node *n = op ? &live[slot] : nullptr;
    const std::string &nm = names[rng() % 5];  // of a space or of an attribute
    const UsrDescriptor dn = d(nm);
    const int32_t bad = nm.size() < 4 || nm.size() > 52;
    UsrDescriptor got{};
    UsrHandle h{};
    int32_t st = -1, want = bad;
    if (op <= 1) {  // a top-level space, or a sub-space
      for (auto &[s, m] : live) want = op == 0 && m.parent == 0 && m.name == nm && !bad ? 4 : want;
      ASSERT_EQ(op == 0 ? qrxuscu(&dn, &h, &st) : qrxuscs(n->h, &h), op ? 0 : want);
      ASSERT_TRUE(op == 1 || st == (want == 1 ? 1 : want == 4 ? 34 : 26));
      next_id = live.empty() ? 1 : next_id;  // the store is made anew
      ASSERT_TRUE((op == 0 && want != 0) || h.id == next_id++);
      if (op == 1 || want == 0) live[h.slot] = Node{h, slot, op ? n->name : nm, {}, 26};
    } else if (op == 2 && rng() % 3 == 0) {
      ASSERT_TRUE(qrxusdu(n->h, &st) == 0 && st == 0);
      std::set<uint32_t> gone{slot};  // slots grow: a child comes after its parent
      for (auto &[s, m] : live) gone.insert(gone.count(m.parent) ? s : slot);
      for (uint32_t s : gone) ASSERT_TRUE(reason(live[s].h) == -2 && live.erase(s) == 1);
    } else if (op == 3) {
      const std::string value(rng() % 6, static_cast<char>('a' + rng() % 26));
      const UsrDescriptor dv = d(value);
      want = bad ? 1 : n->attrs.count(nm) ? 4 : 0;
      ASSERT_EQ(qrxussa(n->h, &dn, &dv), want);
      n->reason = want == 1 ? 2 : want == 4 ? 34 : 0;
      if (want == 0) n->attrs[nm] = value;
    } else if (op == 4 || op == 5) {  // the space, then (op 4) its ancestors below the top level
      const std::string *value = nullptr;
      for (Node *m = n; !bad && value == nullptr; m = &live[m->parent]) {
        if (m->attrs.count(nm)) value = &m->attrs[nm];
        if (op == 5 || m->parent == 0 || live[m->parent].parent == 0) break;
      }
      ASSERT_EQ((op == 4 ? qrxusga : qrxusgs)(n->h, &dn, &got), bad ? 1 : value ? 0 : 5);
      const std::string found = value ? std::string(static_cast<const char *>(got.bytes), got.length) : "";
      ASSERT_TRUE(!value || (found == *value && got.size == got.length));
      if (!value || op == 4) n->reason = bad ? 2 : value ? 0 : 28;
    } else if (op == 6) {
      ASSERT_EQ(qrxusfa(n->h, &dn), bad ? 1 : n->attrs.count(nm) ? 0 : 5);
      n->reason = bad ? 2 : n->attrs.erase(nm) ? 0 : 28;
    } else if (op == 7) {  // the parent, or the zero handle
      const UsrHandle parent = n->parent ? live[n->parent].h : UsrHandle{};
      ASSERT_TRUE(qrxusgp(n->h, &h) == 0 && h.id == parent.id && h.zero == 0 && h.slot == parent.slot);
      n->reason = n->parent ? 0 : n->reason;
      ASSERT_EQ(reason(h), n->parent ? live[n->parent].reason : -2);
    } else if (op == 8) {  // one byte of a live handle changed
      h = n->h;
      reinterpret_cast<uint8_t *>(&h)[rng() % 8] ^= static_cast<uint8_t>(1 + rng() % 255);
      ASSERT_EQ(reason(h), -2);
    }
    for (auto &[s, m] : live) ASSERT_TRUE((s != slot && step % 500) || reason(m.h) == m.reason) << step;
  }
  for (auto &[s, m] : live) ASSERT_TRUE(m.parent != 0 || qrxusdu(m.h, &m.reason) == 0);
  EXPECT_EQ(qrxhost_storage_space_count(), spaces);
}

TEST(UserStorage, CyclesAndFailuresLeaveNoStorageBehind) {
  const uint32_t spaces = qrxhost_storage_space_count(), slots = qrx::keyed::slot_live_count();
  const UsrDescriptor dn = {"cycle", 0, 5};
  UsrHandle top, sub;
  int32_t r = -1;
  for (int i = 0; i < 10000; ++i) {
    ASSERT_TRUE(qrxuscu(&dn, &top, &r) == 0 && top.id == 1 && qrxuscs(top, &sub) == 0);
    ASSERT_TRUE(!qrxussa(sub, &dn, &dn) && !qrxusdu(top, &r) && qrxhost_storage_space_count() == spaces);
  }
  // The n-th storage call of a scenario fails (how 0) or raises (how 1), for each of its 15 calls.
  for (int32_t how = 0; how < 2; ++how) {
    for (int32_t nth = 1, i = 0, rc = 0;; ++nth, i = 0) {
      auto fails = [&](int32_t code) { return ++i, (rc = code) != 0; };
      top = sub = UsrHandle{};
      qrxhost_storage_fault(nth, how);
      const bool failed = fails(qrxuscu(&dn, &top, &r)) || fails(qrxuscs(top, &sub)) ||
                          fails(qrxussa(sub, &dn, &dn)) || fails(qrxusfa(sub, &dn)) ||
                          fails(qrxussa(sub, &dn, &dn)) || fails(qrxusdu(top, &r));
      qrxhost_storage_fault(0, 0);
      ASSERT_TRUE(failed || nth == 16);  // each call failed once, and was reported
      if (!failed) break;
      if (i >= 2 && i <= 5) r = reason(i == 2 ? top : sub);  // else r is the status word
      EXPECT_TRUE(how ? rc == 8 && r == 45 : (rc == 7 || rc == 8) && r == 41) << nth << ' ' << i << ' ' << rc;
      EXPECT_TRUE(i < 3 || i > 5 || qrxusfa(sub, &dn) == 5);  // no attribute was left
      qrxusdu(top, &r);
      EXPECT_TRUE(qrxhost_storage_space_count() == spaces && qrx::keyed::slot_live_count() == slots) << nth;
    }
  }
}

}  // namespace
