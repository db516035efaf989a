// Splitting and building path names: the separator rule, the file name and extension rules, the size
// limits of the output buffers and the directory joining of MakePath.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cbt/blockio/blockio.h"
#include "host/qrxhost.h"
#include "qrxcb.h"
#include "support/test_util.h"

namespace {

using qrx::test::TraceCapture;

// Output buffers of exactly the documented sizes, on the heap so that the address sanitizer reports
// any write past them.
struct Parts {
  std::vector<char> drive = std::vector<char>(3, 'Z');
  std::vector<char> dir = std::vector<char>(256, 'Z');
  std::vector<char> fname = std::vector<char>(15, 'Z');
  std::vector<char> ext = std::vector<char>(15, 'Z');

  explicit Parts(const char *path) {
    drive.back() = dir.back() = fname.back() = ext.back() = '\0';  // start from non-empty strings
    SplitPath(path, drive.data(), dir.data(), fname.data(), ext.data());
  }
};

// Error lines captured (entry and exit events may be on when the tests run with tracing).
int error_lines(const TraceCapture &trace) {
  int n = 0;
  for (const auto &line : trace.lines()) n += line.kind == QRXHOST_KIND_ERROR;
  return n;
}

std::string make(const char *drive, const char *dir, const char *fname, const char *ext,
                 const char *prefix = "") {
  char out[600];
  std::strcpy(out, prefix);
  MakePath(out, drive, dir, fname, ext);
  return out;
}

TEST(SplitPath, SeparatorNameAndExtensionRules) {
  struct Case {
    const char *path, *dir, *fname, *ext;
  };
  const Case cases[] = {
      {"/data/idx/cust.IDX", "/data/idx/", "cust", ".IDX"},
      {"a\\b/c.x", "a\\", "b/c", ".x"},  // a backslash decides even when a slash follows
      {"x/y\\z/w\\name.DB", "x/y\\z/w\\", "name", ".DB"},
      {"cust.IDX", "", "cust", ".IDX"},
      {"/d/a.b.c", "/d/", "a.b", ".c"},
      {"/d.x/name", "/d.x/", "name", ""},
      {"/d/name.", "/d/", "name", "."},
      {".profile", "", ".profile", ".profile"},
      {"/x/.profile", "/x/", "", ".profile"},
      {"/data/", "/data/", "", ""},
      {nullptr, "", "", ""},
  };
  for (const Case &c : cases) {
    Parts p(c.path);
    EXPECT_STREQ(p.drive.data(), "");
    EXPECT_STREQ(p.dir.data(), c.dir) << c.path;
    EXPECT_STREQ(p.fname.data(), c.fname) << c.path;
    EXPECT_STREQ(p.ext.data(), c.ext) << c.path;
  }
  SplitPath("/a/b.c", nullptr, nullptr, nullptr, nullptr);  // nothing to store, nothing to crash
}

TEST(SplitPath, OverLongPartsAreRefusedAndReportedOncePerPart) {
  TraceCapture trace;
  EXPECT_STREQ(Parts("/d/abcdefghijklmn.x").fname.data(), "abcdefghijklmn");  // 14 fits
  EXPECT_STREQ(Parts("n.abcdefghijklm").ext.data(), ".abcdefghijklm");        // the dot counts
  std::string dir255 = "/" + std::string(253, 'd') + "/";
  EXPECT_EQ(std::string(Parts((dir255 + "f.x").c_str()).dir.data()), dir255);
  EXPECT_EQ(error_lines(trace), 0);
  Parts name("/d/abcdefghijklmno.x");
  EXPECT_STREQ(name.fname.data(), "");
  EXPECT_STREQ(name.ext.data(), ".x");  // the other parts are still stored
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "Invalid File specification in /d/abcdefghijklmno.x"), 1);
  std::string path = "/" + std::string(254, 'd') + "/f.x";
  Parts dir(path.c_str());
  EXPECT_STREQ(dir.dir.data(), "");
  EXPECT_STREQ(dir.fname.data(), "f");
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "Invalid Directory Specification in " + path), 1);
  trace.clear();
  const char *both = "abcdefghijklmnopq.abcdefghijklmnopq";
  Parts p(both);
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, std::string("Invalid File specification in ") + both), 2);
  trace.clear();
  std::vector<char> d(256);
  SplitPath(both, nullptr, d.data(), nullptr, nullptr);  // only asked-for parts are checked
  EXPECT_EQ(error_lines(trace), 0);
  char buf[256];
  EXPECT_EQ(qrx::blockio::GetDir("/data/idx/cust.IDX", buf), 10u);
  EXPECT_EQ(qrx::blockio::GetFname("abcdefghijklmno", buf), 0u);
}

// --- MakePath ----------------------------------------------------------------------------------------

TEST(MakePath, DirectoryNameAndExtensionWithoutDot) {
  EXPECT_EQ(make(nullptr, "/tmp", "x", "IDX"), "/tmp/x.IDX");
  EXPECT_EQ(make("", "/tmp", "x", ".IDX"), "/tmp/x.IDX");
}

TEST(MakePath, ComponentsAreJoinedWithSlashAndEndInOne) {
  EXPECT_EQ(make(nullptr, "usr\\lib", nullptr, nullptr), "usr/lib/");
  EXPECT_EQ(make(nullptr, "usr/lib/", nullptr, nullptr), "usr/lib/");
  EXPECT_EQ(make(nullptr, "a\\b\\", "n", "DB"), "a/b/n.DB");
  EXPECT_EQ(make(nullptr, "data", "n", nullptr), "data/n");
}

TEST(MakePath, TextFromALeadingOrDoubledSeparatorIsKeptAsItStands) {
  EXPECT_EQ(make(nullptr, "/usr/lib", nullptr, nullptr), "/usr/lib/");
  EXPECT_EQ(make(nullptr, "\\usr\\lib", nullptr, nullptr), "\\usr\\lib/");
  EXPECT_EQ(make(nullptr, "a//b\\c", nullptr, nullptr), "a//b\\c/");
  EXPECT_EQ(make(nullptr, "a\\\\b", nullptr, nullptr), "a/\\b/");
  // A rooted directory that already ends in a separator gets one more; the path names the same file.
  EXPECT_EQ(make(nullptr, "/data/idx/", "cust", "dmp"), "/data/idx//cust.dmp");
}

TEST(MakePath, AppendsToTheCallersPrefix) {
  EXPECT_EQ(make(nullptr, "a", "n", "x", "pre/"), "pre/a/n.x");
  EXPECT_EQ(make(nullptr, nullptr, "n", nullptr, "pre/"), "pre/n");
}

TEST(MakePath, DriveIsWrittenAtTheStartOfTheOutput) {
  EXPECT_EQ(make("cdrive", "dir", "n", "x"), "c:dir/n.x");
  EXPECT_EQ(make("c", nullptr, nullptr, nullptr, "old prefix"), "c:");
}

TEST(MakePath, EmptyOrNullPartsAddNothing) {
  EXPECT_EQ(make(nullptr, nullptr, nullptr, nullptr, "keep"), "keep");
  EXPECT_EQ(make("", "", "", "", "keep"), "keep");
  MakePath(nullptr, "c", "d", "n", "x");  // no output buffer: nothing happens
}

TEST(MakePath, RebuildsWhatSplitPathTookApart) {
  for (const char *path : {"data/idx/cust.IDX", "cust.IDX", "a/b/c", "rel/dir/file.tar"}) {
    Parts p(path);
    EXPECT_EQ(make(p.drive.data(), p.dir.data(), p.fname.data(), p.ext.data()), path) << path;
  }
}

}  // namespace
