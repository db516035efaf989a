// isam_fixture.h - what the ISAM tests share: a scratch directory, the layer brought back to its first
// state after each test, index descriptions and index entries written into an index file through the
// B-tree layer, and values in their stored form.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/qrxhost.h"
#include "isam/isam.h"
#include "support/test_util.h"

namespace isamtest {

namespace tb = qrx::test;
using qrx::isam::Db;
using qrx::isam::Index;

inline std::string be32(uint32_t v) {
  std::string s(4, '\0');
  qrxis_put_u32(s.data(), v);
  return s;
}
inline std::string be16(int16_t v) {
  std::string s(2, '\0');
  qrxis_put_i16(s.data(), v);
  return s;
}
inline std::string f32(float v) {
  std::string s(4, '\0');
  qrxis_put_f32(s.data(), v);
  return s;
}
inline std::string f64(double v) {
  std::string s(8, '\0');
  qrxis_put_f64(s.data(), v);
  return s;
}
inline std::string z(const std::string &text) {  // a text in its stored form
  return text + std::string(1, '\0');
}

// Ends every isaminit still counted: databases closed, objects freed, the B-tree layer ended.
inline void reset_layer() {
  while (qrx::isam::anchor_peek() != nullptr && qrx::isam::anchor_peek()->initcnt > 0) isamexit();
}

// Inserts a key through a B-tree handle of its own on the index file: with cmp null for descriptions
// (their names are chosen so that byte order and the layer's order agree), with the layer's compare for
// entries (the database must be open: the compare finds its indexes through curdb).
inline void insert_key(const std::string &idxfile, const std::string &key, uint32_t item, Db *db = nullptr) {
  *qrxiscdb() = db;
  cbt_tree *t = cbopen(idxfile.c_str(), 2, db != nullptr ? &qrx::isam::I_compare : nullptr);
  ASSERT_NE(t, nullptr) << idxfile;
  EXPECT_EQ(cbinsert(t, key.data(), uint32_t(key.size()), item, 0), 1);
  EXPECT_EQ(cbclose(t), 1);
}
// The description of index `number`: 0x00, the name, each specification, every piece with its NUL.
inline void add_index(const std::string &idxfile, const std::string &name,
                      const std::vector<std::string> &specs, uint32_t number) {
  std::string key = z(std::string(1, '\0') + name);
  for (const auto &s : specs) key += z(s);
  insert_key(idxfile, key, number);
}

struct IsamTest : testing::Test {
  tb::TempDir dir;
  tb::FakeSleep no_waits;  // a missing file is retried with pauses
  void TearDown() override { reset_layer(); }
  // A new database of those fields, closed again; its base name.
  std::string made(const std::string &name, std::vector<const char *> fields, int32_t blocksize = 512) {
    fields.push_back(nullptr);
    const std::string base = dir.file(name);
    isam_db *db = icreate_db(base.c_str(), blocksize, fields.data());
    EXPECT_NE(db, nullptr) << name << " " << *qrxiseno();
    EXPECT_EQ(iclose_db(db), 1);
    return base;
  }
};

}  // namespace isamtest
