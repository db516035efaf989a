// Splitting and building path names: the separator rule, name and extension rules, buffer size limits.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"

namespace {

// Output buffers of exactly the documented sizes on the heap, so that ASan reports a write past them.
struct Parts {
  std::vector<char> drive = std::vector<char>(3, 'Z'), dir = std::vector<char>(256, 'Z'),
                    fname = std::vector<char>(15, 'Z'), ext = std::vector<char>(15, 'Z');
  explicit Parts(const char *path) {
    drive.back() = dir.back() = fname.back() = ext.back() = '\0';  // start from non-empty strings
    SplitPath(path, drive.data(), dir.data(), fname.data(), ext.data());
  }
  std::string all() const {
    return std::string(drive.data()) + "|" + dir.data() + "|" + fname.data() + "|" + ext.data();
  }
};

TEST(SplitPath, SeparatorNameExtensionAndLengthRules) {
  const std::string dir255 = "/" + std::string(253, 'd') + "/", dir256 = "/" + std::string(254, 'd') + "/";
  const std::pair<std::string, std::string> cases[] = {
      {"a\\b/c.x", "|a\\|b/c|.x"},  // a backslash decides even when a slash follows
      {"/d/a.b.c", "|/d/|a.b|.c"},
      {"/d.x/idx/name", "|/d.x/idx/|name|"},
      {".profile", "||.profile|.profile"},
      {"/x/.profile", "|/x/||.profile"},
      {"/d/abcdefghijklmn.x", "|/d/|abcdefghijklmn|.x"},  // 14 characters fit
      {"n.abcdefghijklm", "||n|.abcdefghijklm"},          // the dot counts
      {"/d/abcdefghijklmno.x", "|/d/||.x"},               // too long: the other parts are still stored
      {dir255 + "f.x", "|" + dir255 + "|f|.x"},
      {dir256 + "f.x", "||f|.x"},
  };
  qrx::test::TraceCapture trace;
  for (const auto &[path, want] : cases) EXPECT_EQ(Parts(path.c_str()).all(), want) << path;
  EXPECT_EQ(Parts(nullptr).all(), "|||");
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "Invalid File specification in /d/abcdefghijklmno.x"), 1);
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "Invalid Directory Specification in " + dir256 + "f.x"), 1);
}

TEST(MakePath, JoinsDriveDirectoryNameAndExtension) {
  const std::array<const char *, 6> cases[] = {
      // prefix, drive, dir, name, extension, result
      {"", nullptr, "/tmp", "x", "IDX", "/tmp/x.IDX"},
      {"", nullptr, "a\\\\b", nullptr, nullptr, "a/\\b/"},  // kept as it stands from a doubled separator on
      {"", nullptr, "/data/idx/", "cust", "dmp", "/data/idx//cust.dmp"},
      {"pre/", nullptr, "a", "n", ".x", "pre/a/n.x"},
      {"old prefix", "cdrive", "dir", "n", "x", "c:dir/n.x"},
      {"keep", "", "", "", "", "keep"},
  };
  for (const auto &c : cases) {
    char out[600];
    std::strcpy(out, c[0]);
    MakePath(out, c[1], c[2], c[3], c[4]);
    EXPECT_STREQ(out, c[5]) << c[2];
  }
}

}  // namespace
