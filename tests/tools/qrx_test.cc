// The qrx tool, run as a program on files made here: its statistics agree with the test kit's own
// reading of the file, verify's exit status and dump file, dump's output equals the library's dump,
// damaged and missing files give a failure status quickly, and the demonstration succeeds. The binary is
// looked for beside this test program (both are built into the same directory); without it the tests
// are skipped.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "qrxcb.h"
#include "support/test_util.h"
#include "support/tree_builder.h"
#include "support/tree_checker.h"
#include "support/tree_model.h"

namespace qrx::test {
namespace {

std::string qrx_binary() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "";
  const std::filesystem::path bin = self.parent_path() / "qrx";
  return std::filesystem::exists(bin) ? bin.string() : "";
}

struct ToolRun {
  int status = -1;  // exit status
  std::string out;  // standard output
};

// Runs qrx with the arguments (each quoted), standard error discarded.
ToolRun qrx(const std::vector<std::string> &args) {
  std::string cmd = "'" + qrx_binary() + "'";
  for (const std::string &a : args) cmd += " '" + a + "'";
  cmd += " 2>/dev/null";
  ToolRun r;
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int w = pclose(p);
  r.status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
  return r;
}

// The value after "name" on the line of the stat table that starts with it.
std::string stat_value(const std::string &out, const std::string &name) {
  const std::string text = "\n" + out;
  const size_t at = text.find("\n" + name + " ");
  if (at == std::string::npos) return "<missing>";
  const size_t v = text.find_first_not_of(' ', at + 1 + name.size());
  return text.substr(v, text.find('\n', v) - v);
}

std::string dump_text(cbt_tree *t, int32_t mode) {
  char *buf = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&buf, &size);
  qrxcbdmp(t, mode, f);
  std::fclose(f);
  std::string s(buf, size);
  std::free(buf);
  return s;
}

// The dump without its header (whose addresses belong to the process that wrote it).
std::string body(const std::string &dump) {
  const size_t at = dump.find("\nbfile\t");
  if (at == std::string::npos) return dump;
  return dump.substr(dump.find("\n\n", at + 1) + 2);
}

class QrxToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (qrx_binary().empty()) GTEST_SKIP() << "the qrx tool was not built";
    ASSERT_EQ(cbinit(32, 4096), 1);
  }
  void TearDown() override { cbexit(); }

  // 1500 keys in 512-byte blocks, a third of them deleted again, closed properly.
  void build() {
    cbt_tree *t = cbcreate(path_.c_str(), nullptr, 512);
    ASSERT_NE(t, nullptr);
    Rng rng(99);
    std::vector<KeyItem> in;
    while (in.size() < 1500) {
      KeyItem e{rng.text(static_cast<size_t>(rng.range(1, 30))), rng.item()};
      if (cbinsert(t, e.key.data(), static_cast<uint32_t>(e.key.size()), e.item, 1) == 1) in.push_back(e);
    }
    for (size_t i = 0; i < in.size(); i += 3)
      ASSERT_EQ(cbdelete(t, in[i].key.data(), static_cast<uint32_t>(in[i].key.size()), in[i].item), 1);
    ASSERT_EQ(cbclose(t), 1);
  }

  TempDir dir_;
  std::string path_ = dir_.file("cust.IDX");
};

TEST_F(QrxToolTest, StatAgreesWithAnIndependentReadingOfTheFile) {
  build();
  const CheckResult c = check_index(path_, {.relaxed = true});
  ASSERT_TRUE(c.ok) << c.text();
  const ToolRun r = qrx({"idx", "stat", path_});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(stat_value(r.out, "block size"), "512");
  EXPECT_EQ(stat_value(r.out, "depth"), std::to_string(c.stats.depth));
  EXPECT_EQ(stat_value(r.out, "blocks in file"),
            std::to_string(c.stats.highblock + 1) + " (highblock " + std::to_string(c.stats.highblock) + ")");
  EXPECT_EQ(stat_value(r.out, "unused blocks"), std::to_string(c.stats.unused));
  EXPECT_EQ(stat_value(r.out, "leaves"), std::to_string(c.stats.leaves));
  EXPECT_EQ(stat_value(r.out, "interior nodes"), std::to_string(c.stats.interior));
  EXPECT_EQ(stat_value(r.out, "entries"), "1000");
  int64_t key_bytes = 0;
  for (const KeyItem &e : dump_entries(path_)) key_bytes += static_cast<int64_t>(e.key.size());
  EXPECT_EQ(stat_value(r.out, "bytes of keys"),
            std::to_string(key_bytes) + " (" + std::to_string(c.stats.leaf_key_bytes) + " stored in leaves)");
  EXPECT_NE(stat_value(r.out, "leaf fill"), "-");
}

TEST_F(QrxToolTest, StatReportsACycleAndAParityError) {
  build();
  const int32_t leaf = read_ctl(path_).lowleaf;
  patch_i32(path_, leaf, kNodeRightOff, leaf);  // the first leaf's right link points at itself
  ToolRun r = qrx({"idx", "stat", path_});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("runs in a cycle"), std::string::npos) << r.out;
  patch_bytes(path_, 0, 5, {0x5a});
  r = qrx({"idx", "stat", path_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
}

TEST_F(QrxToolTest, VerifyExitsZeroOnASoundFileAndOneWithTheDumpPath) {
  build();
  ToolRun r = qrx({"idx", "verify", path_});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, path_ + ": consistent\n");
  EXPECT_FALSE(std::filesystem::exists(dir_.file("cust.dmp")));

  // Swap the first two keys' bytes of the first leaf (same length keys keep the layout).
  build_index(path_, 512, {{{"b", 2}, {"a", 1}, {"c", 3}}}, 2);
  r = qrx({"idx", "verify", path_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, path_ + ": NOT consistent; dump written to " + dir_.file("cust.dmp") + "\n");
  EXPECT_NE(read_file(dir_.file("cust.dmp")).find("\nDumping leaf node 1\n"), std::string::npos);
}

TEST_F(QrxToolTest, DumpPrintsWhatTheLibraryDumps) {
  build();
  cbt_tree *t = cbopen(path_.c_str(), 1, nullptr);
  ASSERT_NE(t, nullptr);
  const std::string levels = body(dump_text(t, 0));
  const std::string blocks = body(dump_text(t, 1));
  cbclose(t);
  ASSERT_NE(levels.find("Dumping blocks at level 1"), std::string::npos);
  ToolRun r = qrx({"idx", "dump", path_});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(body(r.out), levels);
  r = qrx({"idx", "dump", path_, "--raw"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(body(r.out), blocks);
}

TEST_F(QrxToolTest, MissingFilesAndBadArgumentsFailQuickly) {
  const auto start = std::chrono::steady_clock::now();
  for (const char *cmd : {"stat", "verify", "dump"}) {
    const ToolRun r = qrx({"idx", cmd, dir_.file("missing.idx")});
    EXPECT_EQ(r.status, 1) << cmd;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));  // no open retries
  EXPECT_NE(qrx({"idx"}).status, 0);
  EXPECT_NE(qrx({"idx", "stat"}).status, 0);
  EXPECT_NE(qrx({"nonsense"}).status, 0);
  EXPECT_EQ(qrx({"--help"}).status, 0);
}

TEST_F(QrxToolTest, DemoSucceedsAndLeavesASoundFile) {
  const std::string demo = dir_.file("demo");
  const ToolRun r = qrx({"demo", demo, "--keys", "3000", "--block-size", "512"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("qrx demo: every step succeeded"), std::string::npos) << r.out;
  const std::string idx = demo + "/demo.idx";
  const CheckResult c = check_index(idx, {.relaxed = true});
  EXPECT_TRUE(c.ok) << c.text();
  EXPECT_EQ(c.stats.entries, 2400);  // every fifth of 3000 deleted; modifications keep the count
  EXPECT_EQ(stat_value(r.out, "entries"), "2400");
}

}  // namespace
}  // namespace qrx::test
