// The keyed-file service's frame: the anchor's life, the tables and function sets, handle checks, counters
// and conditions raised inside operations.
#include <random>

#include "keyed_fixture.h"

namespace keyedtest {
namespace {

namespace ky = qrx::keyed;

using FrameTest = KeyedTest;

ky::KeyServiceAnchor *anchor() {
  ky::KeyServiceAnchor *a = nullptr;
  return ky::locate_anchor(&a) == 0 ? a : nullptr;
}

TEST_F(FrameTest, AnchorIsMadeOnceDroppedByTerminateAndMadeAgain) {
  EXPECT_EQ(Terminate(), RGY1_NOT_FOUND);  // nothing to drop: the lookup's status
  EXPECT_EQ(Initialize(), 0);
  ky::KeyServiceAnchor *first = anchor();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(std::string(first->eye, 8), "KEY1KSAB");
  EXPECT_EQ(Initialize(), 0);
  EXPECT_EQ(anchor(), first);
  EXPECT_EQ(Terminate(), 0);
  EXPECT_EQ(anchor(), nullptr);
  EXPECT_EQ(Terminate(), RGY1_NOT_FOUND);
  EXPECT_EQ(qrxkyini(), 0);
  EXPECT_NE(anchor(), nullptr);
  EXPECT_EQ(qrxkyqfs(0), 1);
}

TEST_F(FrameTest, FailureAtEachAnchorStepLeavesNoAnchorAndNoArea) {
  const struct {
    ky::AnchorStep step;
    int32_t status;
    bool file_area, cursor_area;  // made before the failure, so destroyed again by it
  } cases[] = {{ky::AnchorStep::kStorage, 7, false, false},
               {ky::AnchorStep::kCreate, RGY1_NO_MEMORY, false, false},
               {ky::AnchorStep::kFileArea, HPM1_NO_MEMORY, false, false},
               {ky::AnchorStep::kCursorArea, HPM1_NO_MEMORY, true, false},
               {ky::AnchorStep::kFill, 8, true, true}};
  for (const auto &c : cases) {
    SCOPED_TRACE(static_cast<int>(c.step));
    ky::anchor_fault_arm(c.step);
    EXPECT_EQ(Initialize(), c.status);
    EXPECT_EQ(anchor(), nullptr);
    HPM1_Handle areas[2];
    ky::anchor_last_areas(&areas[0], &areas[1]);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(areas[i].word != 0, i == 0 ? c.file_area : c.cursor_area);
      void *p = nullptr;
      EXPECT_TRUE(areas[i].word == 0 || HPM1_AllocateStorage(&areas[i], 8, &p) == HPM1_BAD_HANDLE);
    }
    EXPECT_EQ(Initialize(), 0);  // the fault fires once: the next creation is whole
    EXPECT_EQ(Terminate(), 0);
  }
}

// Every slot of every function set: the operation of its kind of block that it must reach, or a refusal.
TEST_F(FrameTest, FunctionSetsHoldTheirOperationsAndRefuseTheRest) {
  using V = void *;
  // All 22 slots of a set: 12 base, 8 update, 2 asynch.
  auto slots = [](const qrxky_func_set &s) {
    const qrxky_base_table &b = *s.base;
    const qrxky_update_table &u = *s.update;
    // clang-format off
    return std::vector<V>{V(b.OpenKeyedFile), V(b.OpenCursor), V(b.ReadNext), V(b.CloseCursor), V(b.ReadByKey),
        V(b.AddRecord), V(b.CloseFile), V(b.RepositionCursor), V(b.GetReason), V(b.QueryKey), V(b.QueryRecLen),
        V(b.FlushFile), V(u.UpdateByKey), V(u.DeleteByKey), V(u.ReadByKeyForUpdate), V(u.UpdateHeldRecord),
        V(u.DeleteHeldRecord), V(u.ReleaseHeldRecord), V(u.OpenUpdateCursor), V(u.ReadNextForUpdate),
        V(s.asynch->SetAccessMode), V(s.asynch->CheckAsynch)};
  };
  // The operation each slot holds when a block of that kind allows it.
  const std::vector<V> file = {V(qrxkyof), V(qrxkyoc), 0, 0, V(qrxkyrbk), V(qrxkyar), V(qrxkycf), 0, V(qrxkygrf),
      V(qrxkyqkf), V(qrxkyqmf), V(FlushFile), V(qrxkyubk), V(qrxkydbk), V(qrxkyrfu), 0, 0, 0, V(qrxkyssu), 0,
      V(qrxkysaf), V(qrxkycaf)};
  const std::vector<V> cursor = {0, 0, V(qrxkyrn), V(qrxkycc), 0, 0, 0, V(qrxkyrc), V(qrxkygrc), V(qrxkyqkc),
      V(qrxkyqmc), 0, 0, 0, 0, 0, 0, 0, 0, V(qrxkyrnu), V(qrxkysac), V(qrxkycac)};
  const std::vector<V> update = {0, 0, 0, 0, 0, 0, 0, 0, V(qrxkygru), V(qrxkyqku), V(qrxkyqmu), 0, 0, 0, 0,
      V(qrxkyuhr), V(qrxkydhr), V(qrxkyrhr), 0, 0, V(qrxkysau), V(qrxkycau)};
  // clang-format on
  const struct {
    const qrxky_func_set *set;
    const std::vector<V> &kind;
    const char *allowed;  // per slot: 1 holds the kind's operation, 0 refuses
  } sets[] = {{&ky::fileUpdateFuncSet, file, "1100111011111110001011"},
              {&ky::fileInputFuncSet, file, "1100101011100000000011"},
              {&ky::cursorFuncSet, cursor, "0011000111100000000011"},
              {&ky::cursorUpdateFuncSet, cursor, "0011000111100000000111"},
              {&ky::cursorNoPosFuncSet, cursor, "0001000111100000000011"},
              {&ky::updateInvalidFuncSet, update, "0000000011100000000011"},
              {&ky::updateFuncSet, update, "0000000011100001110011"}};
  std::vector<V> every_op = file;
  every_op.insert(every_op.end(), cursor.begin(), cursor.end());
  every_op.insert(every_op.end(), update.begin(), update.end());
  std::erase(every_op, nullptr);
  for (const auto &c : sets) {
    const std::vector<V> got = slots(*c.set);
    EXPECT_EQ(c.set->reserved, nullptr);
    for (size_t slot = 0; slot < got.size(); ++slot) {
      if (c.allowed[slot] == '1') {
        EXPECT_EQ(got[slot], c.kind[slot]) << c.allowed << " slot " << slot;
      } else {
        EXPECT_EQ(std::count(every_op.begin(), every_op.end(), got[slot]), 0)
            << c.allowed << " slot " << slot;
      }
    }
    // Refusals answer 2 through their own types and touch nothing (null arguments would crash them).
    const KeyHandle h{1, 0, 1};
    EXPECT_TRUE(c.allowed[0] == '1' || c.set->base->OpenKeyedFile(nullptr, 0, 0, nullptr, nullptr) == 2);
    EXPECT_TRUE(c.allowed[15] == '1' || c.set->update->UpdateHeldRecord(h, nullptr, 0) == 2);
  }
  const qrxky_func_set *dead = qrxkygfs(KeyHandle{0, 0, 0});
  EXPECT_EQ(dead->base->GetReason(KeyHandle{}, nullptr), 2);
  EXPECT_EQ(dead->asynch->CheckAsynch(KeyHandle{}), 2);
}

// Every entry point that takes a handle, called with h: the statuses.
std::vector<int32_t> every_entry(KeyHandle h) {
  char buf[64] = {};
  int32_t len = 0;
  uint32_t a = 0, b = 0;
  KeyHandle out{};
  const std::string k = key(1), r = rec(1);
  // clang-format off
  return {OpenCursor(h, QRXKY_KEY_HEAD, 0, &out), ReadNext(h, 0, buf, 64, &len), RepositionCursor(h, QRXKY_KEY_HEAD, 0),
          ReadByKey(h, k.data(), 4, buf, 64, &len), AddRecord(h, k.data(), 4, r.data(), 32), FlushFile(h),
          OpenUpdateCursor(h, QRXKY_KEY_HEAD, 0, &out), ReadNextForUpdate(h, 0, buf, 64, &len, &out),
          ReadByKeyForUpdate(h, k.data(), 4, buf, 64, &len, &out), UpdateHeldRecord(h, r.data(), 32),
          DeleteHeldRecord(h), ReleaseHeldRecord(h), UpdateByKey(h, k.data(), 4, r.data(), 32),
          DeleteByKey(h, k.data(), 4), SetAccessMode(h, 1), CheckAsynch(h), GetReason(h, &a), QueryKey(h, &a, &b),
          QueryRecLen(h, &a), qrxkysaf(h, 0), qrxkysac(h, 0), qrxkysau(h, 0), qrxkycaf(h), qrxkycac(h), qrxkycau(h),
          qrxkygrf(h, &a), qrxkygrc(h, &a), qrxkygru(h, &a), qrxkyqkf(h, &a, &b), qrxkyqkc(h, &a, &b),
          qrxkyqku(h, &a, &b), qrxkyqmf(h, &a), qrxkyqmc(h, &a), qrxkyqmu(h, &a), CloseCursor(h, &a), CloseFile(h, &a)};
  // clang-format on
}

TEST_F(FrameTest, DeadForgedAndWrongKindHandlesGiveTwoEverywhere) {
  const std::string db = sample("F", {1, 2, 3});
  const KeyHandle f = open(db);
  const KeyHandle c = cursor(f);
  KeyHandle u{};
  char buf[32];
  int32_t len = 0;
  ASSERT_EQ(ReadByKeyForUpdate(f, key(2).data(), 4, buf, 32, &len, &u), 0);
  const auto all_two = [](KeyHandle h) {
    const auto got = every_entry(h);
    return std::count(got.begin(), got.end(), 2) == std::ptrdiff_t(got.size());
  };
  // Wrong kinds: each block refuses the operations of the other kinds.
  uint32_t reason = 0;
  EXPECT_EQ(
      (std::vector<int32_t>{ReadNext(f, 0, buf, 32, &len), ReadByKey(c, key(2).data(), 4, buf, 32, &len),
                            AddRecord(u, key(9).data(), 4, rec(9).data(), 32), CloseFile(u, &reason),
                            CloseCursor(f, &reason), qrxkygrc(f, &reason), qrxkycau(c)}),
      std::vector<int32_t>(7, 2));
  EXPECT_EQ(CloseFile(c, nullptr), 1);  // a null reason pointer is refused before anything
  // Forged: random bytes, never followed.
  std::mt19937 rng(7);
  for (int i = 0; i < 200; ++i) {
    KeyHandle h;
    uint64_t bits = (uint64_t(rng()) << 32) | rng();
    std::memcpy(&h, &bits, 8);
    if (h.slot == f.slot || h.slot == c.slot || h.slot == u.slot) continue;
    ASSERT_TRUE(all_two(h)) << std::hex << bits;
  }
  // A right slot with a wrong seq.
  EXPECT_TRUE(all_two(KeyHandle{int16_t(f.seq + 1), 0, f.slot}));
  // Closed: the file takes its cursor and both update blocks with it.
  ASSERT_EQ(CloseFile(f, &reason), 0);
  for (KeyHandle h : {f, c, u}) EXPECT_TRUE(all_two(h));
  // Across Terminate, where the new anchor issues the same seq again.
  EXPECT_EQ(Terminate(), 0);
  const KeyHandle f2 = open(db);
  EXPECT_EQ(Terminate(), 0);
  const KeyHandle f3 = open(db);
  EXPECT_EQ(f3.seq, f2.seq);
  EXPECT_TRUE(all_two(f2));
  EXPECT_EQ(QueryRecLen(f3, &reason), 0);
  EXPECT_EQ(reason, 32u);
}

TEST_F(FrameTest, CountersWrapAndSkipTheClosedMarker) {
  const std::string db = sample("W", {5});
  ASSERT_EQ(Initialize(), 0);
  anchor()->file_counter = 0xFFFD;
  const KeyHandle f1 = open(db), f2 = open(db);
  EXPECT_EQ(f1.seq, -2);
  EXPECT_EQ(f2.seq, 0);  // -1 is never issued
  ky::slot_pin(f2.slot, ky::Kind::kFile).get<ky::FileControlBlock>()->cursor_counter = 0xFFFE;
  const KeyHandle c = cursor(f2), c1 = cursor(f1);
  EXPECT_EQ(c.seq, 0);
  EXPECT_EQ(next(c), rec(5, "n5", 2.5));
  EXPECT_EQ(next(c1), rec(5, "n5", 2.5));  // both files usable
}

TEST_F(FrameTest, ConditionsGiveTheirStatusAndFreeTheLock) {
  const KeyHandle f = open(sample("C", {1}));
  char buf[32];
  int32_t len = 0;
  uint32_t reason = 0;
  tb::TraceCapture lines;
  qrx::keyed::raise_arm(qrx::keyed::RaisePoint::kWork, 1);
  EXPECT_EQ(ReadByKey(f, key(1).data(), 4, buf, 32, &len), 8);
  EXPECT_EQ(GetReason(f, &reason), 0);
  EXPECT_EQ(reason, 20u);
  EXPECT_EQ(lines.count(QRXHOST_KIND_ERROR, "Abnormal condition detected"), 1);
  EXPECT_EQ(ReadByKey(f, key(1).data(), 4, buf, 32, &len), 0);  // the lock was given back
  qrx::keyed::raise_arm(qrx::keyed::RaisePoint::kCheck, 1);
  EXPECT_EQ(ReadByKey(f, key(1).data(), 4, buf, 32, &len), 2);
  EXPECT_EQ(AddRecord(f, key(2).data(), 4, rec(2).data(), 32), 0);
}

}  // namespace
}  // namespace keyedtest
