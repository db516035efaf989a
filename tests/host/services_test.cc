// One thread's use of the host services: exception frames, once-only steps and their misuse, memory,
// environment, sleep, the named-anchor registry, storage spaces, catalog messages, and the trace service
// (line format, sink, flags and generation; the environment, read once, in child processes).
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

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

TEST(Frames, GuardsNestAndFramesDropFromAnywhere) {
  XFR1_Chain *chain = XFR1_Thread();
  bool after = false, outer_finished = false;
  EXPECT_EQ(XFR1_Guard("f", 1, [&] { XFR1__Raise(chain, 0x0C0D), after = true; }), 0x0C0D);
  EXPECT_TRUE(!after && qrxerec(chain)->code == 0x0C0D);
  EXPECT_EQ(XFR1_Guard("f", 2, [] { throw std::runtime_error("x"); }), -1);
  int32_t inner = -100, outer = XFR1_Guard("f", 3, [&] {
                          inner = XFR1_Guard("f", 4, [&] { XFR1__Raise(chain, 8); });
                          if (XFR1_Guard("f", 5, [&] { XFR1__Raise(chain, 45); }) != 0)
                            XFR1__Raise(chain, qrxerec(chain)->code);
                          outer_finished = true;
                        });
  EXPECT_TRUE(inner == 8 && outer == 45 && !outer_finished && chain->top == nullptr);
  XFR1_Frame a, b, c;
  XFR1__PushFrame(chain, &a, "a", 1), XFR1__PushFrame(chain, &b, "b", 2), XFR1__PushFrame(chain, &c, "c", 3);
  XFR1__DropFrame(chain, &b, "drop", 4);
  EXPECT_EQ(c.prev, &a);
  XFR1__DropFrame(chain, &c, "drop", 5);
  qrx::test::TraceCapture cap;
  XFR1__DropFrame(chain, &b, "dropfile", 6);  // not on the chain: reported, chain untouched
  EXPECT_TRUE(chain->top == &a && cap.contains(QRXHOST_KIND_ERROR, "dropfile:6"));
  XFR1__DropFrame(chain, &a, "drop", 7);
  EXPECT_EQ(chain->top, nullptr);
}

TEST(FramesDeathTest, RaiseWithNoFrameAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(XFR1__Raise(XFR1_Thread(), 77), "ERROR condition 77 raised with no guard frame");
}

volatile int32_t g_self_word = 0, g_word = 0;
int32_t g_self_rc = 0, g_attempts = 0;
void asks_for_itself(void *) {
  g_self_rc = OSV1_InitializeOnce(&g_self_word, &asks_for_itself, nullptr, "self", 1);
}
void (*const kThrowsOnce)(void *) = [](void *) {
  if (++g_attempts == 1) throw std::runtime_error("first attempt fails");
};

TEST(Services, OnceMemoryEnvironmentSleepAndRegistry) {
  qrx::test::TraceCapture cap;
  EXPECT_EQ(OSV1_InitializeOnce(&g_self_word, &asks_for_itself, nullptr, "", 0), 0);
  for (int i = 0; i < 3; ++i)  // a failed step runs again
    EXPECT_EQ(OSV1_InitializeOnce(&g_word, kThrowsOnce, nullptr, "", 0) == 0, i > 0);
  EXPECT_TRUE(g_attempts == 2 && g_self_rc != 0 && cap.contains(QRXHOST_KIND_ERROR, "self:1"));
  void *p = nullptr, *made = nullptr, *found = nullptr;
  int32_t status = -7;
  ASSERT_EQ(OSV1_GetMem(300, &p, &status), 0);
  EXPECT_EQ(std::memcmp(p, std::string(300, '\0').data(), 300) + status, 0);
  EXPECT_TRUE(OSV1_FreeMem(p, &status) == 0 && OSV1_GetMem(8, nullptr, &status) != 0 && status != 0);
  setenv("QRX_HOST_TEST_VAR", "", 1);  // set but empty is still set
  EXPECT_STREQ(OSV1_GetEnv("QRX_HOST_TEST_VAR", "dflt"), "");
  EXPECT_STREQ(OSV1_GetEnv("QRX_HOST_TEST_UNSET", "dflt"), "dflt");
  qrx::test::FakeSleep fake;
  OSV1_Sleep(1), OSV1_Sleep(3);
  EXPECT_TRUE(fake.calls() == 2 && fake.seconds() == 4);
  RGY1_Name name{"TST1", 4, 4}, longer{"TST1x", 5, 5}, empty{"K", 0, 4}, over{"KEY1", 5, 4}, nul{0, 4, 4};
  ASSERT_EQ(RGY1_LocateCreateAnchor(&name, 40, &made, nullptr), RGY1_CREATED);
  EXPECT_TRUE(RGY1_LocateCreateAnchor(&name, 40, &found, nullptr) == RGY1_OK && found == made);
  EXPECT_EQ(RGY1_LocateAnchorAddress(&longer, &found, nullptr), RGY1_NOT_FOUND);
  EXPECT_TRUE(RGY1_ForgetAnchorAddress(&name, 0) == RGY1_OK &&
              RGY1_LocateAnchorAddress(&name, &found, 0) == RGY1_NOT_FOUND);
  OSV1_FreeMem(made, nullptr);
  for (const RGY1_Name *n : {&empty, &over, &nul, static_cast<RGY1_Name *>(nullptr)})
    EXPECT_TRUE(RGY1_LocateAnchorAddress(n, &found, 0) == RGY1_BAD_NAME &&
                RGY1_LocateCreateAnchor(n, 4, &found, 0) == RGY1_BAD_NAME);
}

TEST(Storage, AreasHeapsElementStatesAndStaleHandles) {
  HPM1_Handle storage{}, area{}, next{}, heap{};
  ASSERT_EQ(HPM1_GetStorageHandle(&storage, nullptr), HPM1_OK);
  EXPECT_EQ(HPM1_CreateArea(&storage, "INVERTED", 0, 16, 8, &area), HPM1_BAD_SIZE);
  EXPECT_EQ(HPM1_DestroySpace(&storage), HPM1_BAD_HANDLE);
  ASSERT_EQ(HPM1_CreateArea(&storage, "AREA", 0, 16, 16, &area), HPM1_OK);
  void *p = nullptr, *v = nullptr;
  ASSERT_EQ(HPM1_AllocateStorage(&area, 16, &p), HPM1_OK);
  EXPECT_EQ(HPM1_ElementState(&area, static_cast<char *>(p) + 1), HPM1_ELEMENT_NONE);
  std::memcpy(p, "KEYF", 4);
  ASSERT_EQ(HPM1_FreeStorage(&area, p), HPM1_OK);
  EXPECT_TRUE(HPM1_ElementState(&area, p) == HPM1_ELEMENT_FREE && !std::memcmp(p, "KEYF", 4));  // stale reads
  EXPECT_EQ(HPM1_FreeStorage(&area, p), HPM1_NOT_ELEMENT);
  EXPECT_TRUE(HPM1_AllocateStorage(&area, 16, &v) == HPM1_OK && v == p &&
              std::memcmp(p, "KEYF", 4));  // zeroed
  int32_t reason = -1;
  EXPECT_TRUE(HPM1_AllocateStorage(&area, 17, &v) == HPM1_BAD_SIZE && v == nullptr);
  EXPECT_TRUE(HPM1_DiagnoseSpace(&area, &reason) == HPM1_BAD_SIZE && HPM1_DestroySpace(&area) == HPM1_OK);
  ASSERT_EQ(HPM1_CreateArea(&storage, "NEXT", 0, 16, 16, &next), HPM1_OK);
  EXPECT_NE(next.word, area.word);  // ids of destroyed spaces are never reused
  EXPECT_TRUE(HPM1_ElementState(&area, p) == HPM1_ELEMENT_NONE &&
              HPM1_DestroySpace(&area) == HPM1_BAD_HANDLE);
  EXPECT_TRUE(HPM1_AllocateStorage(&area, 16, &v) == HPM1_BAD_HANDLE && HPM1_DestroySpace(&next) == HPM1_OK);
  ASSERT_EQ(HPM1_CreateHeap(&storage, "HEAP", 0, 5000, &heap), HPM1_OK);
  for (uint32_t size : {7u, 70000u, 1u})
    EXPECT_TRUE(HPM1_AllocateStorage(&heap, size, &v) == HPM1_OK && std::memset(v, 0x5A, size));
  EXPECT_TRUE(HPM1_FreeStorage(&heap, v) == HPM1_OK && HPM1_FreeStorage(&heap, v) == HPM1_NOT_ELEMENT);
  EXPECT_EQ(HPM1_DestroySpace(&heap), HPM1_OK);  // the leak checker would report what is left
}

TEST(Messages, BuiltInCatalogRefusedCallsAndTheMessageDirectory) {
  QRXMS_Catalog *h = nullptr;
  ASSERT_EQ(qrxmsom("QRXMSENU", 8, &h), QRXMS_OK);
  qrx::test::TraceCapture cap;
  const char *file[] = {"/data/CUST.IDX"};
  const std::string ids[] = {"QRX0001", "QRX0002", "QRX0003", "QRX0101"};
  for (const auto &id : ids) EXPECT_EQ(qrxmswm(h, id.c_str(), 1, file), QRXMS_OK) << id;
  EXPECT_EQ(qrxmswm(h, "QRX000", 0, nullptr), QRXMS_UNKNOWN_ID);  // a prefix is not the id
  EXPECT_EQ(qrxmswm(h, "QRX0001", 1, nullptr), QRXMS_BAD_ARGUMENT);
  ASSERT_EQ(qrxmscm(h), QRXMS_OK);
  EXPECT_TRUE(qrxmswm(h, "QRX0001", 1, file) == QRXMS_BAD_ARGUMENT && qrxmscm(h) == QRXMS_BAD_ARGUMENT);
  EXPECT_TRUE(qrxmsom("QRXMSENU", 7, &h) == QRXMS_NOT_FOUND &&
              qrxmsom("../QRXMSENU", 11, &h) == QRXMS_BAD_ARGUMENT);
  auto l = cap.lines();
  for (size_t i = 0; i < 4; ++i)  // refused calls write nothing
    EXPECT_TRUE(l.size() == 4 && l[i].kind == QRXHOST_KIND_MESSAGE && l[i].text.starts_with(ids[i] + " ") &&
                l[i].text.find(file[0]) != std::string::npos);
  qrx::test::TempDir dir;  // a catalog file in the message directory replaces the built-in copy
  qrx::test::write_file(dir.file("QRXMSENU"),
                        "# operator texts\r\n\r\nQRX0002   first %1, second %2, third %3, again %1 100%\r\n"
                        "QRX0002 duplicate ids keep their first text\nQRX0005\n");
  setenv("QRX_MSGDIR", dir.path().c_str(), 1);
  ASSERT_EQ(qrxmsom("QRXMSENU", 8, &h), QRXMS_OK);
  cap.clear();
  const char *inserts[] = {"one", nullptr};
  EXPECT_TRUE(qrxmswm(h, "QRX0002", 2, inserts) == QRXMS_OK && qrxmswm(h, "QRX0005", 0, nullptr) == QRXMS_OK);
  EXPECT_EQ(qrxmswm(h, "QRX0001", 1, inserts), QRXMS_UNKNOWN_ID);
  l = cap.lines();
  EXPECT_TRUE(l.size() == 2 && l[0].text == "QRX0002 first one, second , third %3, again one 100%" &&
              l[0].line == 3 && l[1].text == "QRX0005");
  qrxmscm(h), unsetenv("QRX_MSGDIR");
}

}  // namespace
