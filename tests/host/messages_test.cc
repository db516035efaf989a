// Catalog messages: the built-in catalog, inserts, the QRX_MSGDIR override and refused calls.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "host/qrxhost.h"
#include "support/test_util.h"

namespace {

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
