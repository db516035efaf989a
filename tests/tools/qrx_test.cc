// The qrx tool run as a program: stat, verify's status and dump file, failures on missing files and bad
// arguments, and the demonstration. Skipped when the binary is not built beside this test.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "support/test_util.h"
#include "support/tree_builder.h"

namespace qrx::test {
namespace {

// Runs qrx with the arguments; returns the exit status and sets out to its standard output.
int qrx(const std::string &args, std::string *out = nullptr) {
  const auto bin = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "qrx";
  FILE *p = popen((bin.string() + " " + args + " 2>/dev/null").c_str(), "r");
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
    if (out) out->append(buf, n);
  const int w = pclose(p);
  return WIFEXITED(w) ? WEXITSTATUS(w) : -1;
}

TEST(QrxTool, StatVerifyMissingFilesAndDemo) {
  if (!std::filesystem::exists(std::filesystem::read_symlink("/proc/self/exe").parent_path() / "qrx"))
    GTEST_SKIP() << "the qrx tool was not built";
  TempDir dir;
  const std::string path = dir.file("cust.IDX"), dmp = dir.file("cust.dmp");
  build_index(path, 512, {{{"a", 1}, {"b", 2}, {"c", 3}}}, 2);
  std::string out;
  EXPECT_EQ(qrx("idx stat " + path, &out), 0);
  EXPECT_NE(out.find("\nentries"), std::string::npos) << out;
  EXPECT_EQ(qrx("idx verify " + path), 0);
  EXPECT_FALSE(std::filesystem::exists(dmp));
  build_index(path, 512, {{{"b", 2}, {"a", 1}, {"c", 3}}}, 2);  // keys out of order
  out.clear();
  EXPECT_EQ(qrx("idx verify " + path, &out), 1);
  EXPECT_EQ(out, path + ": NOT consistent; dump written to " + dmp + "\n");
  build_index(path, 512, {{{"a", 1}, {"b", 2}, {"c", 3}}}, 2);
  CtlFields c = read_ctl(path);
  c.highblock = 9;  // past the end of the file: only the deep check looks
  write_ctl(path, c);
  EXPECT_EQ(qrx("idx verify " + path), 1);
  for (const char *cmd : {"stat", "verify", "dump"})
    EXPECT_EQ(qrx(std::string("idx ") + cmd + " " + dir.file("no")), 1);
  EXPECT_NE(qrx("idx stat"), 0);
  EXPECT_NE(qrx("nonsense"), 0);
  out.clear();
  EXPECT_EQ(qrx("demo " + dir.file("demo") + " --keys 3000 --block-size 512", &out), 0) << out;
  EXPECT_NE(out.find("qrx demo: every step succeeded"), std::string::npos) << out;
}

}  // namespace
}  // namespace qrx::test
