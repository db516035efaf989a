// Catalog messages: the built-in catalog, inserts, the QRX_MSGDIR override and refused calls.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "host/qrxhost.h"
#include "support/test_util.h"

namespace {

QRXMS_Catalog *open_catalog(const char *name) {
  QRXMS_Catalog *h = nullptr;
  EXPECT_EQ(qrxmsom(name, static_cast<uint32_t>(std::string(name).size()), &h), QRXMS_OK) << name;
  return h;
}

TEST(Messages, BuiltInCatalogAndRefusedCalls) {
  unsetenv("QRX_MSGDIR");
  QRXMS_Catalog *h = open_catalog("QRXMSENU");
  qrx::test::TraceCapture cap;
  const char *file[] = {"/data/CUST.IDX"};
  for (const char *id : {"QRX0001", "QRX0002", "QRX0003", "QRX0101"}) {
    cap.clear();
    ASSERT_EQ(qrxmswm(h, id, 1, file), QRXMS_OK) << id;
    auto l = cap.lines();
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].kind, QRXHOST_KIND_MESSAGE);
    EXPECT_EQ(l[0].text.rfind(std::string(id) + " ", 0), 0u) << l[0].text;
    EXPECT_NE(l[0].text.find("/data/CUST.IDX"), std::string::npos) << l[0].text;
  }
  cap.clear();
  EXPECT_EQ(qrxmswm(h, "QRX000", 0, nullptr), QRXMS_UNKNOWN_ID);  // a prefix is not the id
  EXPECT_EQ(qrxmswm(h, "QRX0001", 1, nullptr), QRXMS_BAD_ARGUMENT);
  ASSERT_EQ(qrxmscm(h), QRXMS_OK);
  EXPECT_EQ(qrxmswm(h, "QRX0001", 1, file), QRXMS_BAD_ARGUMENT);  // closed handle
  EXPECT_EQ(qrxmscm(h), QRXMS_BAD_ARGUMENT);
  EXPECT_TRUE(cap.lines().empty());
  EXPECT_EQ(qrxmsom("QRXMSENU", 7, &h), QRXMS_NOT_FOUND);  // names are counted
  EXPECT_EQ(qrxmsom("../QRXMSENU", 11, &h), QRXMS_BAD_ARGUMENT);
}

TEST(Messages, CatalogInTheMessageDirectoryTakesPrecedence) {
  qrx::test::TempDir dir;
  qrx::test::write_file(dir.file("QRXMSENU"),
                        "# operator texts\r\n\r\nQRX0002   first %1, second %2, third %3, again %1 100%\r\n"
                        "QRX0002 duplicate ids keep their first text\nQRX0005\n");
  setenv("QRX_MSGDIR", dir.path().c_str(), 1);
  QRXMS_Catalog *h = open_catalog("QRXMSENU");
  qrx::test::TraceCapture cap;
  const char *inserts[] = {"one", nullptr};
  ASSERT_EQ(qrxmswm(h, "QRX0002", 2, inserts), QRXMS_OK);
  ASSERT_EQ(qrxmswm(h, "QRX0005", 0, nullptr), QRXMS_OK);
  EXPECT_EQ(qrxmswm(h, "QRX0001", 1, inserts), QRXMS_UNKNOWN_ID);  // the file replaces the built-in copy
  auto l = cap.lines();
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0].text, "QRX0002 first one, second , third %3, again one 100%");
  EXPECT_EQ(l[0].line, 3);
  EXPECT_EQ(l[1].text, "QRX0005");
  qrxmscm(h);
  unsetenv("QRX_MSGDIR");
}

}  // namespace
