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

// --- SplitPath ---------------------------------------------------------------------------------------

TEST(SplitPath, RootedIndexFile) {
  Parts p("/data/idx/cust.IDX");
  EXPECT_STREQ(p.drive.data(), "");
  EXPECT_STREQ(p.dir.data(), "/data/idx/");
  EXPECT_STREQ(p.fname.data(), "cust");
  EXPECT_STREQ(p.ext.data(), ".IDX");
}

TEST(SplitPath, BackslashDecidesEvenWhenSlashFollows) {
  Parts p("a\\b/c.x");
  EXPECT_STREQ(p.dir.data(), "a\\");
  EXPECT_STREQ(p.fname.data(), "b/c");
  EXPECT_STREQ(p.ext.data(), ".x");

  Parts q("x/y\\z/w\\name.DB");  // the last backslash, not the last separator
  EXPECT_STREQ(q.dir.data(), "x/y\\z/w\\");
  EXPECT_STREQ(q.fname.data(), "name");
  EXPECT_STREQ(q.ext.data(), ".DB");
}

TEST(SplitPath, WithoutSeparatorTheWholePathIsTheBaseName) {
  Parts p("cust.IDX");
  EXPECT_STREQ(p.dir.data(), "");
  EXPECT_STREQ(p.fname.data(), "cust");
  EXPECT_STREQ(p.ext.data(), ".IDX");
}

TEST(SplitPath, ExtensionIsTakenFromTheLastDotOfTheBaseNameOnly) {
  Parts many("/d/a.b.c");
  EXPECT_STREQ(many.fname.data(), "a.b");
  EXPECT_STREQ(many.ext.data(), ".c");

  Parts dotted_dir("/d.x/name");
  EXPECT_STREQ(dotted_dir.dir.data(), "/d.x/");
  EXPECT_STREQ(dotted_dir.fname.data(), "name");
  EXPECT_STREQ(dotted_dir.ext.data(), "");

  Parts trailing_dot("/d/name.");
  EXPECT_STREQ(trailing_dot.fname.data(), "name");
  EXPECT_STREQ(trailing_dot.ext.data(), ".");
}

TEST(SplitPath, LeadingDotOfTheWholePathBelongsToTheName) {
  Parts bare(".profile");
  EXPECT_STREQ(bare.fname.data(), ".profile");
  EXPECT_STREQ(bare.ext.data(), ".profile");  // the extension rule has no such exception

  Parts in_dir("/x/.profile");  // the '.' opens the base name but not the whole path
  EXPECT_STREQ(in_dir.fname.data(), "");
  EXPECT_STREQ(in_dir.ext.data(), ".profile");
}

TEST(SplitPath, TrailingSeparatorLeavesNameAndExtensionEmpty) {
  Parts p("/data/");
  EXPECT_STREQ(p.dir.data(), "/data/");
  EXPECT_STREQ(p.fname.data(), "");
  EXPECT_STREQ(p.ext.data(), "");
}

TEST(SplitPath, NullOutputsAreSkippedAndNullPathIsEmpty) {
  std::vector<char> dir(256, 'Z');
  SplitPath("/a/b.c", nullptr, dir.data(), nullptr, nullptr);
  EXPECT_STREQ(dir.data(), "/a/");

  Parts none(nullptr);
  EXPECT_STREQ(none.drive.data(), "");
  EXPECT_STREQ(none.dir.data(), "");
  EXPECT_STREQ(none.fname.data(), "");
  EXPECT_STREQ(none.ext.data(), "");

  SplitPath("/a/b.c", nullptr, nullptr, nullptr, nullptr);  // nothing to store, nothing to crash
}

// --- Limits of the output buffers --------------------------------------------------------------------

TEST(SplitPathLimits, FileNameOf14IsKeptAnd15IsRefused) {
  TraceCapture trace;
  Parts fits("/d/abcdefghijklmn.x");
  EXPECT_STREQ(fits.fname.data(), "abcdefghijklmn");
  EXPECT_EQ(error_lines(trace), 0);

  const char *path = "/d/abcdefghijklmno.x";
  Parts refused(path);
  EXPECT_STREQ(refused.fname.data(), "");
  EXPECT_STREQ(refused.dir.data(), "/d/");  // the other parts are still stored
  EXPECT_STREQ(refused.ext.data(), ".x");
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, std::string("Invalid File specification in ") + path), 1);
  EXPECT_EQ(error_lines(trace), 1);
}

TEST(SplitPathLimits, ExtensionCountsItsDot) {
  TraceCapture trace;
  Parts fits("n.abcdefghijklm");  // '.' + 13 = 14
  EXPECT_STREQ(fits.ext.data(), ".abcdefghijklm");
  EXPECT_EQ(error_lines(trace), 0);

  const char *path = "n.abcdefghijklmn";  // '.' + 14 = 15
  Parts refused(path);
  EXPECT_STREQ(refused.ext.data(), "");
  EXPECT_STREQ(refused.fname.data(), "n");
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, std::string("Invalid File specification in ") + path), 1);
}

TEST(SplitPathLimits, DirectoryOf255IsKeptAnd256IsRefused) {
  TraceCapture trace;
  std::string dir255 = "/" + std::string(253, 'd') + "/";
  ASSERT_EQ(dir255.size(), 255u);
  Parts fits((dir255 + "f.x").c_str());
  EXPECT_EQ(std::string(fits.dir.data()), dir255);
  EXPECT_EQ(error_lines(trace), 0);

  std::string path = "/" + std::string(254, 'd') + "/f.x";
  Parts refused(path.c_str());
  EXPECT_STREQ(refused.dir.data(), "");
  EXPECT_STREQ(refused.fname.data(), "f");
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, "Invalid Directory Specification in " + path), 1);
}

TEST(SplitPathLimits, EachOverLongPartIsReportedOnceAndOnlyWhenAsked) {
  TraceCapture trace;
  const char *path = "abcdefghijklmnopq.abcdefghijklmnopq";
  Parts both(path);
  EXPECT_STREQ(both.fname.data(), "");
  EXPECT_STREQ(both.ext.data(), "");
  EXPECT_EQ(trace.count(QRXHOST_KIND_ERROR, std::string("Invalid File specification in ") + path), 2);

  trace.clear();
  std::vector<char> dir(256);
  SplitPath(path, nullptr, dir.data(), nullptr, nullptr);
  EXPECT_EQ(error_lines(trace), 0);

  std::string long_dir = std::string(300, 'd') + "/n.x";
  std::vector<char> fname(15);
  SplitPath(long_dir.c_str(), nullptr, nullptr, fname.data(), nullptr);
  EXPECT_STREQ(fname.data(), "n");
  EXPECT_EQ(error_lines(trace), 0);
}

TEST(SplitPathParts, ReturnTheLengthStored) {
  TraceCapture trace;
  char buf[256];
  EXPECT_EQ(qrx::blockio::GetDrive("/data/idx/cust.IDX", buf), 0u);
  EXPECT_EQ(qrx::blockio::GetDir("/data/idx/cust.IDX", buf), 10u);
  EXPECT_EQ(qrx::blockio::GetFname("/data/idx/cust.IDX", buf), 4u);
  EXPECT_EQ(qrx::blockio::GetExt("/data/idx/cust.IDX", buf), 4u);
  EXPECT_EQ(qrx::blockio::GetFname("abcdefghijklmno", buf), 0u);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(qrx::blockio::GetExt("abc", nullptr), 0u);
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
