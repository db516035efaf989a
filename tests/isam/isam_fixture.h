// isam_fixture.h - stored values, keys written through the B-tree layer, and a fixture that ends the layer.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/qrxhost.h"
#include "isam/isam.h"
#include "support/test_util.h"

namespace isamtest {

namespace tb = qrx::test;

// clang-format off
inline const auto be32 = [](uint32_t v) { std::string s(4, '\0'); return qrxis_put_u32(s.data(), v), s; };
inline const auto be16 = [](int16_t v) { std::string s(2, '\0'); return qrxis_put_i16(s.data(), v), s; };
inline const auto f32 = [](float v) { std::string s(4, '\0'); return qrxis_put_f32(s.data(), v), s; };
inline const auto f64 = [](double v) { std::string s(8, '\0'); return qrxis_put_f64(s.data(), v), s; };
inline const auto z = [](const std::string &text) { return text + std::string(1, '\0'); };
inline const auto k = [](int number, const std::string &rest) { return std::string(1, char(number)) + rest; };
// clang-format on

// Ends every isaminit still counted: databases closed, objects freed, the B-tree layer ended.
inline void reset_layer() {
  while (qrx::isam::anchor_peek() != nullptr && qrx::isam::anchor_peek()->initcnt > 0) isamexit();
}

// Descriptions with the default compare (names whose byte order is the layer's), entries with the layer's
// compare, which finds the indexes of the open database db through curdb.
inline void insert_key(const std::string &idxfile, const std::string &key, uint32_t item,
                       isam_db *db = nullptr) {
  *qrxiscdb() = db;
  cbt_tree *t = cbopen(idxfile.c_str(), 2, db != nullptr ? &qrx::isam::I_compare : nullptr);
  ASSERT_NE(t, nullptr) << idxfile;
  const int32_t inserted = cbinsert(t, key.data(), uint32_t(key.size()), item, 0);
  EXPECT_TRUE(cbclose(t) == 1 && inserted == 1);
}
inline void add_index(const std::string &idxfile, const std::string &name,
                      const std::vector<std::string> &specs, uint32_t number) {
  std::string key = z(k(0, name));
  for (const auto &s : specs) key += z(s);
  insert_key(idxfile, key, number);
}

struct IsamTest : testing::Test {
  tb::TempDir dir;
  tb::FakeSleep no_waits;  // a missing file is retried with pauses
  void TearDown() override { reset_layer(); }
  // A new database of those fields, closed again: its name.
  std::string made(const std::string &name, std::vector<const char *> fields, int32_t blocksize = 512) {
    fields.push_back(nullptr);
    const std::string base = dir.file(name);
    EXPECT_EQ(iclose_db(icreate_db(base.c_str(), blocksize, fields.data())), 1) << name << " " << *qrxiseno();
    return base;
  }
};

}  // namespace isamtest
