// The keyed-file operations on files, cursors and update blocks: what each returns and leaves behind.
#include "keyed_fixture.h"

namespace keyedtest {
namespace {

namespace ky = qrx::keyed;

struct OperationsTest : KeyedTest {
  std::string db;
  KeyHandle f{};
  char buf[32] = {};
  int32_t len = -1;
  uint32_t reason = 99;
  void SetUp() override {
    db = sample("OPS", {10, 20, 30, 40});
    f = open(db);
  }
  int32_t read_key(int32_t id) { return ReadByKey(f, key(id).data(), 4, buf, 32, &len); }
  std::string got() const { return std::string(buf, size_t(len)); }
  uint32_t reason_of(KeyHandle h) {
    uint32_t r = 0;
    EXPECT_EQ(GetReason(h, &r), 0);
    return r;
  }
};

TEST_F(OperationsTest, OpenChecksUsageNameAndLeavesNothingWhenItFails) {
  tb::TraceCapture lines;
  const uint32_t live = ky::slot_live_count();
  KeyHandle h{};
  EXPECT_EQ(OpenKeyedFile(db.data(), int32_t(db.size()), 4, &h, &reason), 1);
  EXPECT_EQ(reason, 3u);
  EXPECT_EQ(lines.count(QRXHOST_KIND_ERROR, "Usage Mode 4 is invalid"), 1);
  EXPECT_EQ(OpenKeyedFile(db.data(), -1, 1, &h, &reason), 1);
  EXPECT_EQ(reason, 2u);
  EXPECT_EQ(OpenKeyedFile(nullptr, 5, 1, &h, &reason), 1);
  const std::string missing = dir.file("none");
  EXPECT_NE(OpenKeyedFile(missing.data(), int32_t(missing.size()), 1, &h, &reason), 0);
  EXPECT_EQ(OpenKeyedFile(db.data(), int32_t(db.size()), 1, nullptr, &reason), 1);
  EXPECT_EQ(ky::slot_live_count(), live);  // no block, update block or adapter request left
  ASSERT_EQ(CloseFile(f, &reason), 0);     // each open below then sets the database's mode
  for (int32_t usage = 0; usage <= 3; ++usage) {
    const KeyHandle g = open(db, usage);
    EXPECT_EQ(AddRecord(g, key(50 + usage).data(), 4, rec(50 + usage).data(), 32), usage & 1 ? 0 : 8)
        << usage;  // a read-only database refuses the add (an i/o error)
    EXPECT_EQ(CloseFile(g, &reason), 0);
  }
  // A long name is cut to 255 bytes; a blank ends the database part.
  const std::string padded = db + std::string(300 - db.size(), ' ');
  const KeyHandle g = open(padded);
  ky::Pin pin = ky::slot_pin(g.slot, ky::Kind::kFile);
  EXPECT_EQ(pin.get<ky::FileControlBlock>()->name_length, 255u);
}

TEST_F(OperationsTest, ASuccessfulOpenLeavesReasonZero) {
  ASSERT_EQ(CloseFile(f, &reason), 0);
  for (int32_t usage = 0; usage <= 3; ++usage) {
    KeyHandle g{};
    reason = 99;
    ASSERT_EQ(OpenKeyedFile(db.data(), int32_t(db.size()), usage, &g, &reason), 0) << usage;
    EXPECT_EQ(reason, 0u) << usage;  // not the neutral 26 the open starts with
    EXPECT_EQ(CloseFile(g, &reason), 0);
  }
}

// A name whose index part begins the "Physical Index" opens the file on the data file's own order: the key
// is the whole record and records can be added, but that order has no keys to find, so a read by key is
// not allowed (6) and a cursor, which starts at a key, cannot be opened.
TEST_F(OperationsTest, AFileInPhysicalOrderAddsButFindsNothingByKey) {
  const std::string name = db + ":Phys";
  const KeyHandle p = open(name);
  uint32_t off = 99, klen = 0;
  EXPECT_EQ(QueryKey(p, &off, &klen), 0);
  EXPECT_EQ(off, 0u);
  EXPECT_EQ(klen, 32u);
  const std::string five = rec(5, "n5", 2.5);
  ASSERT_EQ(AddRecord(p, nullptr, 0, five.data(), 32), 0);
  EXPECT_EQ(ReadByKey(p, five.data(), 32, buf, 32, &len), 6);
  KeyHandle c{};
  EXPECT_EQ(OpenCursor(p, QRXKY_KEY_HEAD, 0, &c), 5);
  EXPECT_EQ(read_key(5), 0);  // the record went into the primary index too
  EXPECT_EQ(got(), five);
  EXPECT_EQ(CloseFile(p, &reason), 0);
}

TEST_F(OperationsTest, CursorsReadInKeyOrderBothWays) {
  tb::TraceCapture lines;
  KeyHandle c{};
  EXPECT_EQ(OpenCursor(f, QRXKY_KEY_HEAD, 3, &c), 1);
  EXPECT_EQ(lines.count(QRXHOST_KIND_ERROR, "Key address 0 is invalid"), 1);
  EXPECT_EQ(OpenCursor(f, key(1).data(), 0, &c), 1);
  EXPECT_EQ(OpenCursor(f, rec(1).data(), 5, &c), 1);
  EXPECT_EQ(lines.count(QRXHOST_KIND_ERROR, "Key length 5 is invalid"), 1);
  const uint32_t live = ky::slot_live_count();
  ky::raise_arm(ky::RaisePoint::kWork, 1);  // a condition once the cursor is linked: it is undone
  EXPECT_EQ(OpenCursor(f, key(15).data(), 4, &c), 2);
  EXPECT_EQ(ky::slot_live_count(), live);
  c = cursor(f, QRXKY_KEY_TAIL, 0);  // no key: at or after an all-zero key, the first entry
  EXPECT_EQ(id_of(next(c)), 10);
  c = cursor(f, key(15).data(), 4);
  EXPECT_EQ(reason_of(c), 26u);
  char small[6];
  EXPECT_EQ(ReadNext(c, 0, small, 6, &len), 0);  // first at or after 15, cut to the buffer
  EXPECT_EQ(len, 32);
  EXPECT_EQ(std::string(small, 6), rec(20, "n20", 10).substr(0, 6));
  EXPECT_EQ(id_of(next(c)), 30);
  EXPECT_EQ(reason_of(c), 0u);
  EXPECT_EQ(RepositionCursor(c, QRXKY_KEY_TAIL, 2), 1);
  // A file closed under its cursor takes it along; the file handle then refuses OpenCursor with a line.
  EXPECT_EQ(CloseFile(f, &reason), 0);
  EXPECT_EQ(ReadNext(c, 0, buf, 32, &len), 2);
  EXPECT_EQ(OpenCursor(f, QRXKY_KEY_HEAD, 0, &c), 2);
  EXPECT_EQ(lines.count(QRXHOST_KIND_ERROR, "Invalid file handle"), 1);
}

// The update block's function set and held flag after each operation, for a file's and a cursor's.
TEST_F(OperationsTest, UpdateBlockStatesFollowTheirOperations) {
  auto state = [](KeyHandle u) {
    ky::Pin pin = ky::slot_pin(u.slot, ky::Kind::kUpdate);
    auto *b = pin.get<ky::UpdateBlock>();
    return std::make_pair(b->funcs.load() == &ky::updateFuncSet, int(b->held.load()));
  };
  for (bool through_cursor : {false, true}) {
    SCOPED_TRACE(through_cursor);
    const KeyHandle c = through_cursor ? cursor(f, QRXKY_KEY_HEAD, 0, true) : KeyHandle{};
    KeyHandle u{};
    auto read = [&](int32_t id) {
      return through_cursor ? ReadNextForUpdate(c, 0, buf, 32, &len, &u)
                            : ReadByKeyForUpdate(f, key(id).data(), 4, buf, 32, &len, &u);
    };
    ASSERT_EQ(read(10), 0);
    EXPECT_EQ(state(u), std::make_pair(true, 1));
    EXPECT_EQ(ReleaseHeldRecord(u), 0);
    EXPECT_EQ(state(u), std::make_pair(true, 1));
    EXPECT_EQ(UpdateHeldRecord(u, rec(10, "ten").data(), 32), 0);
    EXPECT_EQ(state(u), std::make_pair(false, 0));
    EXPECT_EQ(UpdateHeldRecord(u, rec(10).data(), 32), 2);
    ASSERT_EQ(read(20), 0);
    EXPECT_EQ(DeleteHeldRecord(u), 0);
    EXPECT_EQ(state(u), std::make_pair(true, 0));
    // The same handle still updates: the record the index now stands on, the one after the deleted.
    EXPECT_EQ(UpdateHeldRecord(u, rec(30, "thirty").data(), 32), 0);
    if (!through_cursor) {
      ASSERT_EQ(read(10), 0);
      EXPECT_EQ(read(99), 5);  // a failed read for update leaves the held flag as it was
      EXPECT_EQ(state(u), std::make_pair(true, 1));
    } else {
      ASSERT_EQ(read(0), 0);
      const std::string held(buf, 32);
      ASSERT_EQ(DeleteByKey(f, held.data(), 4), 0);
      EXPECT_NE(DeleteHeldRecord(u), 0);  // the record went through another handle: still held
      EXPECT_EQ(state(u), std::make_pair(true, 1));
      EXPECT_EQ(ReadNext(c, 0, buf, 32, &len), 0);  // the owner's next read lets it go
      EXPECT_EQ(state(u), std::make_pair(true, 0));
      EXPECT_EQ(AddRecord(f, held.data(), 4, held.data(), 32), 0);
    }
    EXPECT_EQ(AddRecord(f, key(20).data(), 4, rec(20, "n20").data(), 32), 0);
  }
  EXPECT_EQ(read_key(30) == 0 ? got() : "", rec(30, "thirty"));
  EXPECT_EQ(read_key(10) == 0 ? got() : "", rec(10, "ten"));
}

}  // namespace
}  // namespace keyedtest
