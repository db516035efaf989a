// The message catalog: its edge cases, open counting, handle checks, bounded builds, the formatter held
// against snprintf, terminate and the current messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "msg/catalog.h"
#include "msg/format.h"

namespace {

const std::string kLong(300, 'L');
const qrxm_entry kT1[] = {{"file %s missing", 15, 3}, {"abc", 10, 0}, {"neg", -3, 0}, {"trunc", 2, 0}, {}};
const qrxm_entry kT2[] = {{"two", 3, 9}, {"%300d", 5, 0}, {kLong.c_str(), 300, 0}, {}};
const qrxm_entry *t1 = kT1, *t2 = kT2;

struct Catalog : testing::Test {
  void SetUp() override { qrxm1te(); }
  static qrxm_handle open(const char *name, const qrxm_entry *const *t, int32_t want = 0, int32_t mode = 0) {
    qrxm_handle h{};
    EXPECT_EQ(qrxm1om(name, t, mode, "DEF", &h), want) << name;
    return h;
  }
  static bool has_component(const char *name) {
    std::lock_guard<std::mutex> g(qrx::msg::family_mutex());
    int32_t st = 0;
    return qrx::msg::find_anchor(&st) && qrx::msg::find_component(qrx::msg::find_anchor(&st), name);
  }
  static std::string built(qrxm_handle h, const char *number, int32_t want = 0, uint16_t max = 255) {
    char buf[256] = {};
    qrxm_desc d{buf, max, 999};
    EXPECT_EQ(qrxm1bm(h, number, &d, nullptr), want) << number;
    EXPECT_EQ(buf[d.length == 999 ? 0 : d.length], '\0');  // nothing written past the length
    return d.length == 999 ? "untouched" : std::string(buf, d.length);
  }
};

TEST_F(Catalog, EdgeCasesAndOpenCounting) {
  EXPECT_EQ(qrxm1te(), QRXM_NOT_FOUND);
  open("COMPONEA", &t1, QRXM_NO_ANCHOR);
  EXPECT_TRUE(qrxm1in("ABCX") == 0 && qrxm1in("QQQ") == QRXM_INITIALISED);
  const qrxm_handle h = open("COMPONEA", &t1), again = open("COMPONEA", &t1);
  EXPECT_EQ(std::memcmp(&h, &again, sizeof h), 0);
  open("COMPONEB", &t1, QRXM_INVALID, 3);
  EXPECT_FALSE(has_component("COMPONEB"));
  open("COMPONEA", &t2, QRXM_INVALID, -1);  // undone, but the component keeps its other open
  open("COMPONEA", &t1, 0, 7);              // a reopen does not look at the mode
  const uintptr_t x[QRXM_INSERTS] = {reinterpret_cast<uintptr_t>("x")};
  testing::internal::CaptureStdout();
  EXPECT_EQ(qrxm1wf(h, "0", x), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ABCDEFfile x missing\n");
  char buf[8] = {};
  qrxm_desc d{buf, 4, 0};
  EXPECT_TRUE(qrxm2sc(h, "0") == 0 && qrxm2gc("COMPONEA", &d) == 0 && std::string(buf, d.length) == "ABCD");
  EXPECT_EQ(qrxm2gc("COMPONEA", &d), QRXM_NOT_FOUND);
  EXPECT_EQ(qrxm1cm(h) + qrxm1cm(again), 0);
  EXPECT_EQ(built(h, "1"), "ABCDEFabc");  // two closes of three opens: still open
  EXPECT_TRUE(qrxm1cm(h) == 0 && qrxm1cm(h) == QRXM_BAD_HANDLE);
  EXPECT_FALSE(has_component("COMPONEA"));
}

TEST_F(Catalog, DeadHandlesAndTerminate) {
  ASSERT_EQ(qrxm1in("ABC"), 0);
  const qrxm_handle h = open("COMPONEA", &t1), closed = open("COMPONEB", &t2);
  ASSERT_EQ(qrxm1cm(closed), 0);
  const qrxm_handle dead[] = {closed, {uint16_t(h.seq + 1), 0, h.slot}, {h.seq, 1, h.slot}, {h.seq, 0, 0}};
  qrxm_desc d{nullptr, 0, 0};
  auto bad = [](int32_t st) { return st == QRXM_BAD_HANDLE; };
  for (const qrxm_handle &x : dead)
    EXPECT_TRUE(bad(qrxm1cm(x)) && bad(qrxm1sd(x, 0)) && bad(qrxm1bm(x, "0", &d, nullptr)) &&
                bad(qrxm1wm(x, "0")) && bad(qrxm1wf(x, "0", nullptr)) && bad(qrxm2sc(x, "0")) &&
                bad(qrxm2cc(x)));
  EXPECT_EQ(qrxm1sd(h, 3), QRXM_INVALID);
  const uint32_t live = qrx::keyed::slot_live_count();
  for (int i = 0; i < 3; ++i) open("COMPONEA", &t1), open("COMPONEB", &t2), open("COMPONEC", &t1);
  open("COMPONEA", &t2);
  EXPECT_EQ(qrx::keyed::slot_live_count(), live + 3);  // B, C and A over t2 are new; h is counted 4 times
  EXPECT_EQ(qrxm1te(), 0);
  EXPECT_EQ(qrx::keyed::slot_live_count(), live - 1);
  open("COMPONEA", &t1, QRXM_NO_ANCHOR);
  ASSERT_EQ(qrxm1in("ABC"), 0);
  EXPECT_EQ(open("COMPONEA", &t1).seq, h.seq);  // numbering starts again with a new anchor, slots do not
  EXPECT_EQ(qrxm1cm(h), QRXM_BAD_HANDLE);
}

TEST_F(Catalog, BuildsStayInsideTheTableAndTheDescriptor) {
  ASSERT_EQ(qrxm1in("ABC"), 0);
  const qrxm_handle h = open("COMPONEA", &t1), h2 = open("COMPONEA", &t2);
  for (const char *n : {"-1", "4", "99999999999999999999", "-99999999999999999999"})
    EXPECT_EQ(built(h, n, QRXM_NOT_FOUND), "untouched");
  EXPECT_EQ(built(h2, " +2"), "ABCDEF" + kLong.substr(0, 249));
  qrxm_handle bare{};
  ASSERT_EQ(qrxm1om("COMPONES", &t2, 0, "", &bare), 0);
  EXPECT_EQ(built(bare, "2"), "ABC" + kLong.substr(0, 249));  // 249 of the text even with room for more
  EXPECT_EQ(built(h, "1") + built(h, "2") + built(h, "3"), "ABCDEFabcABCDEFABCDEFtr");  // declared 10, -3, 2
  EXPECT_EQ(built(h, "0", 0, 4), "ABCD");
  uint16_t attr = 0;
  qrxm_desc d{nullptr, 0, 9};
  EXPECT_TRUE(qrxm1bm(h, "0", &d, &attr) == 0 && d.length == 0 && attr == 3);
  testing::internal::CaptureStdout();
  EXPECT_EQ(qrxm1wm(h2, "3"), QRXM_NOT_FOUND);
  EXPECT_EQ(qrxm1wf(h2, "1", nullptr), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ABCDEF" + std::string(249, ' ') + "\n");
}

std::string mine(const std::string &f, const uintptr_t *w) {
  char out[255];
  return std::string(out, qrx::msg::format_inserts(f.data(), f.size(), w, QRXM_INSERTS, out, sizeof out));
}

template <class T>
std::string ref(const std::string &f, T v) {
  char b[600];
  std::snprintf(b, sizeof b, f.c_str(), v);
  return std::string(b).substr(0, 255);
}

TEST(CatalogFormat, AgreesWithSnprintfAndWritesTheRestAsText) {
  const uintptr_t values[] = {0, 1, 42, ~0ul, 0xffffffff80000000, 0x7fffffff, 0xdeadbeef, 0x123456789abcdef0};
  const std::string widths[] = {"", "1", "9", "300"}, precs[] = {"", ".0", ".3", ".15"};
  // Each length with the signed and unsigned types snprintf reads for it.
  auto each_length = [&](const std::string &len, auto s, auto u) {
    for (char c : std::string("diuxXo"))
      for (std::string fl : {"", "-", "0", "-0", "+", " ", "+0", " 0", "+ ", "#", "#0", "-#"}) {
        const bool sign = c == 'd' || c == 'i';
        if (fl.find_first_of(sign ? "#" : c == 'u' ? "+ #" : "+ ") != std::string::npos) continue;
        for (const auto &w : widths)
          for (const auto &p : precs)
            for (uintptr_t v : values) {
              const std::string f = "<%" + fl + w + p + len + c + ">";
              ASSERT_EQ(mine(f, &v), sign ? ref(f, decltype(s)(v)) : ref(f, decltype(u)(v))) << f << " " << v;
            }
      }
  };
  each_length("", int32_t(), uint32_t());  // 32 bits of the word
  each_length("l", long(), 0ul);
  each_length("ll", 0ll, 0ull);
  each_length("z", ptrdiff_t(), size_t());
  const uintptr_t words[] = {'A', reinterpret_cast<uintptr_t>("hello"), 0, 0x1234, ~0ul << 4};
  for (std::string fl : {"", "-"})
    for (const auto &w : widths) {
      const std::string c = "%" + fl + w + "c", p = "%" + fl + w + "p";
      EXPECT_EQ(mine(c, words), ref(c, 'A')) << c;
      for (int i = 2; i < 5; ++i)
        EXPECT_EQ(mine(p, words + i), ref(p, reinterpret_cast<void *>(words[i]))) << p;
      for (const auto &pr : precs)
        EXPECT_EQ(mine("%" + fl + w + pr + "s", words + 1), ref("%" + fl + w + pr + "s", "hello"));
    }
  // What it does not convert is written as it stands.
  const uintptr_t w[QRXM_INSERTS] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(mine("a%nb%d%%%d", w), "a%nb0%1");
  EXPECT_EQ(mine("%d%d%d%d%d%d%d%d%d%d|%d|%5s", w), "0123456789|%d|%5s");
  EXPECT_EQ(mine("%f %ls %hd %5", w), "%f %ls %hd %5");
  const uintptr_t none[QRXM_INSERTS] = {};
  EXPECT_EQ(mine("[%s][%8s]", none), "[(null)][  (null)]");
  const uintptr_t two[] = {reinterpret_cast<uintptr_t>(kLong.c_str()), reinterpret_cast<uintptr_t>("tail")};
  EXPECT_EQ(mine("%s%s", two), kLong.substr(0, 255));
}

TEST_F(Catalog, CurrentMessagesComeFromTheFirstOpenWithACode) {
  ASSERT_EQ(qrxm1in("ABC"), 0);
  const qrxm_handle older = open("COMPONEA", &t1), newer = open("COMPONEA", &t2);
  char buf[255];
  qrxm_desc d{buf, 255, 0};
  EXPECT_EQ(qrxm2gc("COMPONEZ", &d), QRXM_NOT_FOUND);
  EXPECT_EQ(qrxm2sc(older, "3") + qrxm2sc(newer, "0000000"), 0);  // codes keep 6 characters
  testing::internal::CaptureStdout();
  EXPECT_TRUE(qrxm2wm("COMPONEA") == 0 && qrxm2wm("COMPONEA") == 0 && qrxm2wm("COMPONEA") == QRXM_NOT_FOUND);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ABCDEFtwo\nABCDEFtr\n");  // the most recent open first
  EXPECT_EQ(qrxm2sc(newer, "7") + qrxm2sc(older, "1"), 0);
  EXPECT_EQ(qrxm2gc("COMPONEA", &d), QRXM_NOT_FOUND);  // newer's code names no message: used up all the same
  EXPECT_TRUE(qrxm2gc("COMPONEA", &d) == 0 && std::string(buf, d.length) == "ABCDEFabc");
  EXPECT_TRUE(qrxm2sc(older, "1") == 0 && qrxm2cc(older) == 0);
  EXPECT_EQ(qrxm2gc("COMPONEA", &d), QRXM_NOT_FOUND);
}

}  // namespace
