// Trace service: line format, sink, flags and generation; the environment (read once) in child processes.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "host/qrxhost.h"
#include "host/qrxtrace.h"
#include "support/test_util.h"

QRX_TRACE_UNIT();

namespace {

const std::string kBig(5000, 'k');  // longer than any fixed formatting buffer

[[maybe_unused]] const int kChildMode = [] {  // with QRX_HOST_TEST_CHILD set: write lines before main, exit
  if (!std::getenv("QRX_HOST_TEST_CHILD")) return 0;
  static TLG1_Unit unit = {"/src/deep/dir/child_unit.cc", 0u, 0u}, other = {"other.cc", 0u, 0u};
  TLG1_Printf(&unit, 101, "flags=%u gen=%u", TLG1_Flags(&unit), TLG1_Generation());
  setenv("QRX_TRACE_FLAGS", "7", 1);  // read at the first call only
  TLG1_Printf(&unit, 102, "later=%u", TLG1_Flags(&other));
  qrxtrerr(&unit, 10, "Unable to read block %d of %s", 7, "x.IDX");
  qrxtrnot(&unit, 11, 30, "Verify of %s failed", "x.IDX");
  TLG1_Event(&unit, 14, TLG1_EVENT_EXIT_VALUE, -42);
  TLG1_Printf(nullptr, 16, "<%s>", kBig.c_str());
  _exit(0);
}();

TEST(TraceEnvironment, FlagWordIsDecimalOrHexMalformedMeansNoneAndFileIsAppended) {
  qrx::test::TempDir dir;
  const std::string log = dir.file("trace.log"), self = std::filesystem::read_symlink("/proc/self/exe");
  const std::string head = "env QRX_HOST_TEST_CHILD=1 QRX_TRACE_FILE=" + log + " QRX_TRACE_FLAGS=";
  const std::string tail =
      "qrx child_unit.cc:10 ERROR Unable to read block 7 of x.IDX\nqrx child_unit.cc:11 "
      "NOTICE(30) Verify of x.IDX failed\nqrx child_unit.cc:14 EXIT -42\nqrx ?:16 DETAIL <" +
      kBig + ">\n";
  for (auto [text, flags] : {std::pair{"0x50", "80"}, {"16", "16"}, {"12abc", "0"}, {"-3", "0"}}) {
    qrx::test::write_file(log, "earlier line\n");
    ASSERT_EQ(std::system((head + text + " " + self).c_str()), 0);
    const std::string f = flags;
    EXPECT_EQ(qrx::test::read_file(log), "earlier line\nqrx child_unit.cc:101 DETAIL flags=" + f +
                                             " gen=1\nqrx child_unit.cc:102 DETAIL later=" + f + "\n" + tail);
  }
}

TEST(Trace, SinkFlagsAndGeneration) {
  TLG1_Unit unit = {"lib/cbt/some_file.cc", 0u, 0u};
  qrx::test::TraceCapture cap;
  TLG1_SetFlags(0);
  qrxtrnot(&unit, 21, 20, "note %s", "n");
  QRX_DETAIL("detail %d", 1);
  TLG1_SetFlags(TLG1_DETAIL);
  QRX_DETAIL("detail %d", 2);
  auto l = cap.lines();  // notices always go out, details only when asked
  EXPECT_TRUE(l.size() == 2 && l[0].file == "some_file.cc" && l[0].severity == 20 && l[0].text == "note n" &&
              l[1].text == "detail 2");
  const uint32_t gen = TLG1_Generation();
  EXPECT_EQ(TLG1_Flags(&unit), 16u);
  unit.flags = 0x1234;  // a unit current with the generation answers from its cache
  EXPECT_EQ(TLG1_Flags(&unit), 0x1234u);
  TLG1_SetFlags(16);  // the same word still moves the generation on
  EXPECT_EQ(TLG1_Generation(), gen + 1);
  EXPECT_EQ(TLG1_Flags(&unit), 16u);
  TLG1_SetFlags(0);
}

}  // namespace
