// A valid multi-level index built by cbinsert is damaged at random (bytes of any value; header, directory
// and control words set to plausible block numbers, counts and offsets, so that damage passes the structure
// check and bends links), then opened, walked, searched, changed, verified and dumped. Every operation
// must come back without a crash, a read outside a block (ASan/UBSan) or a hang (an alarm ends the run),
// and a failure must carry an error code that says why. QRX_TEST_SEED fixes the seed.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

void on_alarm(int) {
  const char msg[] = "damage_fuzz_test: an iteration hung\n";
  (void)!write(2, msg, sizeof msg - 1);
  _exit(3);
}

TEST(DamageFuzzTest, OperationsOnDamagedFilesEndWithoutCrashOrHang) {
  ASSERT_EQ(cbinit(64, 4096), 1);
  signal(SIGALRM, on_alarm);
  TempDir dir;
  Rng rng(20240611);
  QRX_TRACE_SEED(rng);
  const std::string base = dir.file("base.idx");
  std::vector<KeyItem> keys;
  cbt_tree *t = cbcreate(base.c_str(), nullptr, 512);
  for (uint32_t i = 0; keys.size() < 2500; ++i) {
    KeyItem e{rng.text(static_cast<size_t>(rng.range(1, 40))), i};
    if (cbinsert(t, e.key.data(), static_cast<uint32_t>(e.key.size()), e.item, 1) == 1) keys.push_back(e);
  }
  ASSERT_GE(cbdepth(t), 3);
  ASSERT_EQ(cbclose(t), 1);
  const std::vector<uint8_t> bytes = read_file_bytes(base);
  const int32_t high = read_ctl(base).highblock;
  int opened = 0, failed_verify = 0;
  auto check = [&](const char *op, int32_t r) {  // block I/O 6..9, positions and keys 16..21
    const uint32_t e = *qrxcbecd();
    if (r == -1) {
      EXPECT_TRUE((e >= 6 && e <= 9) || (e >= 16 && e <= 21)) << op << " error " << e;
    }
  };
  for (int it = 0; it < 200; ++it) {
    SCOPED_TRACE("iteration " + std::to_string(it));
    alarm(60);
    const std::string path =
        dir.file("d" + std::to_string(it) + ".idx");  // a handle left open keeps its name
    write_file(path, std::string(bytes.begin(), bytes.end()));
    for (int d = 0, n = it % 10 == 0 ? 0 : static_cast<int>(rng.range(1, 6)); d < n; ++d) {
      const auto blk = static_cast<int32_t>(rng.range(1, high));
      const uint64_t kind = rng.below(3);
      if (kind == 0) {
        patch_bytes(path, blk, static_cast<uint32_t>(rng.below(510)),
                    {uint8_t(rng.next()), uint8_t(rng.next())});
      } else if (kind == 1) {  // a header word or a directory word of one of the first entries
        const int32_t values[] = {static_cast<int32_t>(rng.range(-2, high + 3)),
                                  static_cast<int32_t>(rng.range(-4, 516))};
        patch_i32(path, blk, static_cast<uint32_t>(rng.below(20 + 16 * 8)) & ~3u, values[rng.below(2)]);
      } else {
        CtlFields c = read_ctl(path);
        int32_t *fields[] = {&c.root, &c.lowleaf, &c.highleaf, &c.freechain, &c.depth, &c.highblock};
        *fields[rng.below(6)] = static_cast<int32_t>(rng.range(-1, high + 2));
        write_ctl(path, c);
      }
    }
    TraceCapture quiet;
    t = cbopen(path.c_str(), 2, nullptr);
    if (t == nullptr) continue;
    ++opened;
    if (it % 10 == 0) {
      EXPECT_EQ(qrxcbver(t), 1);  // the harness sees a sound file as sound
    }
    uint32_t item = 0;
    int32_t r = cbhead(t, &item);
    for (size_t n = 0; r == 1 && n < keys.size() + 50; ++n) r = cbnext(t, &item);
    check("cbnext", r);
    r = cbtail(t, &item);
    for (size_t n = 0; r == 1 && n < keys.size() + 50; ++n) r = cbprev(t, &item);
    check("cbprev", r);
    for (int i = 0; i < 60; ++i) {
      const KeyItem &k = keys[rng.below(keys.size())];
      const auto len = static_cast<uint32_t>(k.key.size());
      const std::string other = rng.text(static_cast<size_t>(rng.range(1, 60)));
      uint32_t want = k.item;
      char buf[64];
      switch (i % 6) {
        case 0:
          check("cbfind", cbfind(t, k.key.data(), len, &item));
          break;
        case 1:
          check("cbfinditem", cbfinditem(t, k.key.data(), len, &want));
          break;
        case 2:
          check("cbkey", cbkey(t, buf, sizeof buf));
          break;
        case 3:
          check("cbinsert", cbinsert(t, other.data(), static_cast<uint32_t>(other.size()), rng.item(), 1));
          break;
        case 4:
          check("cbdelete", cbdelete(t, k.key.data(), len, k.item));
          break;
        default:
          check("cbmodify", cbmodify(t, k.key.data(), len, k.item, other.data(),
                                     static_cast<uint32_t>(other.size()), k.item, 1));
      }
    }
    check("cbmark", cbmark(t));
    check("cbfindmark", cbfindmark(t, &item));
    failed_verify += qrxcbver(t) == -1;
    FILE *null = std::fopen("/dev/null", "w");
    qrxcbdmp(t, 0, null);
    qrxcbdmp(t, 1, null);
    std::fclose(null);
    cbclose(t);
    alarm(0);
  }
  EXPECT_GT(opened, 100);
  EXPECT_GT(failed_verify, 0);  // the damage mattered
  cbexit();
}

}  // namespace
}  // namespace qrx::test
