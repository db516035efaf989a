// Catalog messages: the built-in catalog, inserts, the QRX_MSGDIR override, unknown names and ids, and
// handles that are no longer open.
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "host/qrxhost.h"
#include "support/test_util.h"

namespace {

using qrx::test::TempDir;
using qrx::test::TraceCapture;

// Sets QRX_MSGDIR for the scope (unset when dir is null) and restores the previous state.
class MsgDir {
 public:
  explicit MsgDir(const char *dir) {
    if (const char *old = std::getenv("QRX_MSGDIR")) {
      saved_ = old;
      had_ = true;
    }
    if (dir)
      setenv("QRX_MSGDIR", dir, 1);
    else
      unsetenv("QRX_MSGDIR");
  }
  ~MsgDir() {
    if (had_)
      setenv("QRX_MSGDIR", saved_.c_str(), 1);
    else
      unsetenv("QRX_MSGDIR");
  }

 private:
  std::string saved_;
  bool had_ = false;
};

QRXMS_Catalog *open_catalog(const std::string &name) {
  QRXMS_Catalog *h = nullptr;
  EXPECT_EQ(qrxmsom(name.data(), static_cast<uint32_t>(name.size()), &h), QRXMS_OK) << name;
  return h;
}

TEST(Messages, BuiltInCatalogHasTheLibrarysFourMessages) {
  MsgDir none(nullptr);
  QRXMS_Catalog *h = open_catalog("QRXMSENU");
  ASSERT_NE(h, nullptr);
  TraceCapture cap;
  const char *file[] = {"/data/CUST.IDX"};
  int catalog_line = 0;
  for (const char *id : {"QRX0001", "QRX0002", "QRX0003", "QRX0101"}) {
    cap.clear();
    ASSERT_EQ(qrxmswm(h, id, 1, file), QRXMS_OK) << id;
    auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 1u) << id;
    EXPECT_EQ(lines[0].kind, QRXHOST_KIND_MESSAGE);
    EXPECT_EQ(lines[0].file, "QRXMSENU");
    EXPECT_GT(lines[0].line, catalog_line) << "messages are located by their line in the catalog";
    catalog_line = lines[0].line;
    const std::string &text = lines[0].text;
    EXPECT_EQ(text.rfind(std::string(id) + " ", 0), 0u) << text;
    EXPECT_NE(text.find("/data/CUST.IDX"), std::string::npos) << text;
    EXPECT_EQ(text.find('%'), std::string::npos) << text;
  }
  EXPECT_EQ(qrxmscm(h), QRXMS_OK);
}

TEST(Messages, NamesAreCountedAndUnknownNamesFail) {
  MsgDir none(nullptr);
  QRXMS_Catalog *h = reinterpret_cast<QRXMS_Catalog *>(1);
  EXPECT_EQ(qrxmsom("QRXMSENU.extra", 8, &h), QRXMS_OK);  // only the counted characters are the name
  qrxmscm(h);
  EXPECT_EQ(qrxmsom("QRXMSENU", 7, &h), QRXMS_NOT_FOUND);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(qrxmsom("QRXMSDEU", 8, &h), QRXMS_NOT_FOUND);
  EXPECT_EQ(qrxmsom("", 0, &h), QRXMS_BAD_ARGUMENT);
  EXPECT_EQ(qrxmsom("../QRXMSENU", 11, &h), QRXMS_BAD_ARGUMENT);
  EXPECT_EQ(qrxmsom(nullptr, 8, &h), QRXMS_BAD_ARGUMENT);
}

TEST(Messages, CatalogInTheMessageDirectoryTakesPrecedence) {
  TempDir dir;
  qrx::test::write_file(dir.file("QRXMSENU"),
                        "# operator texts\r\n"
                        "\r\n"
                        "QRX0002   first %1, second %2, third %3, again %1 100%\r\n"
                        "QRX0002 duplicate ids keep their first text\n"
                        "QRX0005\n");
  MsgDir over(dir.path().c_str());
  QRXMS_Catalog *h = open_catalog("QRXMSENU");
  ASSERT_NE(h, nullptr);
  TraceCapture cap;
  const char *inserts[] = {"one", nullptr};
  ASSERT_EQ(qrxmswm(h, "QRX0002", 2, inserts), QRXMS_OK);
  ASSERT_EQ(qrxmswm(h, "QRX0005", 0, nullptr), QRXMS_OK);
  EXPECT_EQ(qrxmswm(h, "QRX0001", 1, inserts), QRXMS_UNKNOWN_ID);  // the file replaces the built-in copy
  auto lines = cap.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "QRX0002 first one, second , third %3, again one 100%");
  EXPECT_EQ(lines[0].line, 3);
  EXPECT_EQ(lines[1].text, "QRX0005");  // a message without text
  qrxmscm(h);
}

TEST(Messages, MessageDirectoryWithoutTheFileFallsBackToTheBuiltInCopy) {
  TempDir dir;
  qrx::test::write_file(dir.file("OTHERCAT"), "ABC0001 from %1\n");
  MsgDir over(dir.path().c_str());
  QRXMS_Catalog *h = open_catalog("QRXMSENU");
  TraceCapture cap;
  const char *ins[] = {"x"};
  EXPECT_EQ(qrxmswm(h, "QRX0001", 1, ins), QRXMS_OK);
  qrxmscm(h);

  QRXMS_Catalog *other = open_catalog("OTHERCAT");  // any catalog present in the directory opens
  EXPECT_EQ(qrxmswm(other, "ABC0001", 1, ins), QRXMS_OK);
  EXPECT_EQ(cap.count(QRXHOST_KIND_MESSAGE, "ABC0001 from x"), 1);
  qrxmscm(other);

  mkdir(dir.file("BROKEN").c_str(), 0755);  // present but not a readable file
  QRXMS_Catalog *broken = nullptr;
  EXPECT_EQ(qrxmsom("BROKEN", 6, &broken), QRXMS_UNREADABLE);
  EXPECT_EQ(broken, nullptr);
}

TEST(Messages, RefusedCallsWriteNothing) {
  MsgDir none(nullptr);
  QRXMS_Catalog *h = open_catalog("QRXMSENU");
  QRXMS_Catalog *second = open_catalog("QRXMSENU");  // opens are independent
  TraceCapture cap;
  const char *ins[] = {"f"};
  EXPECT_EQ(qrxmswm(h, "QRX9999", 0, nullptr), QRXMS_UNKNOWN_ID);
  EXPECT_EQ(qrxmswm(h, "QRX000", 0, nullptr), QRXMS_UNKNOWN_ID);  // a prefix of an id is not the id
  EXPECT_EQ(qrxmswm(h, "QRX0001", 1, nullptr), QRXMS_BAD_ARGUMENT);
  ASSERT_EQ(qrxmscm(h), QRXMS_OK);
  EXPECT_EQ(qrxmswm(h, "QRX0001", 1, ins), QRXMS_BAD_ARGUMENT);
  EXPECT_EQ(qrxmscm(h), QRXMS_BAD_ARGUMENT);
  EXPECT_TRUE(cap.lines().empty());
  EXPECT_EQ(qrxmswm(second, "QRX0001", 1, ins), QRXMS_OK);
  EXPECT_EQ(cap.lines().size(), 1u);
  EXPECT_EQ(qrxmscm(second), QRXMS_OK);
}

}  // namespace
