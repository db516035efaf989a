// Seeded random operations (QRX_TEST_SEED replaces the seed) on a keyed file with a two-part key, the second
// part signed, through two files on one database, cursors, update cursors and update blocks, each result
// held against a model of the records and of where each handle's ISAM index object stands.
#include <map>
#include <optional>

#include "keyed_fixture.h"
#include "support/tree_model.h"

namespace keyedtest {
namespace {

using Key = std::pair<int32_t, int16_t>;  // the index's typed order: A, then B, both signed
using Opt = std::optional<Key>;
constexpr uint32_t kAny = ~0u;  // a reason the success of a read, add or replace leaves open
enum St { kOn = 1, kBefore = -2, kAfter = -3, kMoved = -4 };
const std::string kPad("\0\0\0\0\x80\0", 6);  // the lowest A and B behind a partial key

// Blocks 0-1 files, 2-4 cursors, 5-6 update cursors (on file c % 2), 7-10 update blocks of 0, 1, 5, 6. A file
// or cursor is an index object too: on k, or waiting on k (none: past the end) after another's change.
struct Blk {
  KeyHandle h{};
  St st = kBefore;
  Opt k;
  bool fwd = false, bwd = false, valid = false, nopos = false;  // started; read for update; position lost
  uint32_t mode = 0, reason = kAny;
  int32_t last = 0;
};

struct ModelRun {
  qrx::test::Rng rng{20250611};
  std::map<Key, std::string> m;
  Blk b[11];
  int moved = 0, lost = 0, refused = 0;  // -4 reads, updates losing a cursor's place, refused reads
  char buf[32] = {};
  int32_t len = 0;

  static int obj_of(int u) { return u < 7 ? u : u < 9 ? u - 7 : u - 4; }
  static int ub_of(int owner) { return owner < 2 ? owner + 7 : owner + 4; }
  static Key key_of(const std::string &r) { return {qrxis_get_i32(r.data()), qrxis_get_i16(r.data() + 4)}; }
  static std::string kbytes(Key k) { return key(k.first) + std::string{char(k.second >> 8), char(k.second)}; }
  static std::string stat(int32_t s) { return "status " + std::to_string(s); }
  std::string got(int32_t st) { return st == 0 ? std::string(buf, size_t(len)) : stat(st); }
  std::string want(Opt k) { return k ? m[*k] : stat(5); }
  Opt at(std::map<Key, std::string>::iterator i) { return i == m.end() ? Opt() : i->first; }
  Opt after(Opt k) { return at(k ? m.upper_bound(*k) : m.begin()); }  // none: the first; before: the last
  Opt rat(std::map<Key, std::string>::reverse_iterator i) { return i == m.rend() ? Opt() : i->first; }
  Opt before(Opt k) { return rat(std::make_reverse_iterator(k ? m.lower_bound(*k) : m.end())); }
  // Where a (partial) key positions: zero bytes fill A and B; a key that does not reach B leaves it free.
  Opt lb(const std::string &p) { return at(m.lower_bound(key_of(p + kPad.substr(p.size())))); }
  bool begins(Opt k, const std::string &p) { return k && kbytes(*k).compare(0, p.size(), p) == 0; }
  Key random_key() {  // A's bytes FFFE .. 0001, 00 .. 02, 00 .. 02; B's FE .. 01, 00 .. 02
    const int64_t a = rng.range(-2, 1) * 65536, a2 = rng.range(0, 2) * 256, a3 = rng.range(0, 2);
    const int64_t b1 = rng.range(-2, 1) * 256, b2 = rng.range(0, 2);
    return {int32_t(a + a2 + a3), int16_t(b1 + b2)};
  }
  std::string record(Key k) { return kbytes(k) + rng.text(20, "abxyz \x01"); }  // 26 bytes: PAY C12, AMT D
  std::string partial() {  // a prefix of a key, now and then with an odd byte
    std::string k = kbytes(
        m.empty() || rng.one_in(3) ? random_key() : std::next(m.begin(), long(rng.below(m.size())))->first);
    if (rng.one_in(4)) k[rng.below(6)] = "\x00\x01\x7f\x80\xfe\xff"[rng.below(6)];
    return k.substr(0, 1 + rng.below(6));
  }

  // Through index object c: replace its record by r (10: not on one, 4: another's key) or delete it (r null,
  // 5). Others on it move on and wait; one waiting on it stays when a replace keeps the key.
  int32_t alter(int c, const std::string *r) {
    Blk &x = b[c];
    if (x.st != kOn) return r ? 10 : 5;
    const Key old = *x.k;
    const Opt s = after(old), y = r ? Opt(key_of(*r)) : Opt();
    for (int i = 0; i < 7; ++i)
      if (i != c && (b[i].st == kOn || (b[i].st == kMoved && y != old)) && b[i].k == old)
        b[i].st = kMoved, b[i].k = s;
    const bool dup = y && *y != old && m.count(*y) != 0;
    if (!dup) m.erase(old);
    if (r && !dup) m[*y] = *r;
    x.k = dup || !r ? s : before(s);  // its own change steps it to the entry after; a replace steps back
    x.st = x.k ? kOn : r && !dup ? kBefore : kAfter;
    if (!r) x.fwd = false;
    return dup ? 4 : 0;
  }
  // A read in sequence reads the entry stood on first and steps before later ones; a waiting one steps to it.
  Opt seq(Blk &x, bool fwd) {
    const bool started = fwd ? x.fwd : x.bwd;
    if (!started && x.st != kMoved) return x.fwd = x.bwd = true, x.st == kOn ? x.k : Opt();
    moved += x.st == kMoved;
    Opt to = fwd ? after(x.k) : before(x.k);
    if (x.st == (fwd ? kAfter : kBefore)) to = Opt();
    if (fwd && x.st == kMoved) to = x.k;
    if (to || !started) x.fwd = x.bwd = true;
    x.st = to ? kOn : fwd ? kAfter : kBefore, x.k = to;
    return to;
  }
  void hold(int u, int32_t st, KeyHandle h) {  // a read for update through the owner of u
    b[u].valid = true, b[u].mode = b[obj_of(u)].mode;
    if (st == 0) b[u].h = h;
  }
  // The model's side of an update (how 0, 1), delete (2) or release (3) through update block u.
  int32_t change(int u, int how, const std::string &r) {
    const int c = obj_of(u);
    const int32_t want = how < 3 ? alter(c, how < 2 ? &r : nullptr) : 0;
    if (how < 3) b[c].last = want, b[u].reason = want == 0 ? (how < 2 ? kAny : 26) : want == 10 ? 26 : 27;
    if (how < 2) b[u].valid = false;
    if (want == 10 && u > 8) b[c].nopos = true, ++lost;
    return want;
  }

  void add(int f) {
    const std::string r = record(random_key());
    const Key k = key_of(r);
    const bool dup = m.count(k) != 0;
    EXPECT_EQ(AddRecord(b[f].h, r.data(), int32_t(rng.below(7)), r.data(), 26), dup ? 4 : 0);
    if (!dup) m[k] = r, b[f].st = kOn;
    if (b[f].st == kOn || b[f].st == kMoved) b[f].k = k;  // a refused add's search moved the index too
    b[f].last = dup ? 4 : 0, b[f].reason = dup ? 27 : kAny;
  }
  void by_key(int f, int how, const std::string &p) {  // ReadByKey, ..ForUpdate, UpdateByKey, DeleteByKey
    const Opt at = lb(p);
    const bool hit = begins(at, p);
    const std::string r = record(hit && rng.one_in(2) ? *at : random_key());
    const int32_t n = int32_t(p.size());
    KeyHandle u{};
    const int32_t st = how == 0   ? ReadByKey(b[f].h, p.data(), n, buf, 32, &len)
                       : how == 1 ? ReadByKeyForUpdate(b[f].h, p.data(), n, buf, 32, &len, &u)
                       : how == 2 ? UpdateByKey(b[f].h, p.data(), n, r.data(), 26)
                                  : DeleteByKey(b[f].h, p.data(), n);
    b[f].st = at ? kOn : kAfter, b[f].k = at, b[f].last = hit ? 0 : 5, b[f].reason = hit ? kAny : 26;
    if (how > 0) hold(ub_of(f), how == 1 ? st : 1, u);
    EXPECT_EQ(how < 2 ? got(st) : stat(st),
              how < 2 ? want(hit ? at : Opt()) : stat(hit ? change(ub_of(f), how - 1, r) : 5))
        << "by a key of " << n << " bytes, " << how;
  }
  bool read(int c, bool fwd, bool upd) {  // true when a record came
    KeyHandle u{};
    const int32_t d = fwd ? 0 : rng.one_in(2) ? 1 : -7;
    const int32_t st =
        upd ? ReadNextForUpdate(b[c].h, d, buf, 32, &len, &u) : ReadNext(b[c].h, d, buf, 32, &len);
    const bool no = b[c].nopos || (upd && c < 5);  // plain cursors have no reads for update
    refused += b[c].nopos;
    EXPECT_EQ(got(st), no ? stat(2) : want(seq(b[c], fwd))) << "cursor " << c << " " << fwd;
    if (no) return false;
    b[c].last = st, b[c].reason = st != 0 ? 14 : upd ? kAny : 0;
    if (upd) hold(ub_of(c), st, u);
    return st == 0;
  }
  void act(int u, int how) {  // 0: update keeping the key, 1: update to any key, 2: delete, 3: release
    const int c = obj_of(u);
    const std::string r = record(how == 0 && b[c].k ? *b[c].k : random_key());
    const int32_t st = how < 2    ? UpdateHeldRecord(b[u].h, r.data(), 26)
                       : how == 2 ? DeleteHeldRecord(b[u].h)
                                  : ReleaseHeldRecord(b[u].h);
    EXPECT_EQ(st, b[u].valid && b[u].h.slot != 0 ? change(u, how, r) : 2) << u << " " << how;
  }
  void reposition(int c, int how) {  // how 0: head, 1: tail, else a key
    const std::string p = partial();
    const void *k = how == 0 ? QRXKY_KEY_HEAD : how == 1 ? QRXKY_KEY_TAIL : p.data();
    const int32_t st = RepositionCursor(b[c].h, k, how < 2 ? 0 : int32_t(p.size()));
    b[c].k = how == 0 ? after(Opt()) : how == 1 ? before(Opt()) : lb(p);
    b[c].last = how < 2 && !b[c].k ? 5 : 0;  // 5: an empty index, then past its end (head) or before (tail)
    b[c].st = b[c].k ? kOn : how == 1 ? kBefore : kAfter;
    if (b[c].last == 0) b[c].fwd = b[c].bwd = b[c].nopos = false;
    EXPECT_EQ(st, b[c].last) << "cursor " << c;
  }
  void modes(int k, int32_t mode) {  // 0, 1 or the invalid 2, then CheckAsynch
    if (b[k].h.slot == 0) return;
    EXPECT_EQ(SetAccessMode(b[k].h, mode), mode > 1 ? 1 : 0);
    mode > 1 ? void(b[k].reason = 2) : void(b[k].mode = uint32_t(mode));
    EXPECT_EQ(CheckAsynch(b[k].h), b[k].mode == 1 ? b[obj_of(k)].last : 6) << "block " << k;
    if (b[k].mode != 1) b[k].reason = 25;
  }
  void step() {
    const int f = int(rng.below(2)), c = 2 + int(rng.below(5)), r = int(rng.below(20)),
              x = int(rng.below(220));
    // Backward from waiting past the end depends on the free-space keys behind the index: reposition instead.
    const bool back = rng.one_in(3), unsure = back && b[c].st == kMoved && !b[c].k;
    r < 3    ? add(f)
    : r < 8  ? by_key(f, std::max(0, r - 4), partial())
    : r < 13 ? (unsure ? reposition(c, 2) : void(read(c, !back, r == 12)))
    : r < 16 ? act(7 + x % 4, x / 4 % 4)
    : r < 18 ? reposition(c, x % 4)
             : modes(x % 11, x / 11 % 5 / 2);
    for (int i = 0; i < 11; ++i) {
      uint32_t why = 0;
      if (b[i].h.slot == 0 || b[i].reason == kAny) continue;
      EXPECT_EQ(GetReason(b[i].h, &why) == 0 ? why : 99u, b[i].reason) << "reason of block " << i;
    }
  }
  void check(const std::string &name) {
    for (int w = 4; w < 14; ++w) {  // every cursor from the head forward, from the tail backward
      size_t n = 0;
      for (reposition(w / 2, w % 2); read(w / 2, w % 2 == 0, false);) ++n;
      EXPECT_EQ(n, m.size()) << "walk " << w;
    }
    for (const auto &[k, r] : m) by_key(int(rng.below(2)), 0, kbytes(k));
    EXPECT_EQ(FlushFile(b[0].h) + FlushFile(b[1].h), 0);  // from now on changes are not synced one by one
    EXPECT_EQ(iverify_db(name.c_str()), 1);
  }
};

using KeyedModelTest = KeyedTest;

TEST_F(KeyedModelTest, RandomOperationsThroughEveryKindOfHandleAgreeWithTheModel) {
  const std::string name = dir.file("MODEL");
  const char *fields[] = {"A,I", "B,H", "PAY,C12", "AMT,D", nullptr}, *specs[] = {"A,I", "B,H", nullptr};
  isam_db *db = icreate_db(name.c_str(), 512, fields);
  ASSERT_TRUE(db != nullptr && imkindex(db, "PrimaryIndex,U", specs) == 1 && iclose_db(db) == 1);
  ModelRun run;
  SCOPED_TRACE("seed " + std::to_string(run.rng.seed()) + " (QRX_TEST_SEED repeats a run)");
  run.b[0].h = open(name), run.b[1].h = open(name);
  for (int c = 2; c < 7; ++c) {
    EXPECT_EQ((c < 5 ? OpenCursor : OpenUpdateCursor)(run.b[c % 2].h, "\0", 1, &run.b[c].h), 0);
    run.b[c].reason = 26, run.reposition(c, 2);  // the model knows it from here
  }
  for (int i = 0; i < 50000 && !HasFailure(); ++i) {
    SCOPED_TRACE("operation " + std::to_string(i));
    run.step();
    if (i % 1000 == 999) run.check(name);
  }
  EXPECT_TRUE(run.moved && run.lost && run.refused) << run.moved << " " << run.lost << " " << run.refused;
}

}  // namespace
}  // namespace keyedtest
