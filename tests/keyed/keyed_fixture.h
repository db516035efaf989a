// keyed_fixture.h - databases of fixed-width fields for the keyed-file tests, records in their stored
// form, and a fixture that ends the service and the ISAM layer after each test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "isam/isam.h"
#include "keyed/handles.h"
#include "keyed/service.h"
#include "qrxky.h"
#include "support/test_util.h"

namespace keyedtest {

namespace tb = qrx::test;

// The record of the sample database: ID (I_INT, the unique "PrimaryIndex"), NAME (I_CHAR 20), BAL
// (I_DOUBLE): 32 bytes, key at offset 0, length 4.
inline std::string rec(int32_t id, const std::string &name = "", double bal = 0) {
  std::string r(32, '\0');
  qrxis_put_i32(r.data(), id);
  r.replace(4, 20, (name.substr(0, 20) + std::string(20, ' ')).substr(0, 20));
  qrxis_put_f64(r.data() + 24, bal);
  return r;
}
// clang-format off
inline std::string key(int32_t id) { return rec(id).substr(0, 4); }
inline int32_t id_of(const std::string &r) { return qrxis_get_i32(r.data()); }
// clang-format on

struct KeyedTest : testing::Test {
  tb::TempDir dir;
  tb::FakeSleep no_waits;
  void TearDown() override {
    qrx::keyed::raise_disarm();
    qrx::keyed::anchor_fault_disarm();
    Terminate();
    while (qrx::isam::anchor_peek() != nullptr && qrx::isam::anchor_peek()->initcnt > 0) isamexit();
  }
  // A database of the sample fields with its "PrimaryIndex" on ID and, for each id, a record; closed.
  std::string sample(const std::string &name, const std::vector<int32_t> &ids = {}) {
    const std::string base = dir.file(name);
    const char *fields[] = {"ID,I", "NAME,C20", "BAL,D", nullptr};
    isam_db *db = icreate_db(base.c_str(), 1024, fields);
    EXPECT_NE(db, nullptr) << *qrxiseno();
    const char *specs[] = {"ID,I", nullptr};
    EXPECT_EQ(imkindex(db, "PrimaryIndex,U", specs), 1) << *qrxiseno();
    for (int32_t id : ids) {
      const std::string r = rec(id, "n" + std::to_string(id), id * 0.5);
      EXPECT_EQ(iaddrec2(db, nullptr, r.data(), 4, r.data(), 32), 1) << id;
    }
    EXPECT_EQ(iclose_db(db), 1);
    return base;
  }
  KeyHandle open(const std::string &name, int32_t usage = 1) {
    KeyHandle h{};
    uint32_t reason = 99;
    EXPECT_EQ(OpenKeyedFile(name.data(), int32_t(name.size()), usage, &h, &reason), 0) << reason;
    return h;
  }
  KeyHandle cursor(KeyHandle f, const void *k = QRXKY_KEY_HEAD, int32_t len = 0, bool update = false) {
    KeyHandle c{};
    EXPECT_EQ(update ? OpenUpdateCursor(f, k, len, &c) : OpenCursor(f, k, len, &c), 0);
    return c;
  }
  // The next record of a cursor ("" at the end, with status 5).
  static std::string next(KeyHandle c, int32_t direction = 0) {
    std::string r(32, '\0');
    int32_t len = -1;
    const int32_t st = ReadNext(c, direction, r.data(), 32, &len);
    if (st != 0) return st == 5 ? "" : "status " + std::to_string(st);
    r.resize(size_t(len));
    return r;
  }
};

}  // namespace keyedtest
